"""Find y = 2.5 x^2 from samples, then use the formula.

Run with:  python examples/quickstart.py
The search prints its progress ("[QARN-SR]" and "[QARN]" lines) while it runs.
"""

import numpy as np

import qarn_sr

# Noise-free samples of y = 2.5 x^2 on [-3, 3].
xs = np.linspace(-3.0, 3.0, 41)
ys = 2.5 * xs**2

# Small settings keep the search to a few seconds: formulas of up to seven
# tokens, 200 candidates kept per level.
searcher = qarn_sr.Searcher(max_complexity=7, beam_width=200)
# The search writes straight to the process's standard output; flush ours first
# so the lines come out in order.
print("Searching for y = f(x)...", flush=True)
result = searcher.find_function(xs, ys)

print()
print("formula:   ", result.formula)
print("LaTeX:     ", result.to_latex())
print("Python:    ", result.to_python())
print("error (MSE):", result.error)
print("complexity:", result.complexity)

# Predictions at new points: one point at a time, or a batch of rows.
new_points = np.array([-4.0, 0.5, 10.0])
print("f(0.5) =", result.eval(0.5))
predictions = result.predict(new_points.reshape(-1, 1))
for x, y in zip(new_points, predictions):
    print(f"f({x:g}) = {y:.6g}   (expected {2.5 * x * x:.6g})")
