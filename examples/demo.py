"""Where does a house-price model go wrong? A weak-region diagnosis with SagZone.

The script makes a synthetic housing market (no download), fits a gradient-boosted model on
it, and asks SagZone where the model's absolute error is worse than 1.2 times its average:
along one feature and across two, with equal-width bins and with a shallow tree. It prints the
weak regions, the features whose distribution shifts most inside them, and writes the marginal
plots as PNG files under out/ (relative to the current directory).

    python examples/demo.py
"""

import os
import sys
import time

import numpy as np
import pandas as pd
from sklearn.ensemble import GradientBoostingRegressor

from movra.diagnoser.sagzone import SagZone

OUT_DIR = "out"


def make_houses(n=5000, seed=11):
    """Sold houses of one city: the price in thousands of euros and ten named features.

    The market has two corners a model learns badly: listed historic houses in the old town,
    whose prices swing with their state of repair, and very large villas, which sell to few
    buyers at prices far from any formula.
    """
    rng = np.random.default_rng(seed)
    living_area = np.round(45 + rng.gamma(3.0, 30.0, n), 1)                # m²
    lot_area = np.round(living_area * rng.uniform(1.2, 6.0, n), 0)         # m²
    distance_km = np.round(rng.gamma(2.0, 3.5, n), 2)                      # to the centre
    old_town = distance_km < 3.0
    year_built = np.where(old_town & (rng.uniform(size=n) < 0.6),
                          rng.integers(1850, 1930, n), rng.integers(1930, 2024, n))
    bedrooms = np.clip(np.round(living_area / 32 + rng.normal(0, 0.7, n)), 1, 8)
    condition = rng.integers(1, 6, n)                                      # 1 poor .. 5 new
    school_rating = np.clip(np.round(rng.normal(6.5, 1.8, n), 1), 1, 10)
    garage = (rng.uniform(size=n) < 0.3 + 0.5 * (distance_km > 5)).astype(float)
    energy_label = rng.integers(1, 8, n)                                   # 1 (A) .. 7 (G)
    noise_db = np.round(np.clip(70 - 3.0 * distance_km + rng.normal(0, 5, n), 35, 80), 1)

    price = (
        60
        + 2.6 * living_area
        + 0.05 * lot_area
        + 160 * np.exp(-distance_km / 4)
        + 12 * condition
        + 9 * school_rating
        + 18 * garage
        - 6 * energy_label
        - 0.8 * np.clip(noise_db - 55, 0, None)
        + 0.25 * np.clip(year_built - 1960, 0, None)
    )
    noise_sd = 0.07 * price
    historic = year_built < 1930
    # Historic houses: the state of repair behind the facade is not in the data.
    noise_sd = np.where(historic, 0.30 * price, noise_sd)
    # Villas: few buyers, prices far from the formula.
    noise_sd = np.where(living_area > 260, 0.35 * price, noise_sd)
    price = np.round(price + rng.normal(0, 1, n) * noise_sd, 1)

    frame = pd.DataFrame({
        "living_area": living_area, "lot_area": lot_area, "distance_km": distance_km,
        "year_built": year_built.astype(float), "bedrooms": bedrooms,
        "condition": condition.astype(float), "school_rating": school_rating,
        "garage": garage, "energy_label": energy_label.astype(float), "noise_db": noise_db,
    })
    return frame, price


def show_table(title, table):
    print(f"\n{title}")
    if table is None:
        print("  no weak region")
        return
    # Bounds as they are, errors to two decimals.
    errors = {c: "{:,.2f}".format for c in table.columns
              if c.startswith(("test_", "train_")) or c == "Gap"}
    print(table.to_string(index=False, formatters=errors, float_format="{:,.6g}".format))


def diagnose(model, x, y, train_idx, test_idx, features, method, name, **settings):
    started = time.perf_counter()
    zone = SagZone(model, features, task_type="regression", method=method, metric="MAE",
                   **settings)
    zone.fit(x, y, train_idx, test_idx)
    took = time.perf_counter() - started

    result = zone.get_result().value
    split = "test" if zone.use_test else "training"
    show_table(f"== {' x '.join(features)}, {method} slicing: weak regions on the {split} rows "
               f"(threshold {result['threshold_value']:.1f} MAE, {took:.2f} s)", result["data"])

    distance = zone.get_distance(distance_metric="PSI").value
    top = ", ".join(f"{f} {d:.3f}" for f, d in list(zip(distance["x"], distance["y"]))[:5])
    print(f"{distance['title']}: largest PSI {top}")

    if result["data"] is not None:
        shift = zone.get_shift(show_feature=features[0]).value["data"]
        means = shift.groupby("resi_type_")[features[0]].mean()
        print("mean " + features[0] + ": " + ", ".join(f"{k} {v:,.1f}" for k, v in means.items()))

    figure = SagZone.plot_marginal(zone.get_marginal())
    path = os.path.join(OUT_DIR, f"{name}.png")
    figure.savefig(path, dpi=110)
    print(f"marginal plot written to {path}")


def main():
    started = time.perf_counter()
    x, y = make_houses()
    rng = np.random.default_rng(5)
    order = rng.permutation(len(y))
    train_idx, test_idx = np.sort(order[:3500]), np.sort(order[3500:])

    model = GradientBoostingRegressor(n_estimators=150, max_depth=3, learning_rate=0.08,
                                      random_state=0)
    # Fitted on the bare matrix: SagZone asks the model for predictions on one.
    model.fit(x.to_numpy()[train_idx], y[train_idx])
    test_mae = np.mean(np.abs(model.predict(x.to_numpy()[test_idx]) - y[test_idx]))
    print(f"{len(y)} houses, {x.shape[1]} features; gradient boosting fitted on "
          f"{len(train_idx)} rows, test MAE {test_mae:.1f} (thousand euros)")

    os.makedirs(OUT_DIR, exist_ok=True)
    diagnose(model, x, y, train_idx, test_idx, ["year_built"], "histogram",
             "year_built_histogram", bins=12)
    diagnose(model, x, y, train_idx, test_idx, ["living_area"], "tree", "living_area_tree",
             max_depth=3, min_samples=40)
    diagnose(model, x, y, train_idx, test_idx, ["year_built", "living_area"], "histogram",
             "year_built_living_area_histogram", bins=8, min_samples=30)
    diagnose(model, x, y, train_idx, test_idx, ["distance_km", "living_area"], "tree",
             "distance_living_area_tree", max_depth=3, min_samples=40)
    diagnose(model, x, y, train_idx, test_idx, ["year_built"], "histogram",
             "year_built_histogram_test", bins=12, use_test=True)
    print(f"\nPlots are in {os.path.abspath(OUT_DIR)}; the demo took "
          f"{time.perf_counter() - started:.1f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
