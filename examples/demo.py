"""Where does a house-price model go wrong, and what does a readable model say?

The script makes a synthetic housing market (no download), fits a gradient-boosted model on
it, and first scans every feature and every pair for regions where the model's absolute error
is worse than 1.2 times its average (SagZoneScan: ranked by severity, tested on the test rows),
then opens the worst one and asks SagZone along chosen features and pairs, with equal-width
bins and with a shallow tree. It prints the weak regions, the features whose distribution
shifts most inside them, and writes the scan's and the marginal plots as PNG files under out/
(relative to the current directory), with the scan's report, out/scan_report.html.

Then it fits the depth-2 boosted model XGB2Regressor on the same prices, its learning rate and
number of trees chosen by cross-validation on the training rows, compares its test error with
plain XGBoost, prints and draws its effects and writes its report, out/model_report.html; and an
XGB2Classifier of whether a house sold above its asking price, with its test AUC and its effects.

    python examples/demo.py
"""

import os
import sys
import time

# A few thousand rows: XGBoost builds these trees fastest on one thread, and one thread does not
# stall at every tree when other programs share the processor (set before XGBoost loads).
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np
import pandas as pd
from sklearn.compose import ColumnTransformer
from sklearn.ensemble import HistGradientBoostingRegressor
from sklearn.metrics import roc_auc_score
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import OneHotEncoder
from xgboost import XGBClassifier, XGBRegressor

from movra.diagnoser.sagzone import SagZone, SagZoneScan
from movra.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor
from movra.utils import MISSING

OUT_DIR = "out"


def make_houses(n=5000, seed=11):
    """Sold houses of one city: the price in thousands of euros and twelve named features, as a
    table of numbers, a text column (the neighbourhood), a categorical one (how it was sold) and
    a few missing values.

    The market has corners a model learns badly: listed historic houses in the old town, whose
    prices swing with their state of repair; very large villas, which sell to few buyers at prices
    far from any formula; auctions, where the room decides; and the new estates whose school has
    no rating yet (missing), where prices scatter while buyers guess.
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
    neighbourhood = np.select([old_town, distance_km < 6, distance_km < 10],
                              ["Old Town", "Riverside", "University"], "Outskirts")
    sale_type = rng.choice(["agent", "private", "auction"], n, p=[0.72, 0.18, 0.10])
    unrated = (year_built > 2012) & (distance_km > 6) & (rng.uniform(size=n) < 0.7)

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
    # Auctions and the estates without a school rating: prices scatter.
    noise_sd = np.where((sale_type == "auction") | unrated, 0.25 * price, noise_sd)
    price = np.round(price + rng.normal(0, 1, n) * noise_sd, 1)

    frame = pd.DataFrame({
        "living_area": living_area, "lot_area": lot_area, "distance_km": distance_km,
        "year_built": year_built.astype(float), "bedrooms": bedrooms,
        "condition": condition.astype(float),
        "school_rating": np.where(unrated, np.nan, school_rating),
        "garage": garage, "energy_label": energy_label.astype(float), "noise_db": noise_db,
        "neighbourhood": neighbourhood.astype(object),
        "sale_type": pd.Categorical(sale_type, categories=["agent", "private", "auction"]),
    })
    return frame, price


def asking_prices(x, seed=7):
    """The price each house was listed at. The agents price size, place, state and garage, and
    leave schools, noise, energy label and age to the buyers."""
    rng = np.random.default_rng(seed)
    estimate = (85 + 2.6 * x["living_area"] + 0.05 * x["lot_area"]
                + 160 * np.exp(-x["distance_km"] / 4) + 12 * x["condition"] + 18 * x["garage"])
    return np.round(estimate.to_numpy() * rng.uniform(0.95, 1.05, len(x)), 1)


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
    return report(zone, features, method, name, time.perf_counter() - started)


def scan_houses(model, x, y, train_idx, test_idx):
    """Where is the model weak? Every feature and every pair, ranked, tested on the test rows."""
    started = time.perf_counter()
    scan = SagZoneScan(model, task_type="regression", metric="MAE")
    scan.fit(x, y, train_idx, test_idx)
    took = time.perf_counter() - started
    table = scan.results_
    print(f"\n== The scan: {len(scan.scanned_features_)} features and "
          f"{len(scan.scanned_pairs_)} pairs searched on the training rows, every region tested on "
          f"the test rows ({took:.2f} s); {int(table['significant'].sum())} of {len(table)} "
          f"findings (a feature or a pair each) significant at q <= {scan.alpha}")
    shown = table.head(10).copy()
    shown.insert(0, "region", [
        condition(r.feature_1, r.lb_1, r.ub_1, r.set_1)
        + ("" if not isinstance(r.feature_2, str)
           else " x " + condition(r.feature_2, r.lb_2, r.ub_2, r.set_2))
        for r in shown.itertuples()])
    columns = ["region", "#Test", "test_MAE", "train_MAE", "severity", "q_value", "significant"]
    print(shown[columns].to_string(index=False, formatters={
        "test_MAE": "{:,.1f}".format, "train_MAE": "{:,.1f}".format,
        "severity": "{:.3f}".format, "q_value": "{:.2g}".format}))
    path = os.path.join(OUT_DIR, "scan.png")
    scan.plot().savefig(path, dpi=110)
    print(f"scan plot written to {path}")
    path = scan.report(os.path.join(OUT_DIR, "scan_report.html"))
    print(f"scan report written to {path}: one HTML file to open, print or send")
    # The worst region, opened as a SagZone: its table, shift and marginal plot as usual.
    zone = scan.get_sagzone(0)
    return report(zone, zone.slice_features, zone.method, "scan_top_region", took)


def condition(feature, lb, ub, labels):
    """A region's condition on one feature: an interval, a set of categories, or missing."""
    if labels is None:
        return f"{feature} [{lb:,.4g}, {ub:,.4g})"
    if labels == (MISSING,):
        return f"{feature} missing"
    return f"{feature} in {{{', '.join(str(v) for v in labels)}}}"


