"""The examples/ gallery: each example runs and produces what it promises.

The examples need the `examples` extra (matplotlib, SymPy, scikit-learn,
ipykernel, nbclient); without it these tests are skipped.
"""

import importlib.util
import os
import pathlib
import re
import struct
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
pytestmark = pytest.mark.skipif(not EXAMPLES.is_dir(), reason="examples not present")

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def load(name):
    """The example examples/<name>.py as a module (its main() not yet run)."""
    module_spec = importlib.util.spec_from_file_location(f"gallery_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def png_size(path):
    head = pathlib.Path(path).read_bytes()[:24]
    assert head[:8] == PNG_SIGNATURE and head[12:16] == b"IHDR"
    return struct.unpack(">II", head[16:24])


def is_front(results):
    """Most complex first, each simpler formula strictly less accurate."""
    return all(a.complexity > b.complexity and a.error < b.error
               for a, b in zip(results, results[1:]))


def test_pareto_figure_draws_the_front(tmp_path, capfd):
    pytest.importorskip("matplotlib")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.transforms import Bbox
    pareto = load("pareto")
    path = tmp_path / "sub" / "front.png"
    fig, front, chosen = pareto.main([str(path)])

    assert is_front(front) and len(front) >= 3
    # The knee of y = 1.5 x + cos(x) + noise(0.1) is the formula with the cosine,
    # at about the noise's variance.
    assert "Cos" in chosen.formula and chosen.error < 0.02 and any(r is chosen for r in front)

    (ax,) = fig.axes
    assert ax.get_yscale() == "log"
    points, marked = ax.collections
    drawn = sorted(map(tuple, points.get_offsets().tolist()))
    assert drawn == sorted((float(r.complexity), r.error) for r in front)
    assert marked.get_offsets().tolist() == [[float(chosen.complexity), chosen.error]]
    labels = sorted(t.get_text() for t in ax.texts)
    assert labels == sorted("$" + r.to_latex().replace("v_{0}", "x") + "$" for r in front)
    # Readable: no label drawn over another, a point or the legend.
    renderer = FigureCanvasAgg(fig).get_renderer()  # the figure was closed
    boxes = [t.get_window_extent(renderer) for t in ax.texts]
    others = boxes + [ax.get_legend().get_window_extent(renderer)]
    others += [Bbox.from_bounds(x - 3, y - 3, 6, 6)
               for x, y in ax.transData.transform(points.get_offsets())]
    for i, box in enumerate(boxes):
        assert not any(box.overlaps(o) for j, o in enumerate(others) if j != i)

    assert png_size(path) == tuple(round(v) for v in fig.get_size_inches() * fig.dpi)
    assert f"Figure written to {path}" in capfd.readouterr().out


def test_pareto_script_default_path_is_in_the_temporary_folder(tmp_path):
    pytest.importorskip("matplotlib")
    env = dict(os.environ, TMPDIR=str(tmp_path))
    out = subprocess.run([sys.executable, str(EXAMPLES / "pareto.py")], capture_output=True,
                         text=True, timeout=300, check=True, env=env, cwd=tmp_path).stdout
    written = tmp_path / "qarn_sr_pareto.png"
    assert f"Figure written to {written}" in out
    assert png_size(written)[0] > 0


def test_sympy_export_differs_from_predict_only_by_rounding(capfd):
    sympy = pytest.importorskip("sympy")
    example = load("sympy_export")
    result, expr, inputs, predicted, from_sympy, bound = example.main()

    assert {str(s) for s in expr.free_symbols} == {"mass", "speed"}
    assert len(expr.atoms(sympy.Float)) == 1  # 0.5 m v^2: one fitted constant
    # The SymPy values are those of the to_python() source itself...
    source = re.sub(r"v_\{(\d+)\}", r"X[:, \1]", result.to_python())
    direct = np.real(eval(source, {"np": np, "X": inputs.astype(complex)}))
    np.testing.assert_allclose(from_sympy, direct, rtol=1e-13, atol=1e-13)
    # ...and differ from predict() no more than four-decimal constants explain,
    # a bound that is small and not trivially met.
    difference = np.abs(predicted - from_sympy)
    assert np.all(difference <= bound * (1 + 1e-6) + 1e-12)
    assert 0 < difference.max() and bound.max() < 1e-3 * np.abs(predicted).max()
    assert f"largest difference over {len(inputs)} rows: {difference.max():.3g}" in capfd.readouterr().out


def test_to_sympy_names_and_the_rounding_bound_per_constant():
    sympy = pytest.importorskip("sympy")
    import qarn_sr

    example = load("sympy_export")
    rows = [[x, 3.0 - 0.7 * x * x] for x in (0.5, 1.0, 1.5, 2.0, 2.5, 3.0)]
    result = qarn_sr.Searcher(max_complexity=3, beam_width=50).find_multivariate(
        rows, [a + b for a, b in rows])
    assert result.formula == "Plus(v_{0}, v_{1})"
    # Names that are SymPy constants or functions stay plain symbols.
    expr = example.to_sympy(result, ["E", "gamma"])
    assert expr == sympy.Symbol("E", real=True) + sympy.Symbol("gamma", real=True)
    with pytest.raises(ValueError, match=r"reads v_\{1\} but only 1 names"):
        example.to_sympy(result, ["E"])

    # Two constants written alike are two constants: at x = 2 each moves
    # 0.5 x^2 by 2 * 0.5e-4, and the sign of a constant does not matter.
    x = sympy.Symbol("x", real=True)
    as_written = sympy.parse_expr("((0.5000)*(x))*((-0.5000)*(x))", local_dict={"x": x},
                                  evaluate=False)
    bound = example.rounding_bound(as_written, ["x"], np.array([[2.0], [0.0]]))
    np.testing.assert_allclose(bound, [2 * 2 * 0.5e-4, 0.0], rtol=1e-12)


def test_sklearn_workflow_scores_and_chooses_max_complexity(capfd):
    pytest.importorskip("sklearn")
    from qarn_sr_sklearn import QarnRegressor

    example = load("sklearn_workflow")
    test_r2, grid, chosen_r2 = example.main()
    assert test_r2 > 0.99 and chosen_r2 > 0.99
    # 1.5 x0 x1 needs five tokens: Times(C, Times(v_{0}, v_{1})) or the like.
    assert grid.best_params_ == {"max_complexity": 5}
    best = grid.best_estimator_
    assert type(best) is QarnRegressor and best.best_.complexity == 5
    # verbose=False kept every search's progress off file descriptor 1.
    out = capfd.readouterr().out
    assert "[QARN" not in out and f"R^2 on 30 test rows: {test_r2:.6f}" in out
    assert f"formula {best.to_text()}, R^2 on the test rows {chosen_r2:.6f}" in out


def test_constants_with_and_without_the_l1_penalty(capfd):
    example = load("constants")
    plain, penalized = example.main()
    assert set(plain) == set(penalized) == set(example.CONSTANTS)
    # Without a penalty a fitted constant matches every value.
    for result, value, error in plain.values():
        assert example.has_fitted_constant(result) and abs(error) <= 1e-12
    # With it, pi, e, pi/2 and sqrt(e) come out exactly and without constants.
    for name in ("pi", "e", "pi/2", "sqrt(e)"):
        result, value, error = penalized[name]
        assert not example.has_fitted_constant(result) and error == 0.0, (name, result)
    out = capfd.readouterr().out
    assert "Recognized exactly, without fitted constants: pi, e, pi/2, sqrt(e)\n" in out
    # The printed source runs, and gives the formula's value: ArcCos of a
    # number below -1 is pi in the engine's complex arithmetic.
    namespace: dict = {}
    exec(out.split("formula(0.0) is its value:\n", 1)[1], namespace)
    assert namespace["formula"](0.0) == plain["pi"][0].eval(0.0) == plain["pi"][1]


# The search's text as a notebook cell shows it through the notebook's helper:
# complete, in order, each progress line once as last drawn.
FIRST = r"\[QARN-SR\] Started search space exploration\. Level 1 seeded with \d+ primary nodes\.\n"
LEVEL = (r"  \[QARN\] L{0} Progress: \[██████████\] 100% \((?P<n{0}>\d+)/(?P=n{0})\) \| "
         r"\d+\.\ds \(Est: -?\d+\.\ds\)   \n"
         r"\[QARN-SR\]   -> Level {0} processed in \d+(?:\.\d+)?(?:s|ms|µs|ns)\. "
         r"Retaining top \d+ candidates\.\n")


def search_text(levels):
    return re.compile(FIRST + "".join(LEVEL.format(k) for k in levels))


def stream(cell):
    return "".join(o["text"] for o in cell["outputs"] if o["output_type"] == "stream")


def test_tour_notebook_shows_the_search_output_in_the_cell(capfd):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    pytest.importorskip("sklearn")
    pytest.importorskip("sympy")
    pytest.importorskip("matplotlib")

    nb = nbformat.read(EXAMPLES / "tour.ipynb", as_version=4)
    # A search that writes more than a pipe holds (about 75 KiB: nine levels of
    # progress lines): a plain cell hangs on it; through the helper it completes.
    nb.cells.append(nbformat.v4.new_code_cell(
        "with search_output_in_cell():\n"
        "    qarn_sr.Searcher(max_complexity=10, beam_width=20).find_candidates(x.reshape(-1, 1), y)\n"
        "print('done')", id="large-output"))
    # ipykernel leaves file descriptor 1 alone under pytest; the kernel must see
    # what a user's kernel sees.
    env = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
    client = nbclient.NotebookClient(nb, timeout=300, kernel_name="python3",
                                     resources={"metadata": {"path": str(EXAMPLES)}})
    client.execute(env=env)
    cells = {cell.get("id"): cell for cell in nb.cells}

    text = stream(cells["search"])
    search = search_text(range(2, 7)).match(text)
    assert search, text[:400]
    table = text[search.end():].splitlines()
    assert table[0].split() == ["complexity", "error", "formula"] and len(table) >= 4
    assert "\r" not in text and "\ufffd" not in text

    assert any("image/png" in o.get("data", {}) for o in cells["plot"]["outputs"])
    (sympy_result,) = cells["sympy"]["outputs"]
    assert "cos(x)" in sympy_result["data"]["text/plain"]
    r2 = re.search(r"R\^2 on the test rows: ([\d.]+)", stream(cells["sklearn"]))
    assert r2 and float(r2.group(1)) > 0.99
    constants = stream(cells["constants"])
    assert search_text(range(2, 6)).match(constants)
    assert constants.endswith(" = 3.141592653589793  error: 0.0\n")

    large = stream(cells["large-output"])
    assert search_text(range(2, 11)).match(large)
    assert large.endswith("done\n")
    # Through the helper the text reaches the cell only, not the terminal that
    # started the kernel (the kernel's own file descriptor 1, here pytest's).
    assert "[QARN" not in capfd.readouterr().out
