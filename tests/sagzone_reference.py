"""A plain numpy formulation of the weak-region search, step by step, for comparisons.

Written for clarity, not speed: every slice is selected with a boolean mask and scored with
np.average, as the search is described. A slice (or region) whose weights sum to zero takes the
plain average.
"""

import copy

import numpy as np
import pandas as pd
import scipy.stats

from movra.diagnoser.utils import get_scoring_metric


def _average(values, weights):
    if weights is not None and np.sum(weights) == 0:
        weights = None
    return np.average(values, weights=weights)


class ReferenceSlicing:
    def __init__(self, slice_features, threshold=1.2, min_samples=30, bins=10, metric=None):
        self.slice_features = slice_features
        self.min_samples = min_samples
        self.bins = bins
        (self.score_name, self.score_sign, self.scoring_func, self.needs_proba,
         self.is_metric_additive) = get_scoring_metric(metric, average=False)
        self.threshold = 1 / threshold if self.score_sign > 0 and threshold > 0 else threshold

    # -- the slicing base -------------------------------------------------------------------
    def get_index(self, x, lb1, ub1, lb2=None, ub2=None, right=False):
        lb, ub = (lb1, ub1) if len(self.fidx) == 1 else (lb2, ub2)
        mask = (x >= lb) & ((x <= ub) if right else (x < ub))
        return np.where(mask)[0]

    def _score(self, y, preds, scores, idx, sample_weight):
        w = None if sample_weight is None else sample_weight[idx]
        if self.is_metric_additive:
            return _average(scores[idx], w)
        return self.scoring_func(y[idx], preds[idx], sample_weight=w)

    def get_rule_list(self, x, y, preds, scores, lb1, ub1, lb2=None, ub2=None, right=False,
                      sample_weight=None):
        idx = self.get_index(x, lb1, ub1, lb2, ub2, right)
        score = np.nan
        if len(idx) > 0:
            score = self._score(y, preds, scores, idx, sample_weight)
        splits = {"f0": {"lb": lb1, "ub": ub1}}
        if len(self.fidx) != 1:
            splits["f1"] = {"lb": lb2, "ub": ub2}
        return [{"splits": splits, "values": score, "counts": len(idx)}]

    def evaluate_slice(self, x, y, preds, scores, lb1, ub1, lb2=None, ub2=None, right=False,
                       sample_weight=None):
        idx = self.get_index(x, lb1, ub1, lb2, ub2, right)
        if len(idx) == 0:
            return []
        score = self._score(y, preds, scores, idx, sample_weight)
        if self.score_sign * score <= self.score_sign * self.threshold_value:
            if len(self.fidx) == 1:
                return [{"lb1": lb1, "ub1": ub1}]
            return [{"lb1": lb1, "ub1": ub1, "lb2": lb2, "ub2": ub2}]
        return []

    # -- histogram search -------------------------------------------------------------------
    def _fit1d(self, x, y, preds, scores, lb1=None, ub1=None, lb2=None, ub2=None,
               sample_weight=None):
        rule_list, weak_region = [], []
        lbold, ubold = x.min(), x.max()
        uni_vals = np.unique(x)
        n_bins = len(uni_vals) if len(uni_vals) < self.bins else self.bins
        bins1d = np.histogram(x, bins=n_bins, density=False)[1]
        for i in range(len(bins1d) - 1):
            if len(self.fidx) == 1:
                lb1, ub1 = bins1d[i], bins1d[i + 1]
                right = ubold == ub1
            else:
                lb2, ub2 = bins1d[i], bins1d[i + 1]
                right = ubold == ub2
            rule_list.extend(self.get_rule_list(x, y, preds, scores, lb1, ub1, lb2, ub2, right,
                                                sample_weight))
            weak_region.extend(self.evaluate_slice(x, y, preds, scores, lb1, ub1, lb2, ub2,
                                                   right, sample_weight))
        if not weak_region or not self.is_metric_additive:
            return weak_region, rule_list, bins1d

        table = pd.DataFrame(weak_region).values
        intervals = (table[:, :2] if lb2 is None else table[:, 2:]).tolist()
        intervals = sorted(intervals, key=lambda r: r[0])
        merged = [intervals[0]]
        for lb, ub in intervals[1:]:
            if lb <= merged[-1][1]:
                merged[-1] = [merged[-1][0], max(merged[-1][1], ub)]
            else:
                merged.append([lb, ub])
        weak_region = []
        for lb, ub in merged:
            if lb2 is None:
                if self.min_samples <= len(self.get_index(x, lb, ub, None, None, ubold == ub)):
                    weak_region.append({"lb1": max(lb, lbold), "ub1": min(ub, ubold)})
            elif self.min_samples <= len(self.get_index(x, lb1, ub1, lb, ub, ubold == ub)):
                weak_region.append({"lb1": lb1, "ub1": ub1, "lb2": max(lb, lbold),
                                    "ub2": min(ub, ubold)})

        excluded, merged_rules = [], []
        key = "f0" if lb2 is None else "f1"
        for region in weak_region:
            lo, hi = (region["lb1"], region["ub1"]) if lb2 is None else (region["lb2"],
                                                                         region["ub2"])
            inside = [(i, r) for i, r in enumerate(rule_list)
                      if r["splits"][key]["lb"] >= lo and r["splits"][key]["ub"] <= hi]
            if not inside:
                continue
            excluded.extend(i for i, _ in inside)
            lb = min(r["splits"][key]["lb"] for _, r in inside)
            ub = max(r["splits"][key]["ub"] for _, r in inside)
            if lb2 is None:
                idx = self.get_index(x, lb, ub, None, None, ubold == ub)
                w = None
                if sample_weight is not None and np.sum(sample_weight[idx]) > 0:
                    w = sample_weight[idx]
                splits = {"f0": {"lb": lb, "ub": ub}}
            else:
                idx = self.get_index(x, lb1, ub1, lb, ub, ubold == ub)
                w = None if sample_weight is None else sample_weight[idx]
                splits = {"f0": {"lb": lb1, "ub": ub1}, "f1": {"lb": lb, "ub": ub}}
            score = _average(scores[idx], w) if len(idx) > 0 else 0
            merged_rules.append({"splits": splits, "values": score, "counts": len(idx)})
        merged_rules.extend(r for i, r in enumerate(rule_list) if i not in excluded)
        return weak_region, merged_rules, bins1d

    def _fit2d(self, x, y, preds, scores, sample_weight=None):
        weak_region, rule_list_all, self.bin_stats = [], [], []
        uni_vals = np.unique(x[:, 0])
        n_bins = len(uni_vals) if len(uni_vals) < self.bins else self.bins
        bins1d = np.histogram(x[:, 0], bins=n_bins, density=False)[1]
        idx = np.digitize(x[:, 0], bins=bins1d[1:-1], right=False)
        for i in range(len(bins1d) - 1):
            loc = np.where(idx == i)[0]
            lb1 = max(bins1d[i], x[:, 0].min())
            ub1 = min(bins1d[i + 1], x[:, 0].max())
            if len(loc) == 0:
                self.bin_stats.append({"lb1": lb1, "ub1": ub1, "lb2": np.nan, "ub2": np.nan,
                                       "support": 0})
                continue
            self.bin_stats.append({"lb1": lb1, "ub1": ub1, "lb2": x[loc, 1].min(),
                                   "ub2": x[loc, 1].max(), "support": len(loc)})
            w = None if sample_weight is None else sample_weight[loc]
            if self.is_metric_additive:
                score = scores[loc]
            else:
                score = self.scoring_func(y[loc], preds[loc], sample_weight=w)
            regions, rules, _ = self._fit1d(x[loc, 1], y[loc], preds[loc], score, lb1=lb1,
                                            ub1=ub1, sample_weight=w)
            rule_list_all.extend(rules)
            for item in regions:
                item["lb2q"] = scipy.stats.percentileofscore(x[loc, 1], item["lb2"],
                                                             kind="strict")
                kind = "weak" if x[loc, 1].max() == item["ub2"] else "strict"
                item["ub2q"] = scipy.stats.percentileofscore(x[loc, 1], item["ub2"], kind=kind)
                weak_region.append(item)
        return weak_region, rule_list_all, bins1d

    def _fit(self, x, y, preds, scores, sample_weight=None):
        if self.is_metric_additive:
            w = sample_weight
            if w is not None and not np.sum(w) > 0:
                w = None
            avg_score = np.average(scores, weights=w)
        else:
            avg_score = scores
        self.threshold_value = self.threshold * avg_score
        fidx = [self.feature_names.index(name) for name in self.slice_features]
        indexes = np.unique(fidx, return_index=True)[1]
        self.fidx = [fidx[i] for i in sorted(indexes)]
        if len(self.fidx) == 1:
            self.weak_region, self.rule_list, self.bins1d = self._fit1d(
                x[:, self.fidx[0]], y, preds, scores, sample_weight=sample_weight)
        else:
            self.weak_region, self.rule_list, self.bins1d = self._fit2d(
                x[:, [self.fidx[0], self.fidx[1]]], y, preds, scores,
                sample_weight=sample_weight)

    # -- the driver ---------------------------------------------------------------------------
    def _side(self, x_rows, y, pred, w, idx):
        name = self.score_name
        if len(idx) == 0:
            return [], np.nan
        wi = None if w is None else w[idx]
        if self.is_metric_additive:
            all_scores = self.scoring_func(y[idx], pred[idx])
            return all_scores, _average(all_scores, wi)
        score = self.scoring_func(y[idx], pred[idx], sample_weight=wi)
        return score, score

    def fit(self, train_x, train_y, test_x, test_y, train_pred, test_pred, feature_names,
            use_test=True, train_sample_weight=None, test_sample_weight=None):
        self.feature_names = feature_names
        x, y, pred, w = ((test_x, test_y, test_pred, test_sample_weight) if use_test else
                         (train_x, train_y, train_pred, train_sample_weight))
        preds = pred.ravel()
        if self.is_metric_additive:
            scores = self.scoring_func(y.ravel(), preds)
        else:
            scores = self.scoring_func(y.ravel(), preds, sample_weight=w)
        self._fit(x, y, preds, scores, sample_weight=w)
        self.weak_region_stats = []
        if not self.weak_region:
            return None
        table = []
        name = self.score_name
        for item in self.weak_region:
            row = copy.copy(item)
            conds = []
            for k, c in enumerate(self.fidx[:2]):
                lb, ub = item["lb%d" % (k + 1)], item["ub%d" % (k + 1)]
                # Closed at the searched split's maximum (the rows the search counted there).
                closed = ub == (test_x if use_test else train_x)[:, c].max()
                conds.append([(xs[:, c] >= lb) & ((xs[:, c] <= ub) if closed else (xs[:, c] < ub))
                              for xs in (train_x, test_x)])
            train_idx = np.where(np.logical_and.reduce([c[0] for c in conds]))[0]
            test_idx = np.where(np.logical_and.reduce([c[1] for c in conds]))[0]
            row["#Train"], row["#Test"] = len(train_idx), len(test_idx)
            row["train_%s All" % name], row["train_%s" % name] = self._side(
                train_x, train_y, train_pred, train_sample_weight, train_idx)
            row["test_%s All" % name], row["test_%s" % name] = self._side(
                test_x, test_y, test_pred, test_sample_weight, test_idx)
            row["Gap"] = row["test_%s" % name] - row["train_%s" % name]
            table.append(row)
        # Largest gap first, NaN gaps last, ties in region order.
        self.weak_region_stats = sorted(
            table, key=lambda r: (np.isnan(r["Gap"]), -r["Gap"] if not np.isnan(r["Gap"]) else 0))
        cols = ["lb1", "ub1"] + (["lb2", "ub2"] if len(self.fidx) != 1 else [])
        frame = pd.DataFrame(self.weak_region_stats).loc[
            :, cols + ["#Test", "#Train", "test_" + name, "train_" + name, "Gap"]]
        renames = {}
        for k, c in enumerate(self.fidx[:2]):
            renames["lb%d" % (k + 1)] = "[" + feature_names[c]
            renames["ub%d" % (k + 1)] = feature_names[c] + ")"
        return frame.rename(columns=renames)