def report(zone, features, method, name, took):
    result = zone.get_result().value
    split = "test" if zone.use_test else "training"
    show_table(f"== {' x '.join(features)}, {method} slicing: weak regions on the {split} rows "
               f"(threshold {result['threshold_value']:.1f} MAE, {took:.2f} s)", result["data"])

    distance = zone.get_distance(distance_metric="PSI").value
    top = ", ".join(f"{f} {d:.3f}" for f, d in list(zip(distance["x"], distance["y"]))[:5])
    print(f"{distance['title']}: largest PSI {top}")

    if result["data"] is not None:
        shift = zone.get_shift(show_feature=features[0]).value
        groups = shift["data"].groupby("resi_type_")[features[0]]
        if shift["feature_type"] == "categorical":
            share = groups.agg(lambda v: v.value_counts(normalize=True).iloc[0])
            top = groups.agg(lambda v: v.value_counts().index[0])
            print(f"most frequent {features[0]}: " + ", ".join(
                f"{k} {top[k]} ({100 * share[k]:.0f}%)" for k in share.index))
        else:
            means, missing = groups.mean(), groups.agg(lambda v: v.isna().mean())
            print(f"mean {features[0]}: " + ", ".join(
                f"{k} {means[k]:,.1f}" + (f" ({100 * missing[k]:.0f}% missing)" if missing.any()
                                          else "") for k in means.index))

    figure = SagZone.plot_marginal(zone.get_marginal())
    path = os.path.join(OUT_DIR, f"{name}.png")
    figure.savefig(path, dpi=110)
    print(f"marginal plot written to {path}")
    return zone


def black_box_model():
    """Gradient boosting behind the usual preprocessing: the text and categorical columns one-hot
    encoded, missing values left to the trees. SagZone calls it on the table as given."""
    categorical = ["neighbourhood", "sale_type"]
    encode = ColumnTransformer([("categories", OneHotEncoder(sparse_output=False,
                                                             handle_unknown="ignore"),
                                 categorical)], remainder="passthrough")
    trees = HistGradientBoostingRegressor(max_depth=3, learning_rate=0.08, max_iter=150,
                                          random_state=0)
    return Pipeline([("encode", encode), ("trees", trees)])


def errors(y_true, y_pred):
    return np.mean(np.abs(y_pred - y_true)), np.sqrt(np.mean((y_pred - y_true) ** 2))


def tune(estimator, x, y, scoring):
    """eta and n_estimators by 5-fold cross-validation on the training rows: the defaults (eta
    0.3, 100 trees, no L2 penalty) fit noise on a few thousand rows."""
    grid = {"eta": [0.03, 0.1, 0.3], "n_estimators": [100, 300, 1000]}
    return GridSearchCV(estimator, grid, scoring=scoring, cv=5).fit(x, y)


def save(figure, name):
    path = os.path.join(OUT_DIR, f"{name}.png")
    figure.savefig(path, dpi=110)
    print(f"  {path}")


def as_listed(x, seed=5):
    """The houses as listings give them: the energy label as its letter (A best .. G), and the
    school rating missing from a few percent of the listings."""
    rng = np.random.default_rng(seed)
    table = x.copy()
    table["energy_label"] = np.array(list("ABCDEFG"), dtype=object)[
        x["energy_label"].to_numpy().astype(int) - 1]
    table.loc[rng.uniform(size=len(x)) < 0.04, "school_rating"] = np.nan
    return table


