"""The front of accuracy against complexity, as a picture.

Run with:  python examples/pareto.py [PATH]
Searches noisy samples of y = 1.5 x + cos(x), draws each formula of the front
(error on a log scale against complexity, labelled with its LaTeX rendering),
marks the chosen one and saves the figure as a PNG: to PATH, or by default to
qarn_sr_pareto.png in the temporary folder.
"""

import argparse
import math
import pathlib
import tempfile

import matplotlib
import matplotlib.pyplot as plt
import numpy as np
from matplotlib.mathtext import MathTextParser

import qarn_sr

DEFAULT_PATH = pathlib.Path(tempfile.gettempdir()) / "qarn_sr_pareto.png"


def noisy_samples(rows=80, noise=0.1, seed=7):
    """x in [-3, 3] and y = 1.5 x + cos(x) plus Gaussian noise (seeded)."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(-3.0, 3.0, rows))
    y = 1.5 * x + np.cos(x) + rng.normal(0.0, noise, rows)
    return x.reshape(-1, 1), y


def choose(front):
    """The formula at the knee of the front: the one whose error falls most,
    in orders of magnitude per added token, below the next simpler formula.

    `front` is ordered as find_candidates returns it (most complex first); a
    front of one formula chooses that formula.
    """
    simplest_first = sorted(front, key=lambda r: r.complexity)
    best, best_gain = simplest_first[0], -math.inf
    for simpler, candidate in zip(simplest_first, simplest_first[1:]):
        drop = math.log10(max(simpler.error, 1e-300)) - math.log10(max(candidate.error, 1e-300))
        gain = drop / (candidate.complexity - simpler.complexity)
        if gain > best_gain:
            best, best_gain = candidate, gain
    return best


_mathtext = MathTextParser("path")


def label(result, variable="x"):
    """The formula's LaTeX as matplotlib mathtext, with `variable` for v_{0};
    the plain formula text if mathtext cannot draw it."""
    text = "$" + result.to_latex().replace("v_{0}", variable) + "$"
    try:
        _mathtext.parse(text)
    except ValueError:
        return result.formula
    return text


def plot_front(front, chosen):
    """A figure with one point per formula of the front, the chosen one marked."""
    fig, ax = plt.subplots(figsize=(8.0, 5.0), dpi=100)
    complexity = [r.complexity for r in front]
    # A log axis cannot show an exact fit's error of 0: draw it at 1e-16.
    error = [max(r.error, 1e-16) for r in front]
    ax.scatter(complexity, error, color="tab:blue", zorder=2, label="Pareto front")
    ax.scatter([chosen.complexity], [max(chosen.error, 1e-16)], s=220, facecolors="none",
               edgecolors="tab:red", linewidths=2, zorder=3, label="chosen")
    texts = [ax.annotate(label(r), (r.complexity, max(r.error, 1e-16)), xytext=(8, 6),
                         textcoords="offset points", fontsize=10,
                         color="tab:red" if r is chosen else "black")
             for r in sorted(front, key=lambda r: r.complexity)]
    ax.set_yscale("log")
    ax.set_xlabel("complexity (tokens)")
    ax.set_ylabel("error (mean squared error)")
    ax.set_xticks(range(min(complexity), max(complexity) + 1))
    # Room for the labels: to the right of the last point, above and below.
    ax.set_xlim(min(complexity) - 0.5, max(complexity) + 3.0)
    ax.set_ylim(min(error) / 3.0, max(error) * 3.0)
    ax.set_title("qarn_sr: accuracy against complexity, y = 1.5 x + cos(x) + noise")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(loc="upper right")
    fig.tight_layout()
    separate_labels(fig, ax, texts)
    return fig


def separate_labels(fig, ax, texts, step=7.0, tries=40):
    """Moves each label up or down, in steps of `step` points, until it
    overlaps neither an earlier label nor a point nor the legend (neighbours
    on the front often have close errors), keeping it inside the axes where
    it can."""
    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()
    taken = [ax.get_legend().get_window_extent(renderer)]
    for collection in ax.collections:
        for x, y in ax.transData.transform(collection.get_offsets()):
            taken.append(matplotlib.transforms.Bbox([[x - 6, y - 6], [x + 6, y + 6]]))
    inside = ax.get_window_extent(renderer)
    for text in texts:
        x, y = text.xyann
        for attempt in range(tries):
            shift = step * ((attempt + 1) // 2) * (1 if attempt % 2 else -1)
            text.xyann = (x, y + shift)
            box = text.get_window_extent(renderer).padded(3)
            fits = inside.y0 <= box.y0 and box.y1 <= inside.y1
            if fits and not any(box.overlaps(other) for other in taken):
                break
        else:
            text.xyann = (x, y)
            box = text.get_window_extent(renderer).padded(3)
        taken.append(box)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", nargs="?", type=pathlib.Path, default=DEFAULT_PATH,
                        help=f"where to write the PNG (default: {DEFAULT_PATH})")
    args = parser.parse_args(argv)

    inputs, ys = noisy_samples()
    searcher = qarn_sr.Searcher(max_complexity=6, beam_width=200)
    print("Searching the front up to complexity 6...", flush=True)
    front = searcher.find_candidates(inputs, ys)
    chosen = choose(front)

    print()
    print(f"{'complexity':>10}  {'error':>10}  formula")
    for r in front:
        mark = "  <- chosen" if r is chosen else ""
        print(f"{r.complexity:>10}  {r.error:>10.4g}  {r.formula}{mark}")

    fig = plot_front(front, chosen)
    args.path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.path)
    plt.close(fig)
    print(f"\nFigure written to {args.path}")
    return fig, front, chosen


if __name__ == "__main__":
    matplotlib.use("Agg")  # files only: no display needed
    main()
