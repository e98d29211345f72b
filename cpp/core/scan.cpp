#include "core/scan.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/region_stats.hpp"
#include "core/scan_coding.hpp"
#include "core/scan_measure.hpp"
#include "core/scan_segments.hpp"

namespace movra::core {

namespace {

using scan_steps::CodedFeature;
using scan_steps::CodedFeatures;
using scan_steps::CodeInterval;
using scan_steps::CodePairLayout;
using scan_steps::kNoRegion;
using scan_steps::PairBlock;
using scan_steps::PairLayout;
using scan_steps::PairRegion;
using scan_steps::SplitRows;

constexpr std::size_t kBlock = kSearchBlock;
// Second features read per pass over the searched split: the rows' cache lines are fetched
// whole, so two columns cost little more than one.
constexpr std::size_t kBatch = 2;

SplitRows split_rows(const ScanRequest& r, const ScanSplit& s) {
    return {r.x.data, r.x.n_columns, s.rows.data, s.rows.size, s.scores, s.weights};
}

void check_split(const ScanRequest& r, const ScanSplit& s, const char* name) {
    const std::string side = name;
    if (s.scores.size != s.rows.size)
        throw std::invalid_argument(side + " scores must have one value per row");
    if (!s.weights.empty() && s.weights.size != s.rows.size)
        throw std::invalid_argument(side + " weights must have one value per row");
    for (const std::int64_t row : s.rows)
        if (row < 0 || static_cast<std::uint64_t>(row) >= r.x.n_rows)
            throw std::invalid_argument(side + " rows must be positions of the data set's rows");
}

// Columns of a split, in one pass over its rows, and whether each holds a NaN.
void read_columns(const SplitRows& s, const std::vector<std::size_t>& columns,
                  std::vector<double>* out, bool* nan) {
    for (std::size_t k = 0; k < columns.size(); ++k) {
        out[k].resize(s.n);
        nan[k] = false;
    }
    for (std::size_t i = 0; i < s.n; ++i) {
        const double* row = s.row(i);
        for (std::size_t k = 0; k < columns.size(); ++k) {
            out[k][i] = row[columns[k]];
            nan[k] |= out[k][i] != out[k][i];
        }
    }
}

const double* block_of(Span<const double> v, std::size_t start) {
    return v.empty() ? nullptr : v.data + start;
}

// What every step of one scan reads: the splits in place (the searched one first) and the
// features coded on both.
struct Scan {
    const ScanRequest& request;
    SplitRows sides[2];  // the searched split, the other one
    CodedFeatures coded;
    // Merged regions fall back to the plain mean as HistogramSlicing has it, for one feature and
    // for a pair.
    SearchSettings single_settings, pair_settings;
    // Sizes the near ties of categories and missing rows (of a part of the split when found).
    ScoreProfile split_profile;

