"""Speed and memory of the scan (SagZoneScan): every feature and every pair of 20 features.

At n = 10^5 and 10^6 rows, histogram method, bins 10, predictions given: the whole scan
against one two-feature SagZone.fit and against the loop a user would write today (SagZone.fit
once per feature and per pair), timed in the same run; the scan's peak memory beyond the
arrays passed in (a fresh process), against one byte per row and feature; the growth from
10^5 to 10^6 rows and from 10 to 40 features; and the tree method. Then a frame as users have
it (10 numerical features, two of them missing 5% of their values, and 10 category columns, one
of 50 categories) at the largest size: the scan against one two-feature SagZone.fit, both warm.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_scan.py [--sizes 100000,1000000] [--mixed]

--mixed runs the frame only.
"""

import argparse
import itertools
import os
import subprocess
import sys
import time

import numpy as np
import pandas as pd

from movra.diagnoser.sagzone import SagZone, SagZoneScan


class _Model:
    def predict(self, x):
        return x[:, 0]


def make_data(n, p, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 1, (n, p))
    x[:, 3] = rng.integers(0, 5, n)  # a few-valued feature
    noise = np.where(x[:, 1] > 0.7, 1.0, 0.2)
    y = x[:, 0] + rng.normal(0, 1, n) * noise
    order = rng.permutation(n)
    return x, y, x[:, 0].copy(), np.sort(order[: int(0.7 * n)]), np.sort(order[int(0.7 * n):])


def mixed_frame(n, seed=0):
    """10 numerical features (n8 and n9 missing 5% of their values) and 10 category columns (c0
    of 50 categories, the others of 8), errors doubled in 5 of c0's categories."""
    rng = np.random.default_rng(seed)
    columns = {"n%d" % i: rng.uniform(size=n) for i in range(10)}
    for i in (8, 9):
        columns["n%d" % i][rng.random(n) < 0.05] = np.nan
    for i in range(10):
        k = 50 if i == 0 else 8
        columns["c%d" % i] = pd.Categorical.from_codes(rng.integers(0, k, n),
                                                       ["k%02d" % c for c in range(k)])
    frame = pd.DataFrame(columns)
    weak = frame["c0"].cat.codes.to_numpy() < 5
    y = frame["n0"].to_numpy() + rng.normal(0, 1, n) * np.where(weak, 2.0, 1.0)
    order = rng.permutation(n)
    return frame, y, frame["n0"].to_numpy(), order[: 3 * n // 4], order[3 * n // 4:]


def mixed_case(n):
    frame, y, pred, train, test = mixed_frame(n)
    scan = SagZoneScan(None, task_type="regression")
    t_scan = best_of(lambda: scan.fit(frame, y, train, test, prediction=pred), 3)
    sz = SagZone(None, ["n1", "n2"], task_type="regression")
    t_one = best_of(lambda: sz.fit(frame, y, train, test, prediction=pred), 5)
    print("frame of 10 numerical + 10 categorical features at n = %d: scan %.3fs (%d regions, "
          "%d pairs), one two-feature fit %.3fs: %.1fx (target: within 15x)" % (
              n, t_scan, len(scan.regions_), len(scan.scanned_pairs_), t_one, t_scan / t_one))


def best_of(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def scan_time(n, p, method="histogram", repeats=3):
    x, y, pred, train, test = make_data(n, p)
    scan = SagZoneScan(_Model(), task_type="regression", method=method)
    return best_of(lambda: scan.fit(x, y, train, test, prediction=pred), repeats), scan


def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s in /proc/self/status" % field)


def peak_child(n, p):
    """In a fresh process: the scan's peak resident growth, in bytes per row and feature."""
    x, y, pred, train, test = make_data(n, p)
    SagZoneScan(_Model(), task_type="regression").fit(x[:200], y[:200], np.arange(140),
                                                      np.arange(140, 200), prediction=pred[:200])
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident size starts again from the current one
    before = _status_kb("VmRSS")
    SagZoneScan(_Model(), task_type="regression").fit(x, y, train, test, prediction=pred)
    print((_status_kb("VmHWM") - before) * 1024 / (n * p))


def measure_peak(n, p):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--peak", str(n), str(p)],
                         capture_output=True, text=True, check=True, env=os.environ)
    return float(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--mixed", action="store_true")
    parser.add_argument("--peak", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak:
        peak_child(int(args.peak[0]), int(args.peak[1]))
        return
    p = 20
    sizes = [int(s) for s in args.sizes.split(",")]
    if args.mixed:
        mixed_case(sizes[-1])
        return
    names = ["X%d" % j for j in range(p)]
    print("%9s | %9s %11s %7s | %9s %7s | %s" % ("n", "scan", "one 2-f fit", "ratio", "loop",
                                                  "faster", "peak bytes/(row x feature)"))
    scans = {}
    for n in sizes:
        x, y, pred, train, test = make_data(n, p)
        t_scan, _ = scan_time(n, p)
        scans[n] = t_scan
        sz = SagZone(_Model(), ["X1", "X2"], task_type="regression")
        t_one = best_of(lambda: sz.fit(x, y, train, test, prediction=pred), 3)
        # The loop a user would write today: one SagZone.fit per feature and per pair.
        start = time.perf_counter()
        for features in itertools.chain(([f] for f in names),
                                        (list(c) for c in itertools.combinations(names, 2))):
            SagZone(_Model(), features, task_type="regression").fit(x, y, train, test,
                                                                    prediction=pred)
        t_loop = time.perf_counter() - start
        print("%9d | %8.3fs %10.3fs %6.1fx | %8.2fs %6.1fx | %.2f" % (
            n, t_scan, t_one, t_scan / t_one, t_loop, t_loop / t_scan, measure_peak(n, p)))
    print("targets at 10^6: scan within 15x one two-feature fit, at least 10x faster than the "
          "loop, peak within 1 byte per row and feature beyond the inputs")
    if len(sizes) > 1:
        print("growth from n = %d to %d: %.1fx" % (sizes[0], sizes[-1],
                                                   scans[sizes[-1]] / scans[sizes[0]]))
    n_small = sizes[0]
    t10, _ = scan_time(n_small, 10)
    t40, s40 = scan_time(n_small, 40)
    print("at n = %d: 10 features (45 pairs) %.3fs, 40 features (%d pairs, auto) %.3fs: "
          "%.1fx" % (n_small, t10, len(s40.scanned_pairs_), t40, t40 / t10))
    t_tree, _ = scan_time(n_small, p, method="tree", repeats=1)
    print("tree method (scikit-learn's trees), 20 features and 190 pairs at n = %d: %.2fs"
          % (n_small, t_tree))
    mixed_case(sizes[-1])


if __name__ == "__main__":
    main()
