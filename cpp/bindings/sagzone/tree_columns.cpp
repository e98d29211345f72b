#include "bindings/sagzone/tree_columns.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "bindings/common/records.hpp"
#include "bindings/sagzone/sagzone_module.hpp"
#include "bindings/sagzone/slicers.hpp"
#include "core/region_stats.hpp"
#include "core/tree_walk.hpp"

namespace movra::sagzone {

namespace {

const double kNaN = std::nan("");

core::LeafBounds leaf_bounds_of(py::handle splits) {
    core::LeafBounds bounds;
    for (auto item : py::reinterpret_borrow<py::dict>(splits))
        bounds.emplace_back(py::str(item.first).cast<std::string>(),
                            core::LeafBound{py::float_(item.second["lb"]).cast<double>(),
                                            py::float_(item.second["ub"]).cast<double>()});
    return bounds;
}

std::vector<std::int32_t> sorted(std::vector<std::int32_t> codes) {
    std::sort(codes.begin(), codes.end());
    return codes;
}

}  // namespace

TreeColumns::TreeColumns(py::handle slicer, std::vector<FitColumns::Column> columns,
                         const bind::Vector& scores, const std::optional<bind::Vector>& weights)
    : columns_(std::move(columns)), all_scores_(scores), all_weights_(weights) {
    bool any_missing = false;
    for (std::size_t k = 0; k < columns_.size(); ++k) {
        kinds_.push_back(slicing_kind(slicer, k));
        const auto values = bind::span(columns_[k].values);
        ranges_.push_back(core::finite_range(values));
        orders_.push_back(
            kinds_[k] == core::FeatureKind::kCategorical
                ? core::order_categories(values, bind::span(scores), span_or_empty(weights))
                : core::CategoryOrder{});
        any_missing = any_missing || (kinds_[k] == core::FeatureKind::kNumerical &&
                                      std::isnan(columns_[k].range.min));
    }
    if (!any_missing) {
        scores_ = scores;
        weights_ = weights ? py::object(*weights) : py::object(py::none());
        return;
    }
    subset_ = true;
    const std::size_t n = static_cast<std::size_t>(scores.size());
    for (std::size_t i = 0; i < n; ++i) {
        bool seen = true;
        for (std::size_t k = 0; k < columns_.size(); ++k)
            seen = seen && (kinds_[k] == core::FeatureKind::kCategorical ||
                            !std::isnan(columns_[k].values.data()[i]));
        if (seen) rows_.push_back(static_cast<std::int64_t>(i));
    }
    scores_ = bind::gather_array(bind::span(scores), rows_);
    weights_ = weights ? py::object(bind::gather_array(bind::span(*weights), rows_))
                       : py::object(py::none());
}

py::object TreeColumns::input() const {
    py::list parts;
    for (std::size_t k = 0; k < columns_.size(); ++k) {
        const bind::Vector all = kinds_[k] == core::FeatureKind::kCategorical
                                     ? bind::Vector(bind::to_numpy(orders_[k].rank_of_row))
                                     : columns_[k].values;
        parts.append(subset_ ? py::object(bind::gather_array(bind::span(all), rows_))
                             : py::object(all));
    }
    return deps().np.attr("column_stack")(parts);
}

void TreeColumns::read_back(py::list& rules) const {
    for (std::size_t k = 0; k < columns_.size(); ++k) {
        if (kinds_[k] != core::FeatureKind::kCategorical) continue;
        const py::str key("f" + std::to_string(k));
        for (py::handle rule : rules) {
            py::dict splits = rule["splits"];
            if (!splits.contains(key)) continue;
            const core::LeafBounds b = leaf_bounds_of(splits);
            const core::LeafBound on = core::clipped_leaf_bound(b, k, -HUGE_VAL, HUGE_VAL);
            const bind::Condition set{py::float_(kNaN), py::float_(kNaN),
                                      core::codes_ranked_within(orders_[k], on.lb, on.ub)};
            splits[key] = bind::bound_dict(deps().keys, set);
        }
    }
}

py::list TreeColumns::weak_leaves(const py::list& rules, const Scoring& scoring,
                                  double threshold) const {
    py::list weak;
    for (py::handle rule : rules) {
        const double value = py::float_(rule["values"]).cast<double>();
        if (!core::is_weak(value, scoring.sign, threshold)) continue;
        const py::dict splits = rule["splits"];
        const core::LeafBounds bounds = leaf_bounds_of(splits);
        std::vector<bind::Condition> on;
        for (std::size_t k = 0; k < columns_.size(); ++k) {
            const py::str key("f" + std::to_string(k));
            if (kinds_[k] == core::FeatureKind::kCategorical) {
                const py::object codes = splits.contains(key) ? py::object(splits[key]["codes"])
                                                              : py::object(py::none());
                std::vector<std::int32_t> set = orders_[k].codes;
                if (!codes.is_none()) {
                    set.clear();
                    for (py::handle c : codes) set.push_back(c.cast<std::int32_t>());
                }
                on.push_back({py::float_(kNaN), py::float_(kNaN), sorted(std::move(set))});
                continue;
            }
            const core::LeafBound b =
                core::clipped_leaf_bound(bounds, k, ranges_[k].min, ranges_[k].max);
            on.push_back(bind::Condition::interval(py::float_(b.lb), py::float_(b.ub)));
        }
        weak.append(bind::region_record(deps().keys, on[0], on.size() > 1 ? &on[1] : nullptr));
    }
    return weak;
}

void TreeColumns::judge_missing(py::list& rules, py::list& weak, const Scoring& scoring,
                                double threshold, std::int64_t min_samples) const {
    for (std::size_t k = 0; k < columns_.size(); ++k) {
        if (kinds_[k] != core::FeatureKind::kNumerical || !std::isnan(columns_[k].range.min))
            continue;
        const std::vector<std::int64_t> missing = core::rows_in_bound(
            bind::span(columns_[k].values), core::code_set({core::kMissingCode}));
        const bind::Vector at = bind::gather_array(bind::span(all_scores_), missing);
        const auto sums =
            core::sums_of(bind::span(at), span_or_empty(all_weights_), missing.data());
        const double value =
            core::average_score(sums, all_weights_.has_value(), core::ZeroWeights::kZeroSum);
        // The other column over all its observed values: the region is the missing rows.
        std::vector<bind::Condition> on;
        for (std::size_t j = 0; j < columns_.size(); ++j) {
            if (j == k)
                on.push_back({py::float_(kNaN), py::float_(kNaN), {core::kMissingCode}});
            else if (kinds_[j] == core::FeatureKind::kCategorical)
                on.push_back({py::float_(kNaN), py::float_(kNaN), sorted(orders_[j].codes)});
            else
                on.push_back(bind::Condition::interval(py::float_(ranges_[j].min),
                                                       py::float_(ranges_[j].max)));
        }
        rules.append(bind::rule_record(deps().keys, on[0], on.size() > 1 ? &on[1] : nullptr, value,
                                       sums.count));
        if (core::is_weak(value, scoring.sign, threshold) && min_samples <= sums.count)
            weak.append(bind::region_record(deps().keys, on[0], on.size() > 1 ? &on[1] : nullptr));
    }
}

}  // namespace movra::sagzone
