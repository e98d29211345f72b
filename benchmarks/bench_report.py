"""Time and size of the scan's report (SagZoneScan.report) beside the scan itself.

A scan of n = 10^6 rows and 20 features (histogram method, predictions given) with a few weak
regions planted, then its report with the default top=5 regions in detail: the time the report
adds beyond the scan and the file's size, against the targets (under 3 s, under 3 MB). Then the
same at n = 10^5, where the report's time is the figures' and the file's size the same: it holds
figures and tables of regions, never rows. The report's CPU time is printed beside its wall time:
the report runs on one thread, so on a busy machine its CPU time is the wall time of a quiet one.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_report.py [--sizes 1000000,100000]
"""

import argparse
import os
import tempfile
import time

import numpy as np

from movra.diagnoser.sagzone import SagZoneScan


class _Model:
    def predict(self, x):
        return x[:, 0]


def make_data(n, p=20, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 1, (n, p))
    x[:, 3] = rng.integers(0, 5, n)  # a few-valued feature
    x[rng.uniform(size=n) < 0.05, 6] = np.nan  # a feature with missing values
    noise = np.where(x[:, 1] > 0.7, 1.0, 0.2)
    noise = np.where((x[:, 4] < 0.15) | (x[:, 3] == 2), 0.8, noise)
    noise = np.where(np.isnan(x[:, 6]), 1.2, noise)
    y = x[:, 0] + rng.normal(0, 1, n) * noise
    order = rng.permutation(n)
    return x, y, x[:, 0].copy(), np.sort(order[: int(0.7 * n)]), np.sort(order[int(0.7 * n):])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1000000,100000")
    args = parser.parse_args()
    print("%9s %4s | %8s | %8s %8s %9s | %s" % ("n", "p", "scan", "report", "cpu", "file",
                                                "regions"))
    for n in (int(s) for s in args.sizes.split(",")):
        x, y, pred, train, test = make_data(n)
        start = time.perf_counter()
        scan = SagZoneScan(_Model(), task_type="regression", metric="MAE")
        scan.fit(x, y, train, test, prediction=pred)
        t_scan = time.perf_counter() - start
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "scan_report.html")
            start, cpu = time.perf_counter(), time.process_time()
            scan.report(path)
            t_report = time.perf_counter() - start
            cpu = time.process_time() - cpu
            size = os.path.getsize(path)
        print("%9d %4d | %7.2fs | %7.2fs %7.2fs %7.2fMB | %d reported, %d significant" % (
            n, x.shape[1], t_scan, t_report, cpu, size / 1e6, len(scan.results_),
            int(scan.results_["significant"].sum())))
    print("targets at 10^6 rows and 20 features: the report under 3 s beyond the scan, its "
          "file under 3 MB")


if __name__ == "__main__":
    main()