def for_xgboost(table):
    # XGBoost itself takes a text column only as a category.
    return table.astype({"energy_label": "category", "neighbourhood": "category"})


def compare_errors(default, model, train, test, black_box):
    """The test errors of XGB2 (defaults and tuned), of plain XGBoost with the tuned settings at
    depths 2 and 6, and of the diagnosed black box."""
    (x_train, y_train), (x_test, y_test) = train, test
    eta, n_trees = model.eta, model.n_estimators
    rows = [("XGB2Regressor, defaults (eta 0.3, 100 trees)", default.predict(x_test)),
            (f"XGB2Regressor, eta {eta}, {n_trees} trees", model.predict(x_test))]
    for depth in (2, 6):
        plain = XGBRegressor(n_estimators=n_trees, learning_rate=eta, max_depth=depth,
                             tree_method="hist", enable_categorical=True,
                             random_state=0).fit(for_xgboost(x_train), y_train)
        rows.append((f"XGBoost, depth {depth}, eta {eta}, {n_trees} trees",
                     plain.predict(for_xgboost(x_test))))
    print(f"\n{'test error (thousand euros)':<48}{'MAE':>8}{'RMSE':>8}")
    for label, prediction in rows:
        mae, rmse = errors(y_test, prediction)
        print(f"{label:<48}{mae:8.1f}{rmse:8.1f}")
    print(f"{'gradient boosting, depth 3 (diagnosed above)':<48}"
          + "".join(f"{e:8.1f}" for e in errors(y_test, black_box)))
    gain = 1 - errors(y_test, rows[1][1])[1] / errors(y_test, rows[0][1])[1]
    print(f"Tuning lowers the test RMSE by {100 * gain:.1f}% from the defaults'.")


def readable_model(x, y, train_idx, test_idx, black_box, weak_rows):
    x = as_listed(x)
    x_train, x_test = x.iloc[train_idx], x.iloc[test_idx]
    y_train, y_test = y[train_idx], y[test_idx]
    names = list(x.columns)
    # A larger house never lowers the price, all else equal: a constraint the effects keep.
    settings = dict(feature_names=names, mono_increasing_list=("living_area",))

    print("\n== A readable model of the same prices: XGB2Regressor, boosted trees of depth 2")
    started = time.perf_counter()
    search = tune(XGB2Regressor(**settings), x_train, y_train, "neg_root_mean_squared_error")
    eta, n_trees = search.best_params_["eta"], search.best_params_["n_estimators"]
    model = search.best_estimator_
    default = XGB2Regressor(**settings).fit(x_train, y_train)
    # The defaults are in the grid: their cross-validated error is in the same table.
    scores = pd.DataFrame(search.cv_results_["params"]).assign(
        rmse=-search.cv_results_["mean_test_score"])
    default_cv = scores.query("eta == 0.3 and n_estimators == 100")["rmse"].iloc[0]
    print(f"eta and n_estimators chosen by 5-fold cross-validation on the {len(train_idx)} "
          f"training rows ({time.perf_counter() - started:.1f} s): eta {eta}, {n_trees} trees, "
          f"cross-validated RMSE {-search.best_score_:.1f} (defaults: {default_cv:.1f})")

    compare_errors(default, model, (x_train, y_train), (x_test, y_test), black_box[test_idx])
    weak_mae = errors(y[weak_rows], model.predict(x.iloc[weak_rows]))[0]
    print(f"In the weak region found above ({len(weak_rows)} test houses built before "
          f"{x['year_built'].iloc[weak_rows].max() + 1:.0f}) the test MAE is {weak_mae:.1f} for "
          f"XGB2 and {errors(y[weak_rows], black_box[weak_rows])[0]:.1f} for gradient boosting:\n"
          f"the state of repair that prices these houses is not in the data, for either model.")

    model.parse_model()
    table = model.fanova_.importance_table()
    print(f"\nIts effects, by share of the model's variance over the training rows "
          f"(intercept {model.intercept_:.1f}; {len(table)} effects, the first 12 shown):")
    print(table.head(12).to_string(index=False, formatters={
        "importance": "{:,.1f}".format, "share": lambda v: f"{100 * v:.1f}%"}))
    pair = next(tuple(row.fidx) for row in table.itertuples() if row.effect == "2D")
    print("Figures of the regressor:")
    save(model.plot_importance(), "xgb2_importance")
    save(model.plot_effects(), "xgb2_effects")
    save(model.plot_effect("living_area"), "xgb2_effect_living_area")
    energy = model._effect_item((names.index("energy_label"),))
    print("The energy label's main effect, one level per label (the text column trained as "
          "categorical):")
    print("  " + ", ".join(f"{label} {level:+.1f}" for label, level in zip(
        energy["values"]["categories"], energy["values"]["levels"])))
    school = model._effect_item((names.index("school_rating"),))
    print(f"A missing school rating has a level of its own: {school['values']['levels'][-1]:+.1f} "
          f"({int(school['counts'][-1])} training rows)")
    save(model.plot_effect("energy_label"), "xgb2_effect_energy_label")
    save(model.plot_effect(pair), f"xgb2_interaction_{names[pair[0]]}_{names[pair[1]]}")
    path = model.report(os.path.join(OUT_DIR, "model_report.html"))
    print(f"Its report (importance, every main effect, the largest interactions): {path}")

    print("\n== Which houses sell above their asking price? XGB2Classifier")
    above = y > asking_prices(x)
    search = tune(XGB2Classifier(feature_names=names), x_train, above[train_idx], "roc_auc")
    classifier = search.best_estimator_
    auc = roc_auc_score(above[test_idx], classifier.predict_proba(x_test)[:, 1])
    deep = XGBClassifier(n_estimators=classifier.n_estimators, learning_rate=classifier.eta,
                         max_depth=6, tree_method="hist", enable_categorical=True,
                         random_state=0).fit(for_xgboost(x_train), above[train_idx])
    deep_auc = roc_auc_score(above[test_idx], deep.predict_proba(for_xgboost(x_test))[:, 1])
    print(f"{above.mean():.0%} of the houses sold above asking; eta {classifier.eta}, "
          f"{classifier.n_estimators} trees by cross-validation; test AUC {auc:.3f} "
          f"(XGBoost of depth 6 with the same trees: {deep_auc:.3f})")
    classifier.parse_model()
    top = classifier.fanova_.importance_table().head(4)
    print(f"Largest effects on the log-odds of {classifier.classes_[1]}: " + ", ".join(
        f"{name.replace(' x ', ' × ')} {100 * share:.1f}%"
        for name, share in zip(top["name"], top["share"])))
    save(classifier.plot_effects(), "xgb2_classifier_effects")


