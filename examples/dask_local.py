"""The quick-start search spread over a Dask cluster on this machine.

Run with:  pip install .[dask] && python examples/dask_local.py

A LocalCluster starts two worker processes of one thread each; the search
scores each level's candidates on them and returns the same formula, bit for
bit, as qarn_sr.Searcher with the same settings. On a real cluster, pass a
Client connected to its scheduler instead (see the README).
"""

import numpy as np
from distributed import Client, LocalCluster

import qarn_sr
import qarn_sr_dask

if __name__ == "__main__":  # worker processes import this file too
    xs = np.linspace(-3.0, 3.0, 41)
    ys = 2.5 * xs**2

    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        searcher = qarn_sr_dask.DaskSearcher(client, max_complexity=7, beam_width=200)
        print("Searching for y = f(x) on", len(client.nthreads()), "workers...", flush=True)
        result = searcher.find_function(xs, ys)

    local = qarn_sr.Searcher(max_complexity=7, beam_width=200).find_function(xs, ys)
    print()
    print("formula:    ", result.formula)
    print("error (MSE):", result.error)
    print("same as the local search:", (result.formula, result.error) == (local.formula, local.error))
    print("f(10) =", result.eval(10.0))
