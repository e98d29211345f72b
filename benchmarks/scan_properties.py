"""What the scan finds, on seeded synthetic data: a planted weak pattern (an interval, quadrants of
two features, a 2-D box of 5-10% of the rows) ranks first and its reported regions cover it; with
nothing planted, nothing is significant.

Twenty features of different shapes, n = 10^5, a model whose squared error is doubled inside
the planted pattern (or nowhere). For each pattern, the share of seeds where the planted
feature (or pair) is the first finding with enough row overlap (intersection over union of the rows of
its reported regions and the planted rows), and, without a pattern, the share of seeds that
report any significant region.

    PYTHONPATH=src .venv/bin/python benchmarks/scan_properties.py [--seeds 100] [--n 100000]
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from scan_data import PATTERNS, planted_data, region_rows  # noqa: E402

from movra.diagnoser.sagzone import SagZoneScan  # noqa: E402


class _Model:
    def predict(self, x):
        return np.zeros(len(x))


def run(pattern, seed, n):
    data = planted_data(pattern, seed, n)
    settings = PATTERNS[pattern]["settings"]
    scan = SagZoneScan(_Model(), task_type="regression", **settings)
    scan.fit(data.x, data.y, data.train, data.test, prediction=data.pred)
    return scan, data


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=100)
    parser.add_argument("--n", type=int, default=100000)
    parser.add_argument("--patterns", default=",".join(PATTERNS))
    args = parser.parse_args()
    for pattern in args.patterns.split(","):
        hits, ious, start = 0, [], time.perf_counter()
        for seed in range(args.seeds):
            scan, data = run(pattern, seed, args.n)
            reported = scan.regions_[scan.regions_["reported"]]
            if data.planted is None:
                hits += int(reported["significant"].any())
                continue
            top = scan.results_.head(1)
            first = (not top.empty and
                     tuple(f for f in (top["feature_1"].iloc[0], top["feature_2"].iloc[0])
                           if isinstance(f, str)) == data.planted)
            rows = region_rows(reported, data.planted, data.x, data.names)
            inside = data.inside
            iou = (rows & inside).sum() / max((rows | inside).sum(), 1)
            ious.append(iou)
            hits += int(first and iou >= PATTERNS[pattern]["iou"])
        took = time.perf_counter() - start
        if pattern == "none":
            print("%-22s any significant region in %d of %d seeds (%.1fs)"
                  % (pattern, hits, args.seeds, took))
        else:
            print("%-22s ranks first with IoU >= %.1f in %d of %d seeds; median IoU %.2f (%.1fs)"
                  % (pattern, PATTERNS[pattern]["iou"], hits, args.seeds, np.median(ious), took))


if __name__ == "__main__":
    main()
