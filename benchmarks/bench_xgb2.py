"""fit and predict of XGB2Regressor / XGB2Classifier against XGBoost's own estimators.

The baseline is XGBRegressor / XGBClassifier built with the same parameters (the fitted
estimator's xgb_params_) and fitted on the same data, timed in the same run. Each timing is the
median of --repeats runs, ours and the baseline's alternating so that load on the machine hits
both alike.

    PYTHONPATH=src python benchmarks/bench_xgb2.py            # n = 1e4, 1e5
    PYTHONPATH=src python benchmarks/bench_xgb2.py --large    # also n = 1e6 (minutes on 2 cores)
"""
import argparse
import copy
import statistics
import time

import numpy as np
import xgboost

from movra.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

N_FEATURES = 20


def make_data(n, seed=0):
    rng = np.random.RandomState(seed)
    X = rng.normal(size=(n, N_FEATURES))
    score = X[:, 0] + np.sin(X[:, 1]) + X[:, 2] * X[:, 3] + 0.5 * rng.normal(size=n)
    return X, score, (score > 0).astype(int)


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def compare(ours_call, baseline_call, repeats):
    ours, base = [], []
    for _ in range(repeats):
        ours.append(timed(ours_call))
        base.append(timed(baseline_call))
    return statistics.median(ours), statistics.median(base)


def bench_case(n, kind, repeats, params):
    X, score, labels = make_data(n)
    y = score if kind == "regressor" else labels
    ours_cls, base_cls = ((XGB2Regressor, xgboost.XGBRegressor) if kind == "regressor"
                          else (XGB2Classifier, xgboost.XGBClassifier))
    ours = ours_cls(**params).fit(X, y)  # warm-up, and the parameters XGBoost gets
    base = base_cls(**ours.xgb_params_).fit(X, y)

    rows = []
    rows.append(("fit",) + compare(lambda: ours_cls(**params).fit(X, y),
                                   lambda: base_cls(**ours.xgb_params_).fit(X, y), repeats))
    rows.append(("predict",) + compare(lambda: ours.predict(X), lambda: base.predict(X),
                                       repeats))
    if kind == "classifier":
        rows.append(("predict_proba",) + compare(lambda: ours.predict_proba(X),
                                                 lambda: base.predict_proba(X), repeats))
    # What fit adds to XGBoost's own work (validation, weights, the copy of X), timed alone: a
    # steadier figure of the overhead than the difference of two noisy fit times.
    own_steps = statistics.median(
        timed(lambda: copy.copy(ours._validate_input(X, y, None)[0])) for _ in range(repeats))
    rows.append(("fit own steps", own_steps, rows[0][2]))
    for method, t_ours, t_base in rows:
        print(f"{kind:<11}{n:>9}  {method:<14}{t_ours * 1e3:>11.1f}{t_base * 1e3:>13.1f}"
              f"{t_ours / t_base:>9.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="add n = 1e6")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--n-estimators", type=int, default=100)
    args = parser.parse_args()

    sizes = [10_000, 100_000] + ([1_000_000] if args.large else [])
    params = dict(n_estimators=args.n_estimators, tree_method="hist")
    print(f"{N_FEATURES} features, {args.n_estimators} trees of depth 2, tree_method hist, "
          f"median of {args.repeats}; xgboost {xgboost.__version__}")
    print("'fit own steps' is fit's work outside XGBoost; its ratio is to XGBoost's fit time")
    print(f"{'estimator':<11}{'n':>9}  {'method':<14}{'ours ms':>11}{'xgboost ms':>13}"
          f"{'ratio':>9}")
    for n in sizes:
        repeats = args.repeats if n < 1_000_000 else max(1, args.repeats // 2)
        for kind in ("regressor", "classifier"):
            bench_case(n, kind, repeats, params)


if __name__ == "__main__":
    main()
