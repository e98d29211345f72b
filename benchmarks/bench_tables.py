"""Speed of the diagnoser on real tables.

- Slicing a categorical feature of 50 categories against slicing a numerical feature at bins 10
  (the slicer's fit given the two splits, 10^6 rows; target: within 1.5x).
- Converting a frame's columns to the coded matrix the searches read (movra._kernels.
  coded_columns) against pandas' own work on the same columns (to_numpy for numbers,
  cat.codes for categories, factorize for text; target: one pass over each column).
Each time is the best of several runs, our code and the baseline in the same run.

    PYTHONPATH=src python benchmarks/bench_tables.py [--rows 1000000]
"""

import argparse
import time

import numpy as np
import pandas as pd

from movra import _kernels
from movra.diagnoser.sagzone import HistogramSlicing


def best_time(fn, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def slicing(n):
    rng = np.random.default_rng(0)
    numerical = rng.uniform(size=n)
    categorical = rng.integers(0, 50, n).astype(float)
    # A weak tenth of the rows on each feature: both searches find and measure a region.
    y = rng.normal(size=n) * np.where((categorical < 5) | (numerical < 0.1), 3.0, 1.0)
    x = np.column_stack([numerical, categorical])
    cut = n * 3 // 4
    pred = np.zeros(n)

    def fit(feature, types):
        slicer = HistogramSlicing(slice_features=[feature], bins=10, min_samples=100)
        slicer.fit(x[:cut], y[:cut], x[cut:], y[cut:], pred[:cut], pred[cut:],
                   feature_names=["number", "category"], use_test=False, feature_types=types)

    types = ["numerical", "categorical"]
    number = best_time(lambda: fit("number", types))
    category = best_time(lambda: fit("category", types))
    print("%-52s %10.4f %10.4f %8.2fx  (target: within 1.5x)"
          % ("slicer fit: 50 categories vs a number at bins 10", category, number,
             category / number))


def conversion(n):
    rng = np.random.default_rng(1)
    frame = pd.DataFrame({
        "number": rng.normal(size=n),
        "nullable": pd.array(rng.integers(0, 100, n), dtype="Int64"),
        "category": pd.Categorical(rng.choice(list("abcdefgh"), n)),
        "text": rng.choice(["web", "kiosk", "phone", "mail", "shop"], n).astype(object),
    })
    frame.loc[::97, "nullable"] = pd.NA

    def pandas_own():
        frame["number"].to_numpy(dtype=float)
        frame["nullable"].to_numpy(dtype=float, na_value=np.nan)
        frame["category"].cat.codes.to_numpy()
        pd.factorize(frame["text"], sort=True)

    ours = best_time(lambda: _kernels.coded_columns(frame, None))
    baseline = best_time(pandas_own)
    print("%-52s %10.4f %10.4f %8.2fx"
          % ("coded_columns vs pandas on 4 columns", ours, baseline, ours / baseline))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    n = parser.parse_args().rows
    print("%-52s %10s %10s %9s" % ("case (%d rows)" % n, "ours (s)", "base (s)", "ratio"))
    slicing(n)
    conversion(n)


if __name__ == "__main__":
    main()
