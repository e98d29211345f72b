"""The depth-2 estimator on a table with categorical features and missing values.

- fit: XGB2Regressor on a DataFrame with category columns and NaN, against XGBRegressor
  (enable_categorical, the same parameters) fitted on the same frame, in the same run: the ratio
  is our fit's overhead (target: at most 1.05).
- parse_model against the booster's trees_to_dataframe on the same model (target: at most 0.5).
- accuracy: on a frame whose 50-level categorical carries signal, the test RMSE of native
  categorical training against the same estimator on the ordinal codes of the categories.

    PYTHONPATH=src python benchmarks/bench_xgb2_categorical.py [--n 100000] [--repeats 5]
"""
import argparse
import statistics
import time

import numpy as np
import pandas as pd
import xgboost

from movra.models.xgb2.xgboost import XGB2Regressor


def make_frame(n, seed=0, n_levels=50):
    # The same effect of each level in every sample; the rows differ with the seed.
    level_effect = np.random.RandomState(123).normal(size=n_levels)
    rng = np.random.RandomState(seed)
    code = rng.randint(0, n_levels, n)
    X = pd.DataFrame({
        "x0": rng.normal(size=n), "x1": rng.uniform(size=n), "x2": rng.normal(size=n),
        "shop": pd.Categorical.from_codes(code, [f"shop{i:02d}" for i in range(n_levels)]),
        "colour": pd.Categorical(rng.choice(["red", "green", "blue", "black"], n)),
    })
    y = (X["x0"] + np.sin(3 * X["x1"]) + level_effect[code] + (X["colour"] == "red") * X["x2"]
         + 0.3 * rng.normal(size=n)).to_numpy()
    for column, rate in (("x0", 0.03), ("shop", 0.02)):
        X.loc[rng.rand(n) < rate, column] = np.nan
    return X, y


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


def rmse(a, b):
    return float(np.sqrt(np.mean((np.asarray(a) - np.asarray(b)) ** 2)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--n-estimators", type=int, default=100)
    args = parser.parse_args()
    params = dict(n_estimators=args.n_estimators, tree_method="hist")
    X, y = make_frame(args.n)
    ours = XGB2Regressor(**params).fit(X, y)
    base_params = {k: v for k, v in ours.xgb_params_.items() if k != "feature_types"}

    print(f"n = {args.n}, 5 features (2 categorical, 50 and 4 levels), NaN in 2; "
          f"{args.n_estimators} trees of depth 2; median of {args.repeats}; "
          f"xgboost {xgboost.__version__}")
    print(f"{'case':<34}{'ours ms':>11}{'baseline ms':>13}{'ratio':>9}")
    fit = compare(lambda: XGB2Regressor(**params).fit(X, y),
                  lambda: xgboost.XGBRegressor(**base_params).fit(X, y), args.repeats)
    booster = ours.estimator_.get_booster()
    parse = compare(ours.parse_model, booster.trees_to_dataframe, args.repeats)
    for name, (t_ours, t_base) in (("fit vs XGBRegressor on the frame", fit),
                                   ("parse_model vs trees_to_dataframe", parse)):
        print(f"{name:<34}{t_ours * 1e3:>11.1f}{t_base * 1e3:>13.1f}{t_ours / t_base:>9.3f}")

    X_test, y_test = make_frame(50_000, seed=1)
    native = XGB2Regressor(**params).fit(X, y)
    ordinal = XGB2Regressor(**params).fit(
        X.assign(**{c: X[c].cat.codes.replace(-1, np.nan) for c in ("shop", "colour")}), y)
    codes = X_test.assign(**{c: X_test[c].cat.codes.replace(-1, np.nan)
                             for c in ("shop", "colour")})
    print(f"test RMSE, native categorical: {rmse(native.predict(X_test), y_test):.4f}; "
          f"ordinal codes: {rmse(ordinal.predict(codes), y_test):.4f}")


if __name__ == "__main__":
    main()
