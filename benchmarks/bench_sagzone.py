"""Speed and memory of the weak-region search.

For n = 10^4, 10^5, 10^6 rows and 10 features: the slicer's fit given the two splits (ours and a
plain numpy formulation of the same search, timed in the same run), SagZone.fit end to end with
the predictions given, the row split alone (x[train_idx], x[test_idx], y and predictions), and
the peak memory of SagZone.fit beyond the arrays passed in (measured in a fresh process).

    PYTHONPATH=src .venv/bin/python benchmarks/bench_sagzone.py [--sizes 10000,100000,1000000]
"""

import argparse
import os
import resource
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from movra.diagnoser.sagzone import HistogramSlicing, SagZone, TreeSlicing  # noqa: E402
from sagzone_reference import ReferenceSlicing, ReferenceTreeSlicing  # noqa: E402

N_FEATURES = 10
NAMES = ["X%d" % i for i in range(N_FEATURES)]
CASES = [  # (label, method, slicing features, bins)
    ("histogram 1 feature bins 10", "histogram", ["X1"], 10),
    ("histogram 1 feature bins 50", "histogram", ["X1"], 50),
    ("histogram 2 features bins 10", "histogram", ["X1", "X2"], 10),
    ("histogram 2 features bins 50", "histogram", ["X1", "X2"], 50),
    ("tree 1 feature", "tree", ["X1"], None),
    ("tree 2 features", "tree", ["X1", "X2"], None),
]


class _Model:
    def predict(self, x):
        return x[:, 0]


def make_data(n, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 1, (n, N_FEATURES))
    noise = np.where(x[:, 1] > 0.7, 1.0, 0.2)
    y = x[:, 0] + rng.normal(0, 1, n) * noise
    pred = x[:, 0].copy()
    order = rng.permutation(n)
    return x, y, pred, np.sort(order[: int(0.7 * n)]), np.sort(order[int(0.7 * n):])


def best_of(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def split(x, y, pred, train, test):
    return (x[train], x[test], y[train], y[test], pred[train], pred[test])


def slicers(method, features, bins):
    if method == "tree":
        return (TreeSlicing(slice_features=features, min_samples=20),
                ReferenceTreeSlicing(features, min_samples=20))
    return (HistogramSlicing(slice_features=features, bins=bins, min_samples=20),
            ReferenceSlicing(features, bins=bins, min_samples=20))


def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s in /proc/self/status" % field)


def peak_memory_child(n, method, features, bins):
    """Run in a fresh process: peak RSS growth during SagZone.fit, over the arrays' bytes."""
    x, y, pred, train, test = make_data(n)
    passed = x.nbytes + y.nbytes + pred.nbytes + train.nbytes + test.nbytes
    sz = SagZone(_Model(), features, task_type="regression", method=method, bins=bins or 10)
    sz.fit(x[:50], y[:50], np.arange(30), np.arange(30, 50), prediction=pred[:50])  # warm up
    del sz
    # Reset the peak resident size to the current one (Linux: 5 > /proc/self/clear_refs), so
    # the peak read after fit is the fit's own.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = _status_kb("VmRSS")
    sz = SagZone(_Model(), features, task_type="regression", method=method, bins=bins or 10)
    sz.fit(x, y, train, test, prediction=pred)
    peak = _status_kb("VmHWM")
    print((peak - before) * 1024 / passed)


def measure_peak(n, method, features, bins):
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--peak", str(n), method, ",".join(features),
         str(bins or 0)], capture_output=True, text=True, check=True, env=os.environ)
    return float(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--peak", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak:
        n, method, features, bins = args.peak
        peak_memory_child(int(n), method, features.split(","), int(bins) or None)
        return

    sizes = [int(s) for s in args.sizes.split(",")]
    ours_times = {}
    print("%-30s %9s | %11s %11s %7s | %11s %11s %7s | %6s" % (
        "case", "n", "slicer ours", "numpy", "ratio", "SagZone.fit", "split only", "ratio",
        "peak"))
    for n in sizes:
        x, y, pred, train, test = make_data(n)
        repeats = 5 if n <= 100000 else 3
        parts = split(x, y, pred, train, test)
        t_split = best_of(lambda: split(x, y, pred, train, test), repeats)
        kwargs = dict(train_x=parts[0], test_x=parts[1], train_y=parts[2], test_y=parts[3],
                      train_pred=parts[4], test_pred=parts[5], feature_names=NAMES,
                      use_test=False)
        for label, method, features, bins in CASES:
            ours, reference = slicers(method, features, bins)
            # Alternated, best of each: a slow spell of the machine hits both alike.
            t_ours, t_ref = float("inf"), float("inf")
            for _ in range(repeats):
                t_ours = min(t_ours, best_of(lambda: ours.fit(**kwargs), 2))
                t_ref = min(t_ref, best_of(lambda: reference.fit(**kwargs), 1))
            sz = SagZone(_Model(), features, task_type="regression", method=method,
                         bins=bins or 10)
            t_fit = best_of(lambda: sz.fit(x, y, train, test, prediction=pred), repeats)
            peak = measure_peak(n, method, features, bins)
            ours_times[(label, n)] = t_ours
            print("%-30s %9d | %9.2fms %9.2fms %6.1fx | %9.2fms %9.2fms %6.2fx | %5.2fx" % (
                label, n, t_ours * 1e3, t_ref * 1e3, t_ref / t_ours, t_fit * 1e3,
                t_split * 1e3, t_fit / t_split, peak))
    if 100000 in sizes and 1000000 in sizes:
        print("\ngrowth of the slicer's time from n = 10^5 to 10^6 (target: within 12x):")
        for label, _, _, _ in CASES:
            print("  %-30s %5.1fx" % (label, ours_times[(label, 1000000)] /
                                      ours_times[(label, 100000)]))
    for n in sizes:
        print("\nbins 50 over bins 10 at n = %d: 1 feature %.2fx, 2 features %.2fx" % (
            n, ours_times[(CASES[1][0], n)] / ours_times[(CASES[0][0], n)],
            ours_times[(CASES[3][0], n)] / ours_times[(CASES[2][0], n)]))
    print("\npeak: growth of the process's peak memory during SagZone.fit, over the size of "
          "the arrays passed in (target: at most 2x)")
    floor(sizes[-1])


def floor(n):
    """What any search given the two splits must do, timed with numpy in the same run: read the
    slicing columns out of both 10-column matrices and score every row with the metric."""
    from movra.diagnoser.utils import get_scoring_metric

    x, y, pred, train, test = make_data(n)
    tx, vx, ty, vy, tp, vp = split(x, y, pred, train, test)
    func = get_scoring_metric("MSE")[2]
    print("\nat n = %d, parts every search pays (numpy, best of 5):" % n)
    # The slicing columns are strided inside the rows: reading them touches every cache line of
    # both matrices, as a plain sum over them does.
    t_read = best_of(lambda: (tx.sum(), vx.sum()), 5)
    print("  reading both matrices once (sum)            %7.2fms" % (t_read * 1e3))
    t_score = best_of(lambda: (func(ty, tp), func(vy, vp)), 5)
    print("  per-sample scores of both splits (MSE)      %7.2fms" % (t_score * 1e3))


if __name__ == "__main__":
    main()