class ReferenceTreeSlicing(ReferenceSlicing):
    """Tree slicing: a regression tree of the scores, its leaves walked depth first."""

    def __init__(self, slice_features, threshold=1.2, max_depth=2, min_samples=30, metric=None):
        super().__init__(slice_features, threshold=threshold, min_samples=min_samples,
                         metric=metric)
        from sklearn.tree import DecisionTreeRegressor
        self.max_depth = max_depth
        self.tree_estimator = DecisionTreeRegressor(max_depth=max_depth,
                                                    min_samples_leaf=min_samples)

    def _dfs(self, tree, node, rule):
        feature, threshold = tree.feature[node], tree.threshold[node]
        if feature == -2:
            yield {"splits": rule, "values": tree.value[node].flatten()[0],
                   "counts": tree.n_node_samples[node]}
            return
        key = "f%d" % feature
        left = {k: dict(v) for k, v in rule.items()}
        if key in left:
            left[key]["ub"] = min(left[key]["ub"], threshold)
        else:
            left[key] = {"lb": -np.inf, "ub": threshold}
        yield from self._dfs(tree, tree.children_left[node], left)
        right = {k: dict(v) for k, v in rule.items()}
        if key in right:
            right[key]["lb"] = max(right[key]["lb"], threshold)
        else:
            right[key] = {"lb": threshold, "ub": np.inf}
        yield from self._dfs(tree, tree.children_right[node], right)

    def _fit(self, x, y, preds, scores, sample_weight=None):
        w = sample_weight
        if w is not None and not np.sum(w) > 0:
            w = None
        self.threshold_value = self.threshold * np.average(scores, weights=w)
        fidx = [self.feature_names.index(name) for name in self.slice_features]
        indexes = np.unique(fidx, return_index=True)[1]
        self.fidx = [fidx[i] for i in sorted(indexes)]
        columns = x[:, self.fidx]
        self.tree_estimator.fit(columns, scores, sample_weight=sample_weight)
        self.rule_list = list(self._dfs(self.tree_estimator.tree_, 0, {}))
        self.weak_region = []
        for leaf in self.rule_list:
            if self.score_sign * leaf["values"] <= self.score_sign * self.threshold_value:
                region = {}
                for k in range(len(self.fidx)):
                    bound = leaf["splits"].get("f%d" % k, {"lb": -np.inf, "ub": np.inf})
                    region["lb%d" % (k + 1)] = max(bound["lb"], columns[:, k].min())
                    region["ub%d" % (k + 1)] = min(bound["ub"], columns[:, k].max())
                self.weak_region.append(region)
