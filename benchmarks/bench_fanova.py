"""Speed of the functional-ANOVA decomposition and of partial dependence.

parse_model (trees read, effects built and purified, importances measured) is timed beside one
call of the booster's trees_to_dataframe() on the same model; partial_dependence on 10^6 rows
beside np.searchsorted + take on the same column. Each time is the best of several runs.

    PYTHONPATH=src python benchmarks/bench_fanova.py [--quick]
"""

import sys
import time

import numpy as np

from movra.models.xgb2.xgboost import XGB2Regressor


def best_time(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def data(n_rows, n_features, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n_rows, n_features))
    y = (2 * X[:, 0] + X[:, 1] * X[:, 2] + np.sin(X[:, 3] * X[:, 4]) + np.abs(X[:, 5])
         + 0.5 * rng.normal(size=n_rows))
    return X, y


def row(case, ours, baseline, note=""):
    print("%-44s %10.4f %10.4f %8.3f  %s" % (case, ours, baseline, ours / baseline, note))


def bench_parse_model(tree_counts, row_counts, n_features=20):
    print("%-44s %10s %10s %8s" % ("parse_model vs trees_to_dataframe()", "ours (s)",
                                   "base (s)", "ratio"))
    per_rows = {}
    for n_trees in tree_counts:
        for n_rows in row_counts:
            X, y = data(n_rows, n_features)
            est = XGB2Regressor(n_estimators=n_trees).fit(X, y)
            booster = est.estimator_.get_booster()
            repeat = 7 if n_trees * n_rows <= 5e7 else 3
            ours = best_time(est.parse_model, repeat)
            base = best_time(booster.trees_to_dataframe, repeat)
            n_pairs = len(est.effects_["2D"])
            row("%5d trees, %6d rows, %d features" % (n_trees, n_rows, n_features), ours, base,
                "%d interactions" % n_pairs)
            per_rows.setdefault(n_trees, []).append((n_rows, ours))
    if len(row_counts) > 1:
        print()
        print("growth of parse_model with the training rows")
        for n_trees, times in per_rows.items():
            (n0, t0), (n1, t1) = times[0], times[-1]
            print("  %5d trees: %d -> %d rows: x%.2f (rows x%d)"
                  % (n_trees, n0, n1, t1 / t0, n1 // n0))


def bench_partial_dependence(n_rows, n_features=20):
    X, y = data(20000, n_features, seed=1)
    est = XGB2Regressor(n_estimators=500).fit(X, y)
    est.parse_model()
    big = np.random.default_rng(2).normal(size=(n_rows, n_features))
    print()
    print("%-44s %10s %10s %8s" % ("partial_dependence vs searchsorted + take", "ours (s)",
                                   "base (s)", "ratio"))
    item = max(est.effects_["1D"], key=lambda it: len(it["values"]["split_points"]))
    (j,) = item["fidx"]
    points, levels = item["values"]["split_points"], item["values"]["levels"]
    ours = best_time(lambda: est.partial_dependence((j,), big), 5)
    base = best_time(lambda: levels.take(np.searchsorted(points, big[:, j], side="right")), 5)
    row("1D, %d rows, %d split points" % (n_rows, len(points)), ours, base)
    pair = max(est.effects_["2D"], key=lambda it: it["values"]["levels"].size)
    a, b = pair["fidx"]
    (pa, pb), grid = pair["values"]["split_points"], pair["values"]["levels"]
    ours = best_time(lambda: est.partial_dependence((a, b), big), 5)

    def base_2d():
        ia = np.searchsorted(pa, big[:, a], side="right")
        ib = np.searchsorted(pb, big[:, b], side="right")
        return grid.take(ia * grid.shape[1] + ib)

    base = best_time(base_2d, 5)
    row("2D, %d rows, %dx%d grid" % (n_rows, grid.shape[0], grid.shape[1]), ours, base)


def main():
    quick = "--quick" in sys.argv
    if quick:
        bench_parse_model([100, 500], [10_000])
        bench_partial_dependence(200_000)
    else:
        bench_parse_model([100, 500, 2000], [10_000, 100_000])
        bench_partial_dependence(1_000_000)


if __name__ == "__main__":
    main()