def main():
    started = time.perf_counter()
    x, y = make_houses()
    rng = np.random.default_rng(5)
    order = rng.permutation(len(y))
    train_idx, test_idx = np.sort(order[:3500]), np.sort(order[3500:])

    model = black_box_model().fit(x.iloc[train_idx], y[train_idx])
    test_mae = np.mean(np.abs(model.predict(x.iloc[test_idx]) - y[test_idx]))
    print(f"{len(y)} houses, {x.shape[1]} features (a text, a categorical, a few missing "
          f"values); gradient boosting fitted on {len(train_idx)} rows, test MAE {test_mae:.1f} "
          f"(thousand euros)")

    os.makedirs(OUT_DIR, exist_ok=True)
    scan_houses(model, x, y, train_idx, test_idx)
    diagnose(model, x, y, train_idx, test_idx, ["year_built"], "histogram",
             "year_built_histogram", bins=12)
    diagnose(model, x, y, train_idx, test_idx, ["living_area"], "tree", "living_area_tree",
             max_depth=3, min_samples=40)
    diagnose(model, x, y, train_idx, test_idx, ["year_built", "living_area"], "histogram",
             "year_built_living_area_histogram", bins=8, min_samples=30)
    # Categories and missing values are segments too.
    diagnose(model, x, y, train_idx, test_idx, ["sale_type"], "histogram", "sale_type_histogram")
    diagnose(model, x, y, train_idx, test_idx, ["school_rating"], "histogram",
             "school_rating_histogram")
    diagnose(model, x, y, train_idx, test_idx, ["neighbourhood", "year_built"], "histogram",
             "neighbourhood_year_built_histogram", bins=8, min_samples=30)
    diagnose(model, x, y, train_idx, test_idx, ["distance_km", "living_area"], "tree",
             "distance_living_area_tree", max_depth=3, min_samples=40)
    zone = diagnose(model, x, y, train_idx, test_idx, ["year_built"], "histogram",
                    "year_built_histogram_test", bins=12, use_test=True)
    # The searched split was the test rows: the positions count among them.
    weak_rows = np.unique(test_idx[zone.get_target_idx()])
    black_box = model.predict(x)
    readable_model(x, y, train_idx, test_idx, black_box, weak_rows)
    print(f"\nPlots are in {os.path.abspath(OUT_DIR)}; the demo took "
          f"{time.perf_counter() - started:.1f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
