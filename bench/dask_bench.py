"""Data set (a) on a LocalCluster of two single-threaded workers against the
local Searcher, in one run, and where the distributed run's time goes.

    python bench/dask_bench.py [--max-complexity 8] [--beam-width 1000]
                               [--partitions N] [--repeat 1]

Data set (a): 100 rows of y = 2.5 x sin(x) + 0.3 with x uniform in [-3, 3]
and 1 % Gaussian noise (seeded). Both searches build every level
(find_candidates); their fronts must be equal bit for bit. The local
Searcher uses oneTBB's default pool (one thread per core: two on the
development machine). Console output of the searches is discarded.
"""

import argparse
import contextlib
import os
import sys
import time

import numpy as np


@contextlib.contextmanager
def quiet_fd1():
    """Sends file descriptor 1 (where the searches write) to /dev/null."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(devnull)
        os.close(saved)


def data_set_a():
    rng = np.random.default_rng(42)
    x = rng.uniform(-3.0, 3.0, 100)
    y = (2.5 * x * np.sin(x) + 0.3) * (1.0 + 0.01 * rng.standard_normal(100))
    return x.reshape(-1, 1), y


def front_bits(front):
    return [(r.formula, r.complexity, r.error.hex()) for r in front]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-complexity", type=int, default=8)
    parser.add_argument("--beam-width", type=int, default=1000)
    parser.add_argument("--partitions", type=int, default=None)
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()

    import qarn_sr
    import qarn_sr_dask
    from distributed import Client, LocalCluster

    inputs, ys = data_set_a()
    settings = dict(max_complexity=args.max_complexity, beam_width=args.beam_width)
    cluster = LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    client = Client(cluster)
    try:
        searcher = qarn_sr_dask.DaskSearcher(client, **settings, partitions=args.partitions)
        with quiet_fd1():  # start the workers' imports before timing
            qarn_sr_dask.DaskSearcher(client, max_complexity=3).find_candidates(inputs, ys)

        local_times, dask_times = [], []
        for _ in range(args.repeat):
            with quiet_fd1():
                t = time.perf_counter()
                local = qarn_sr.Searcher(**settings).find_candidates(inputs, ys)
                local_times.append(time.perf_counter() - t)
                t = time.perf_counter()
                remote = searcher.find_candidates(inputs, ys)
                dask_times.append(time.perf_counter() - t)
            if front_bits(remote) != front_bits(local):
                print("FRONTS DIFFER", file=sys.stderr)
                return 1
        search = searcher._last_search
        runs = search.runs
        workers = len(client.nthreads())
    finally:
        client.close()
        cluster.close()

    print(f"data set (a), max_complexity {args.max_complexity}, beam_width {args.beam_width}, "
          f"{workers} workers x 1 thread, {runs} partitions per level")
    print(f"local Searcher:  {' '.join(f'{t:.2f}' for t in local_times)} s")
    print(f"DaskSearcher:    {' '.join(f'{t:.2f}' for t in dask_times)} s")
    ratio = min(dask_times) / min(local_times)
    print(f"ratio (best of each): {ratio:.3f}")
    print("fronts equal bit for bit: yes")
    print("\nwhere the last distributed run's time went (driver's wall clock):")
    total = sum(search.seconds.values())
    for name, seconds in sorted(search.seconds.items(), key=lambda kv: -kv[1]):
        print(f"  {name:40s} {seconds:8.3f} s  {100 * seconds / total:5.1f} %")
    print("\nbytes the driver sent (the data set and the levels once to each worker):")
    for name, count in search.bytes_sent.items():
        print(f"  {name:40s} {count:12,d}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