    // Moments on the searched split (side 0) or the other one, into a region's train or test.
    RegionMoments& moments_on(ScanRegion& r, std::size_t side) const {
        return (side == 0) == request.use_test ? r.test : r.train;
    }
    double searched_max(std::size_t column) const { return coded.searched_max[column]; }
    FeatureKind kind_of(std::size_t column) const {
        return column < request.kinds.size() ? request.kinds[column] : FeatureKind::kNumerical;
    }
};

// One feature's regions, searched on the searched split and measured on both.
void scan_feature(const Scan& scan, std::size_t column, std::vector<ScanRegion>& out) {
    const CodedFeature& f = scan.coded.of(column);
    const OneFeatureSearch search = search_coded_feature(
        f, scan.sides[0], scan.single_settings, scan.split_profile, scan.request.simd_path);
    const std::size_t first = out.size();
    std::vector<std::uint32_t> region_of_code(f.n_codes, kNoRegion);
    for (const SliceRule& rule : search.regions) {
        const auto region = static_cast<std::uint32_t>(out.size() - first);
        ScanRegion r;
        r.first = static_cast<std::int64_t>(column);
        r.lb1 = rule.lb;
        r.ub1 = rule.ub;
        r.closed1 = rule.codes.empty() && rule.ub == scan.searched_max(column);
        r.codes1 = rule.codes;
        for (const std::int32_t c : rule.codes) region_of_code[f.code_of_category(c)] = region;
        if (rule.codes.empty()) {
            const CodeInterval codes =
                code_interval(f, rule.lb, rule.ub, scan.searched_max(column));
            for (std::size_t c = codes.first; c <= codes.last; ++c) region_of_code[c] = region;
        }
        out.push_back(std::move(r));
    }
    if (out.size() == first) return;
    std::vector<RegionMoments> sums(out.size() - first);
    for (std::size_t side = 0; side < 2; ++side) {
        std::fill(sums.begin(), sums.end(), RegionMoments{});
        measure_single(f, side, scan.sides[side], region_of_code, sums.data());
        for (std::size_t r = 0; r < sums.size(); ++r)
            scan.moments_on(out[first + r], side) = sums[r];
    }
}

// A batch of second features: their values on the searched split, read in one pass.
struct PairBatch {
    std::vector<std::size_t> columns;
    std::vector<double> values[kBatch];
    bool nan[kBatch] = {};
};

// A pair of a batch, searched and measured on the searched split, to be measured on the other.
struct MeasuredPair {
    std::size_t pair = 0, slot = 0;  // the pair, its second feature's place in the batch
    const CodedFeature* first = nullptr;
    std::vector<PairRegion> regions;
    PairLayout layout;
};

// Pair k searched on the searched split, its numerical second feature's values at `slot` of the
// batch: the equal-width search of two numerical features without missing values there, else the
// search within the first feature's bins.
TwoFeatureSearch search_pair_bins(const Scan& scan, std::size_t k, const PairBatch& batch,
                                  std::size_t slot) {
    const SplitRows& searched = scan.sides[0];
    const Span<const double> second{batch.values[slot].data(), batch.values[slot].size()};
    const CodedFeature& f = scan.coded.of(scan.request.pairs[k].first);
    if (f.kind == FeatureKind::kNumerical && !f.missing_searched && !batch.nan[slot])
        return search_two_features_in_bins(
            f.range, f.edges, searched_bins(f, scan.request.simd_path), second, searched.scores,
            searched.weights, scan.pair_settings, false);
    return search_pair_in_bins(f, searched, second, scan.pair_settings, scan.split_profile,
                               scan.request.simd_path);
}

// Pair k's regions found by `search`, into `found`, and as they are measured.
std::vector<PairRegion> regions_of_pair(const Scan& scan, std::size_t k,
                                        const TwoFeatureSearch& search,
                                        std::vector<ScanRegion>& found) {
    const auto [column1, column2] = scan.request.pairs[k];
    const CodedFeature& f = scan.coded.of(column1);
    std::vector<PairRegion> measured;
    for (std::size_t b = 0; b < search.bins.size(); ++b) {
        const FirstFeatureBin& fb = search.bins[b];
        const std::vector<SliceRule>& regions = fb.search.regions;
        if (regions.empty()) continue;
        const CodeInterval codes = bin_codes(f, b, scan.searched_max(column1));
        for (std::size_t q = 0; q < regions.size(); ++q) {
            ScanRegion r;
            r.first = static_cast<std::int64_t>(column1);
            r.second = static_cast<std::int64_t>(column2);
            r.lb1 = fb.lb1;
            r.ub1 = fb.ub1;
            r.codes1 = fb.codes1;
            r.lb2 = regions[q].lb;
            r.ub2 = regions[q].ub;
            r.codes2 = regions[q].codes;
            r.lb2q = fb.lb2q[q];
            r.ub2q = fb.ub2q[q];
            r.closed1 = r.codes1.empty() && r.ub1 == scan.searched_max(column1);
            r.closed2 = r.codes2.empty() && r.ub2 == scan.searched_max(column2);
            PairRegion m{codes, {}, b, {}};
            if (r.codes2.empty())
                m.second =
                    closed_interval(Bound{r.lb2, r.ub2, r.ub2 == scan.searched_max(column2)});
            else
                m.second_set = code_set(r.codes2);
            found.push_back(std::move(r));
            measured.push_back(std::move(m));
        }
    }
    return measured;
}

// Pair k searched on the searched split, its second feature's values at `slot` of the batch:
// its regions into `found` and, arranged for measuring, into the result.
MeasuredPair search_pair(const Scan& scan, std::size_t k, const PairBatch& batch, std::size_t slot,
                         std::vector<ScanRegion>& found) {
    const CodedFeature& f = scan.coded.of(scan.request.pairs[k].first);
    MeasuredPair m{
        k, slot, &f, regions_of_pair(scan, k, search_pair_bins(scan, k, batch, slot), found), {}};
    if (!m.regions.empty()) m.layout = pair_layout(m.regions, f.n_codes);
    return m;
}

// Pair k with a categorical second feature: searched and measured on both splits by the two
// features' codes.
void scan_code_pair(const Scan& scan, std::size_t k, std::vector<ScanRegion>& found) {
    const auto [column1, column2] = scan.request.pairs[k];
    const CodedFeature &f = scan.coded.of(column1), &g = scan.coded.of(column2);
    const TwoFeatureSearch search = search_pair_of_codes(
        f, g, scan.sides[0], scan.pair_settings, scan.split_profile, scan.request.simd_path);
    const std::vector<PairRegion> regions = regions_of_pair(scan, k, search, found);
    if (regions.empty()) return;
    const CodePairLayout layout = code_pair_layout(regions, f, g);
    std::vector<RegionMoments> sums(found.size());
    for (std::size_t side = 0; side < 2; ++side) {
        std::fill(sums.begin(), sums.end(), RegionMoments{});
        measure_code_pair(f, g, side, scan.sides[side], layout, sums.data());
        for (std::size_t r = 0; r < sums.size(); ++r) scan.moments_on(found[r], side) = sums[r];
    }
}

// A searched pair's regions measured on the searched split, from the batch's values.
void measure_on_searched(const Scan& scan, const PairBatch& batch, const MeasuredPair& m,
                         std::vector<ScanRegion>& found) {
    const SplitRows& searched = scan.sides[0];
    const double* second = batch.values[m.slot].data();
    std::vector<RegionMoments> sums(found.size());
    for (std::size_t start = 0; start < searched.n; start += kBlock) {
        const PairBlock block{0,
                              start,
                              std::min(kBlock, searched.n - start),
                              second + start,
                              searched.scores.data + start,
                              block_of(searched.weights, start)};
        measure_pair_block(*m.first, block, m.layout, m.regions, sums.data());
    }
    for (std::size_t r = 0; r < sums.size(); ++r) scan.moments_on(found[r], 0) = sums[r];
}

// Every searched pair of a batch measured on the other split, in one pass reading its rows in
// place.
void measure_on_other(const Scan& scan, const PairBatch& batch,
                      const std::vector<MeasuredPair>& measuring,
                      std::vector<std::vector<ScanRegion>>& pair_regions) {
    const SplitRows& other = scan.sides[1];
    std::vector<std::vector<RegionMoments>> sums;
    for (const MeasuredPair& m : measuring) sums.emplace_back(m.regions.size());
    double values[kBatch][kBlock];
    for (std::size_t start = 0; start < other.n && !measuring.empty(); start += kBlock) {
        const std::size_t rows = std::min(kBlock, other.n - start);
        for (std::size_t j = 0; j < rows; ++j) {
            const double* row = other.row(start + j);
            for (std::size_t slot = 0; slot < batch.columns.size(); ++slot)
                values[slot][j] = row[batch.columns[slot]];
        }
        for (std::size_t k = 0; k < measuring.size(); ++k) {
            const MeasuredPair& m = measuring[k];
            const PairBlock block{1,
                                  start,
                                  rows,
                                  values[m.slot],
                                  other.scores.data + start,
                                  block_of(other.weights, start)};
            measure_pair_block(*m.first, block, m.layout, m.regions, sums[k].data());
        }
    }
    for (std::size_t k = 0; k < measuring.size(); ++k)
        for (std::size_t r = 0; r < sums[k].size(); ++r)
            scan.moments_on(pair_regions[measuring[k].pair][r], 1) = sums[k][r];
}

// The pairs whose second feature is in the batch: their values on the searched split read in one
// pass, each pair searched and measured there, then every pair of the batch measured on the
// other split.
void scan_pair_batch(const Scan& scan, PairBatch& batch,
                     std::vector<std::vector<ScanRegion>>& pair_regions) {
    read_columns(scan.sides[0], batch.columns, batch.values, batch.nan);
    std::vector<MeasuredPair> measuring;
    for (std::size_t k = 0; k < scan.request.pairs.size(); ++k) {
        const auto in_batch =
            std::find(batch.columns.begin(), batch.columns.end(), scan.request.pairs[k].second);
        if (in_batch == batch.columns.end()) continue;
        const auto slot = static_cast<std::size_t>(in_batch - batch.columns.begin());
        MeasuredPair m = search_pair(scan, k, batch, slot, pair_regions[k]);
        if (m.regions.empty()) continue;
        measure_on_searched(scan, batch, m, pair_regions[k]);
        measuring.push_back(std::move(m));
    }
    measure_on_other(scan, batch, measuring, pair_regions);
}

// Every pair's regions, a batch of second features at a time, appended to `out` in the pairs'
// order.
void scan_pairs(const Scan& scan, std::vector<ScanRegion>& out) {
    const auto& pairs = scan.request.pairs;
    std::vector<std::vector<ScanRegion>> pair_regions(pairs.size());
    std::vector<std::size_t> seconds;  // the numerical ones, read in batches
    for (std::size_t k = 0; k < pairs.size(); ++k)
        if (scan.kind_of(pairs[k].second) == FeatureKind::kCategorical)
            scan_code_pair(scan, k, pair_regions[k]);
        else
            seconds.push_back(pairs[k].second);
    std::sort(seconds.begin(), seconds.end());
    seconds.erase(std::unique(seconds.begin(), seconds.end()), seconds.end());
    PairBatch batch;
    for (std::size_t start = 0; start < seconds.size(); start += kBatch) {
        const std::size_t end = std::min(start + kBatch, seconds.size());
        batch.columns.assign(seconds.begin() + static_cast<std::ptrdiff_t>(start),
                             seconds.begin() + static_cast<std::ptrdiff_t>(end));
        scan_pair_batch(scan, batch, pair_regions);
    }
    // Each pair's list released once moved: the regions are held once.
    std::size_t total = out.size();
    for (const std::vector<ScanRegion>& regions : pair_regions) total += regions.size();
    out.reserve(total);
    for (std::vector<ScanRegion>& regions : pair_regions) {
        out.insert(out.end(), regions.begin(), regions.end());
        std::vector<ScanRegion>().swap(regions);
    }
}

void check_request(const ScanRequest& request) {
    check_split(request, request.train, "train");
    check_split(request, request.test, "test");
    const std::size_t width = request.x.n_columns;
    for (const std::size_t f : request.features)
        if (f >= width) throw std::invalid_argument("features must be columns of the data set");
    for (const auto& pair : request.pairs)
        if (pair.first >= width || pair.second >= width)
            throw std::invalid_argument("pairs must be columns of the data set");
    if (!request.kinds.empty() && request.kinds.size() != width)
        throw std::invalid_argument("kinds must have one entry per column of the data set");
}

}  // namespace

std::vector<ScanRegion> scan_histograms(const ScanRequest& request) {
    check_request(request);
    if (request.features.empty() && request.pairs.empty()) return {};
    Scan scan{request,
              {split_rows(request, request.use_test ? request.test : request.train),
               split_rows(request, request.use_test ? request.train : request.test)},
              {},
              request.settings,
              request.settings,
              {}};
    if (scan.sides[0].n == 0)
        throw std::invalid_argument(
            "zero-size array to reduction operation minimum which has no identity");
    scan.single_settings.merge_weights = ZeroWeights::kNotPositiveSum;
    scan.pair_settings.merge_weights = ZeroWeights::kZeroSum;
    scan.coded = scan_steps::code_features(request, scan.sides[0], scan.sides[1]);
    if (request.settings.ties.exact_average)
        scan.split_profile = score_profile(scan.sides[0].scores, scan.sides[0].weights);
    std::vector<ScanRegion> out;
    for (const std::size_t column : request.features) scan_feature(scan, column, out);
    scan_pairs(scan, out);
    return out;
}

std::pair<RegionMoments, RegionMoments> split_moments(const ScanRequest& request) {
    check_split(request, request.train, "train");
    check_split(request, request.test, "test");
    RegionMoments m[2];
    const ScanSplit* splits[2] = {&request.train, &request.test};
    for (std::size_t k = 0; k < 2; ++k) {
        const ScanSplit& s = *splits[k];
        for (std::size_t i = 0; i < s.rows.size; ++i)
            m[k].add(s.scores[i], s.weights.empty() ? 1.0 : s.weights[i]);
    }
    return {m[0], m[1]};
}

}  // namespace movra::core
