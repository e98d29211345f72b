#include "core/scan.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/histogram.hpp"
#include "core/region_stats.hpp"
#include "core/simd.hpp"

namespace movra::core {

namespace {

constexpr std::size_t kBlock = kSearchBlock;
// Rows coded per step: their values of every coded feature stay in the second-level cache.
constexpr std::size_t kCodeBlock = 256;
constexpr std::uint32_t kNoRegion = UINT32_MAX;
// Second features read per pass over the searched split: the rows' cache lines are fetched
// whole, so two columns cost little more than one.
constexpr std::size_t kBatch = 2;
constexpr std::uint32_t kSeveral = UINT32_MAX - 1;  // a row's first value lies in two bins' regions

// One split read in place.
struct SplitRows {
    const double* data = nullptr;
    std::size_t width = 0;
    const std::int64_t* rows = nullptr;
    std::size_t n = 0;
    Span<const double> scores, weights;

    const double* row(std::size_t i) const {
        return data + static_cast<std::size_t>(rows[i]) * width;
    }
    double weight(std::size_t i) const { return weights.empty() ? 1.0 : weights[i]; }
};

inline void add_row(RegionMoments& m, double score, double w) { m.add(score, w); }

// Rows added to their regions' sums in row order. The current region's sums stay in registers
// while its rows follow each other: added in memory, each row would wait for the previous row's
// store.
class OrderedSums {
  public:
    explicit OrderedSums(RegionMoments* out) : out_(out) {}
    void add(std::uint32_t region, double score, double w) {
        if (region != current_) {
            flush();
            current_ = region;
            sums_ = out_[region];
        }
        add_row(sums_, score, w);
    }
    // Writes the current region's sums back; the next row reads its region's sums anew.
    void flush() {
        if (current_ != kNoRegion) out_[current_] = sums_;
        current_ = kNoRegion;
    }

  private:
    RegionMoments* out_;
    RegionMoments sums_;
    std::uint32_t current_ = kNoRegion;
};

// The codes of one feature on one split, in the narrowest type the breakpoints allow.
struct CodeColumn {
    std::vector<std::uint8_t> u8;
    std::vector<std::uint16_t> u16;
    std::vector<std::uint32_t> u32;
};

// A feature as the scan sees it: its bins over the searched split and every row's code, the
// value's place among the breakpoints (the edges and the range's ends): 2k + 1 for a value equal
// to breakpoint k, 2k for one strictly between breakpoints k - 1 and k. Every bound the searches
// and the measurement compare the feature with is a breakpoint, so comparing codes is comparing
// values.
struct CodedFeature {
    std::size_t column = 0;
    ValueRange range;  // over the searched split
    std::vector<double> edges;
    std::vector<double> breakpoints;
    std::size_t n_codes = 0;
    unsigned code_bytes = 1;
    CodeColumn codes[2];  // the searched split's, the other split's
};

template <typename Visit>
void with_codes(const CodedFeature& f, std::size_t split, Visit visit) {
    const CodeColumn& c = f.codes[split];
    if (f.code_bytes == 1) return visit(c.u8.data());
    if (f.code_bytes == 2) return visit(c.u16.data());
    visit(c.u32.data());
}

// The codes of m values. Where the breakpoints are the edges (always, but for a constant
// feature), the located bin b leaves four comparisons: with its lower and upper edge.
template <typename Code>
void code_values(const CodedFeature& f, const BinLocator& locate, const double* v, std::size_t m,
                 std::uint32_t* scratch, Code* out, const char* path) {
    const double* e = f.edges.data();
    if (f.breakpoints.size() == f.edges.size()) {
        locate_bins(locate, {v, m}, scratch, path);
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint32_t b = scratch[j];
            const double x = v[j], lo = e[b], hi = e[b + 1];
            const auto above =
                static_cast<std::uint32_t>((x >= lo) + (x > lo) + (x >= hi) + (x > hi));
            out[j] = static_cast<Code>(2 * b + above);
        }
        return;
    }
    for (std::size_t j = 0; j < m; ++j) {
        std::uint32_t code = 0;
        for (const double p : f.breakpoints)
            code += static_cast<std::uint32_t>((v[j] >= p) + (v[j] > p));
        out[j] = static_cast<Code>(code);
    }
}

// The range (as value_range has it) and the number of distinct values (as histogram_bin_count
// counts them) of every coded feature over the searched split, in one pass over its rows.
void range_and_bins(const SplitRows& s, std::vector<CodedFeature>& features,
                    std::int64_t max_bins) {
    const std::size_t k = features.size();
    std::vector<double> lo(k), hi(k);
    std::vector<unsigned char> nan(k, 0);
    std::vector<DistinctCounter> seen(k);
    const std::size_t limit = max_bins > 0 ? static_cast<std::size_t>(max_bins) : 0;
    std::vector<std::size_t> counting;  // features whose distinct values are still counted
    for (std::size_t f = 0; f < k; ++f) {
        lo[f] = hi[f] = s.row(0)[features[f].column];
        if (limit > 0) counting.push_back(f);
    }
    for (std::size_t i = 0; i < s.n; ++i) {
        const double* row = s.row(i);
        for (std::size_t f = 0; f < k; ++f) {
            const double v = row[features[f].column];
            lo[f] = v < lo[f] ? v : lo[f];
            hi[f] = v > hi[f] ? v : hi[f];
            nan[f] |= static_cast<unsigned char>(v != v);
        }
        // Continuous features reach the limit within the first rows.
        for (std::size_t c = 0; c < counting.size();) {
            const std::size_t f = counting[c];
            if (seen[f].add(row[features[f].column]) >= limit) {
                counting[c] = counting.back();
                counting.pop_back();
            } else {
                ++c;
            }
        }
    }
    for (std::size_t f = 0; f < k; ++f) {
        CodedFeature& cf = features[f];
        cf.range = nan[f] != 0 ? ValueRange{std::nan(""), std::nan("")} : ValueRange{lo[f], hi[f]};
        const auto distinct = static_cast<std::int64_t>(seen[f].size());
        cf.edges = equal_width_edges(cf.range, distinct < max_bins ? distinct : max_bins);
        cf.breakpoints = cf.edges;
        cf.breakpoints.push_back(cf.range.min);
        cf.breakpoints.push_back(cf.range.max);
        std::sort(cf.breakpoints.begin(), cf.breakpoints.end());
        cf.breakpoints.erase(std::unique(cf.breakpoints.begin(), cf.breakpoints.end()),
                             cf.breakpoints.end());
        cf.n_codes = 2 * cf.breakpoints.size() + 1;
        cf.code_bytes = cf.n_codes <= 0x100 ? 1 : cf.n_codes <= 0x10000 ? 2 : 4;
    }
}

// Every coded feature's codes on one split (0 the searched one), a block of rows at a time; on
// the test split, the maxima of the columns in `max_columns` (as value_range has them) on the way.
void code_split(const SplitRows& s, std::size_t split, std::vector<CodedFeature>& features,
                const std::vector<std::size_t>& max_columns, std::vector<double>* maxima,
                const char* path) {
    std::vector<BinLocator> locators;
    for (CodedFeature& f : features) {
        locators.emplace_back(f.edges);
        CodeColumn& c = f.codes[split];
        if (f.code_bytes == 1) c.u8.resize(s.n);
        if (f.code_bytes == 2) c.u16.resize(s.n);
        if (f.code_bytes == 4) c.u32.resize(s.n);
    }
    const std::size_t n_max = maxima != nullptr ? max_columns.size() : 0;
    std::vector<double> hi(n_max, -HUGE_VAL);
    std::vector<unsigned char> nan(n_max, 0);
    double values[kCodeBlock];
    std::uint32_t scratch[kCodeBlock];
    for (std::size_t start = 0; start < s.n; start += kCodeBlock) {
        const std::size_t m = std::min(kCodeBlock, s.n - start);
        for (std::size_t k = 0; k < features.size(); ++k) {
            CodedFeature& f = features[k];
            for (std::size_t j = 0; j < m; ++j) values[j] = s.row(start + j)[f.column];
            CodeColumn& c = f.codes[split];
            const BinLocator& locate = locators[k];
            if (f.code_bytes == 1)
                code_values(f, locate, values, m, scratch, c.u8.data() + start, path);
            if (f.code_bytes == 2)
                code_values(f, locate, values, m, scratch, c.u16.data() + start, path);
            if (f.code_bytes == 4)
                code_values(f, locate, values, m, scratch, c.u32.data() + start, path);
        }
        for (std::size_t k = 0; k < n_max; ++k)
            for (std::size_t j = 0; j < m; ++j) {
                const double v = s.row(start + j)[max_columns[k]];
                hi[k] = v > hi[k] ? v : hi[k];
                nan[k] |= static_cast<unsigned char>(v != v);
            }
    }
    for (std::size_t k = 0; k < n_max; ++k)
        (*maxima)[max_columns[k]] = nan[k] != 0 || s.n == 0 ? std::nan("") : hi[k];
}

// Bin b holds the codes 2b + 1 (its lower edge) and 2b + 2 (inside it), the last bin also its
// upper edge's (a constant feature's one bin all three). The same loop for every target: the
// compiler makes it vector code of the target's width.
template <typename Code>
inline void code_bins(const Code* codes, std::size_t m, std::uint32_t last, std::uint32_t* out) {
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint32_t b = (static_cast<std::uint32_t>(codes[j]) - 1) >> 1;
        out[j] = b < last ? b : last;
    }
}
#ifdef MOVRA_X86_SIMD
template <typename Code>
MOVRA_TARGET_AVX2 void code_bins_avx2(const Code* codes, std::size_t m, std::uint32_t last,
                                      std::uint32_t* out) {
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint32_t b = (static_cast<std::uint32_t>(codes[j]) - 1) >> 1;
        out[j] = b < last ? b : last;
    }
}
template <typename Code>
MOVRA_TARGET_AVX512 void code_bins_avx512(const Code* codes, std::size_t m, std::uint32_t last,
                                          std::uint32_t* out) {
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint32_t b = (static_cast<std::uint32_t>(codes[j]) - 1) >> 1;
        out[j] = b < last ? b : last;
    }
}
#endif

// A feature's bins read from its codes on the searched split (none of whose values has code 0,
// below its minimum).
template <typename Code>
RowBins bins_from_codes(const Code* codes, const CodedFeature& f, const char* path) {
    const auto last = static_cast<std::uint32_t>(f.edges.size() - 2);
    using Kernel = void (*)(const Code*, std::size_t, std::uint32_t, std::uint32_t*);
    Kernel kernel = code_bins<Code>;
#ifdef MOVRA_X86_SIMD
    const SimdLevel level = simd_level(path);
    if (level == SimdLevel::kAvx512) kernel = code_bins_avx512<Code>;
    if (level == SimdLevel::kAvx2) kernel = code_bins_avx2<Code>;
#else
    (void)path;
#endif
    return [codes, last, kernel](std::size_t start, std::size_t m, std::uint32_t* buffer) {
        kernel(codes + start, m, last, buffer);
        return static_cast<const std::uint32_t*>(buffer);
    };
}

// The place of a bound among the breakpoints (every bound the searches give is one).
std::size_t breakpoint_index(const std::vector<double>& breakpoints, double bound) {
    const auto at = std::lower_bound(breakpoints.begin(), breakpoints.end(), bound);
    if (at == breakpoints.end() || *at != bound)
        throw std::logic_error("scan: a region bound is not one of the feature's breakpoints");
    return static_cast<std::size_t>(at - breakpoints.begin());
}

// The codes of lb <= x < ub, or lb <= x <= ub where ub is the test split's maximum (empty when
// first > last).
struct CodeInterval {
    std::size_t first = 1, last = 0;
};
CodeInterval code_interval(const CodedFeature& f, double lb, double ub, double test_max) {
    const bool closed = ub == test_max;
    return {2 * breakpoint_index(f.breakpoints, lb) + 1,
            2 * breakpoint_index(f.breakpoints, ub) + (closed ? 1 : 0)};
}

// One feature's regions measured on one split: each row's region (at most one: the regions are
// disjoint runs of bins) from its code, the rows inside any gathered first so that the sums run
// without a branch per row.
template <typename Code>
void measure_single(const Code* codes, const SplitRows& s,
                    const std::vector<std::uint32_t>& region_of_code, RegionMoments* out) {
    std::uint32_t inside[kBlock];
    for (std::size_t start = 0; start < s.n; start += kBlock) {
        const std::size_t m = std::min(kBlock, s.n - start);
        std::size_t k = 0;
        for (std::size_t j = 0; j < m; ++j) {
            inside[k] = static_cast<std::uint32_t>(j);
            k += region_of_code[codes[start + j]] != kNoRegion;
        }
        OrderedSums sums(out);
        for (std::size_t t = 0; t < k; ++t) {
            const std::size_t i = start + inside[t];
            sums.add(region_of_code[codes[i]], s.scores[i], s.weight(i));
        }
        sums.flush();
    }
}

// A pair's regions arranged for measuring. The codes of the first feature are grouped in slots:
// the codes inside the same first-feature bins' intervals. A slot of one bin lists that bin's
// regions, disjoint on the second feature and in increasing order, padded to `width` (a power
// of two) for a search without branches; a slot of two bins (a shared bound both close) lists
// its regions to be checked one by one.
struct PairRegion {
    CodeInterval first;
    ClosedInterval second;
    std::size_t bin = 0;
};
struct PairLayout {
    std::vector<std::uint32_t> slot_of_code;  // slot + 1; 0: no region holds the code
    std::size_t width = 1;
    std::vector<double> lo, hi;
    std::vector<std::uint32_t> region;
    std::vector<std::vector<std::uint32_t>> several;  // per slot: its regions when of two bins
    std::vector<std::uint8_t> of_two_bins;            // per slot
};

PairLayout pair_layout(const std::vector<PairRegion>& regions, std::size_t n_codes) {
    PairLayout p;
    p.slot_of_code.assign(n_codes, 0);
    // The runs of regions of one bin (consecutive, in bin order), and the runs holding each code:
    // one, or two where a closed bound is shared.
    std::vector<std::size_t> run_start{0};
    for (std::size_t r = 1; r < regions.size(); ++r)
        if (regions[r].bin != regions[r - 1].bin) run_start.push_back(r);
    run_start.push_back(regions.size());
    constexpr std::size_t kNone = SIZE_MAX;
    std::vector<std::size_t> lower(n_codes, kNone), upper(n_codes, kNone);
    std::size_t most = 1;
    for (std::size_t run = 0; run + 1 < run_start.size(); ++run) {
        const CodeInterval codes = regions[run_start[run]].first;
        most = std::max(most, run_start[run + 1] - run_start[run]);
        for (std::size_t c = codes.first; c <= codes.last && c < n_codes; ++c) {
            if (upper[c] != kNone) throw std::logic_error("scan: three bins share a bound");
            (lower[c] == kNone ? lower[c] : upper[c]) = run;
        }
    }
    while (p.width < most) p.width *= 2;
    // Runs of codes held by the same runs of regions share a slot.
    std::vector<std::pair<std::size_t, std::size_t>> slots;
    for (std::size_t c = 0; c < n_codes; ++c) {
        if (lower[c] == kNone) continue;
        if (slots.empty() || slots.back() != std::make_pair(lower[c], upper[c]))
            slots.emplace_back(lower[c], upper[c]);
        p.slot_of_code[c] = static_cast<std::uint32_t>(slots.size());
    }
    const std::size_t width = p.width;
    p.lo.assign(slots.size() * width, HUGE_VAL);
    p.hi.assign(slots.size() * width, -HUGE_VAL);
    p.region.assign(slots.size() * width, kNoRegion);
    p.several.resize(slots.size());
    p.of_two_bins.assign(slots.size(), 0);
    for (std::size_t s = 0; s < slots.size(); ++s) {
        const auto [run, second_run] = slots[s];
        if (second_run != kNone) {
            p.of_two_bins[s] = 1;
            for (const std::size_t k : {run, second_run})
                for (std::size_t r = run_start[k]; r < run_start[k + 1]; ++r)
                    p.several[s].push_back(static_cast<std::uint32_t>(r));
            continue;
        }
        for (std::size_t r = run_start[run]; r < run_start[run + 1]; ++r) {
            const std::size_t e = s * width + (r - run_start[run]);
            p.lo[e] = regions[r].second.lo;
            p.hi[e] = regions[r].second.hi;
            p.region[e] = static_cast<std::uint32_t>(r);
        }
    }
    return p;
}

// A pair's regions measured on m rows (at most kBlock) of a split, given their codes, second
// values, scores and weights (null: weight 1): the rows whose first value lies in some region's
// interval gathered, each one's region found among its slot's by a search without branches, then
// the rows inside a region added up in order.
template <typename Code>
void measure_pair_block(const Code* codes, const double* second, const double* scores,
                        const double* weights, std::size_t m, const PairLayout& p,
                        const std::vector<PairRegion>& regions, RegionMoments* out) {
    std::uint32_t candidate[kBlock], slot_of[kBlock], found[kBlock], inside[kBlock];
    const std::size_t width = p.width;
    const std::uint32_t* slot_of_code = p.slot_of_code.data();
    std::size_t k = 0;
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint32_t slot = slot_of_code[codes[j]];
        candidate[k] = static_cast<std::uint32_t>(j);
        slot_of[k] = slot;
        k += slot != 0;
    }
    for (std::size_t t = 0; t < k; ++t) {
        const std::size_t j = candidate[t];
        const std::size_t slot = slot_of[t] - 1;
        const double v = second[j];
        const double* lo = p.lo.data() + slot * width;
        std::size_t e = 0;
        for (std::size_t half = width / 2; half > 0; half /= 2)
            e = lo[e + half] <= v ? e + half : e;
        const std::size_t at = slot * width + e;
        // Selects, not branches: whether a candidate is inside is as good as random.
        const auto outside = static_cast<std::uint32_t>(!((lo[e] <= v) & (v <= p.hi[at])));
        const std::uint32_t region = p.region[at] | (0u - outside);
        found[t] = p.of_two_bins[slot] != 0 ? kSeveral : region;
    }
    std::size_t q = 0;
    for (std::size_t t = 0; t < k; ++t) {
        inside[q] = static_cast<std::uint32_t>(t);
        q += found[t] != kNoRegion;
    }
    OrderedSums sums(out);
    for (std::size_t u = 0; u < q; ++u) {
        const std::size_t t = inside[u];
        const std::size_t j = candidate[t];
        const double w = weights != nullptr ? weights[j] : 1.0;
        if (found[t] != kSeveral) {
            sums.add(found[t], scores[j], w);
            continue;
        }
        sums.flush();
        for (const std::uint32_t r : p.several[slot_of[t] - 1])
            if (regions[r].second.lo <= second[j] && second[j] <= regions[r].second.hi)
                add_row(out[r], scores[j], w);
    }
    sums.flush();
}

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

}  // namespace

std::vector<ScanRegion> scan_histograms(const ScanRequest& request) {
    check_split(request, request.train, "train");
    check_split(request, request.test, "test");
    const std::size_t width = request.x.n_columns;
    for (const std::size_t f : request.features)
        if (f >= width) throw std::invalid_argument("features must be columns of the data set");
    for (const auto& pair : request.pairs)
        if (pair.first >= width || pair.second >= width)
            throw std::invalid_argument("pairs must be columns of the data set");
    if (request.features.empty() && request.pairs.empty()) return {};
    const SplitRows searched = split_rows(request, request.use_test ? request.test : request.train);
    const SplitRows other = split_rows(request, request.use_test ? request.train : request.test);
    if (searched.n == 0)
        throw std::invalid_argument(
            "zero-size array to reduction operation minimum which has no identity");

    // Coded: the single features and the pairs' first features, each once.
    std::vector<std::size_t> coded_of_column(width, SIZE_MAX);
    std::vector<CodedFeature> coded;
    const auto code_column = [&](std::size_t column) {
        if (coded_of_column[column] != SIZE_MAX) return;
        coded_of_column[column] = coded.size();
        coded.emplace_back();
        coded.back().column = column;
    };
    for (const std::size_t f : request.features) code_column(f);
    for (const auto& pair : request.pairs) code_column(pair.first);
    range_and_bins(searched, coded, request.settings.max_bins);
    // The test split's maxima of every measured column close the bounds that reach them.
    std::vector<std::size_t> measured;
    for (const CodedFeature& f : coded) measured.push_back(f.column);
    for (const auto& pair : request.pairs) measured.push_back(pair.second);
    std::sort(measured.begin(), measured.end());
    measured.erase(std::unique(measured.begin(), measured.end()), measured.end());
    std::vector<double> test_max(width, std::nan(""));
    code_split(searched, 0, coded, measured, request.use_test ? &test_max : nullptr,
               request.simd_path);
    code_split(other, 1, coded, measured, request.use_test ? nullptr : &test_max,
               request.simd_path);

    const SplitRows* sides[2] = {&searched, &other};
    // Moments on the searched split and the other one, into a region's train and test.
    const auto moments_of = [&](ScanRegion& r, std::size_t side) -> RegionMoments& {
        return (side == 0) == request.use_test ? r.test : r.train;
    };
    std::vector<ScanRegion> out;

    SearchSettings settings1 = request.settings;
    settings1.merge_weights = ZeroWeights::kNotPositiveSum;
    for (const std::size_t column : request.features) {
        const CodedFeature& f = coded[coded_of_column[column]];
        OneFeatureSearch search;
        with_codes(f, 0, [&](const auto* codes) {
            search = search_one_feature_in_bins(f.range, f.edges,
                                                bins_from_codes(codes, f, request.simd_path),
                                                searched.scores, searched.weights, settings1);
        });
        const std::size_t first = out.size();
        std::vector<std::uint32_t> region_of_code(f.n_codes, kNoRegion);
        for (const SliceRule& rule : search.regions) {
            ScanRegion r;
            r.first = static_cast<std::int64_t>(column);
            r.lb1 = rule.lb;
            r.ub1 = rule.ub;
            const CodeInterval codes = code_interval(f, rule.lb, rule.ub, test_max[column]);
            for (std::size_t c = codes.first; c <= codes.last; ++c)
                region_of_code[c] = static_cast<std::uint32_t>(out.size() - first);
            out.push_back(r);
        }
        if (out.size() == first) continue;
        std::vector<RegionMoments> sums(out.size() - first);
        for (std::size_t side = 0; side < 2; ++side) {
            std::fill(sums.begin(), sums.end(), RegionMoments{});
            with_codes(f, side, [&](const auto* codes) {
                measure_single(codes, *sides[side], region_of_code, sums.data());
            });
            for (std::size_t r = 0; r < sums.size(); ++r)
                moments_of(out[first + r], side) = sums[r];
        }
    }

    // Pairs a batch of second features at a time: their values on the searched split read in
    // one pass, each pair searched and measured there, then every pair of the batch measured on
    // the other split in one pass reading its rows in place.
    SearchSettings settings2 = request.settings;
    settings2.merge_weights = ZeroWeights::kZeroSum;
    std::vector<std::vector<ScanRegion>> pair_regions(request.pairs.size());
    std::vector<std::size_t> seconds;
    for (const auto& pair : request.pairs) seconds.push_back(pair.second);
    std::sort(seconds.begin(), seconds.end());
    seconds.erase(std::unique(seconds.begin(), seconds.end()), seconds.end());
    struct Measured {
        std::size_t pair = 0, slot = 0;  // the pair, its second feature's place in the batch
        const CodedFeature* first = nullptr;
        std::vector<PairRegion> regions;
        PairLayout layout;
    };
    std::vector<double> columns[kBatch];
    for (std::size_t batch_start = 0; batch_start < seconds.size(); batch_start += kBatch) {
        const std::vector<std::size_t> batch(
            seconds.begin() + static_cast<std::ptrdiff_t>(batch_start),
            seconds.begin() +
                static_cast<std::ptrdiff_t>(std::min(batch_start + kBatch, seconds.size())));
        bool nan[kBatch];
        read_columns(searched, batch, columns, nan);
        std::vector<Measured> measuring;
        for (std::size_t k = 0; k < request.pairs.size(); ++k) {
            const std::size_t column2 = request.pairs[k].second;
            const auto in_batch = std::find(batch.begin(), batch.end(), column2);
            if (in_batch == batch.end()) continue;
            const auto slot = static_cast<std::size_t>(in_batch - batch.begin());
            const Span<const double> second{columns[slot].data(), columns[slot].size()};
            const std::size_t column1 = request.pairs[k].first;
            const CodedFeature& f = coded[coded_of_column[column1]];
            TwoFeatureSearch search;
            with_codes(f, 0, [&](const auto* codes) {
                search = search_two_features_in_bins(
                    f.range, f.edges, bins_from_codes(codes, f, request.simd_path), second,
                    searched.scores, searched.weights, settings2, nan[slot]);
            });
            std::vector<ScanRegion>& found = pair_regions[k];
            Measured m{k, slot, &f, {}, {}};
            for (std::size_t b = 0; b < search.bins.size(); ++b) {
                const FirstFeatureBin& fb = search.bins[b];
                const std::vector<SliceRule>& regions = fb.search.regions;
                if (regions.empty()) continue;
                const CodeInterval codes = code_interval(f, fb.lb1, fb.ub1, test_max[column1]);
                for (std::size_t q = 0; q < regions.size(); ++q) {
                    ScanRegion r;
                    r.first = static_cast<std::int64_t>(column1);
                    r.second = static_cast<std::int64_t>(column2);
                    r.lb1 = fb.lb1;
                    r.ub1 = fb.ub1;
                    r.lb2 = regions[q].lb;
                    r.ub2 = regions[q].ub;
                    r.lb2q = fb.lb2q[q];
                    r.ub2q = fb.ub2q[q];
                    found.push_back(r);
                    const Bound bound2{r.lb2, r.ub2, r.ub2 == test_max[column2]};
                    m.regions.push_back({codes, closed_interval(bound2), b});
                }
            }
            if (found.empty()) continue;
            m.layout = pair_layout(m.regions, f.n_codes);
            std::vector<RegionMoments> sums(found.size());
            with_codes(f, 0, [&](const auto* codes) {
                for (std::size_t start = 0; start < searched.n; start += kBlock)
                    measure_pair_block(
                        codes + start, second.data + start, searched.scores.data + start,
                        block_of(searched.weights, start), std::min(kBlock, searched.n - start),
                        m.layout, m.regions, sums.data());
            });
            for (std::size_t r = 0; r < sums.size(); ++r) moments_of(found[r], 0) = sums[r];
            measuring.push_back(std::move(m));
        }
        std::vector<std::vector<RegionMoments>> sums;
        for (const Measured& m : measuring) sums.emplace_back(m.regions.size());
        double values[kBatch][kBlock];
        for (std::size_t start = 0; start < other.n && !measuring.empty(); start += kBlock) {
            const std::size_t rows = std::min(kBlock, other.n - start);
            for (std::size_t j = 0; j < rows; ++j) {
                const double* row = other.row(start + j);
                for (std::size_t slot = 0; slot < batch.size(); ++slot)
                    values[slot][j] = row[batch[slot]];
            }
            for (std::size_t k = 0; k < measuring.size(); ++k) {
                const Measured& m = measuring[k];
                with_codes(*m.first, 1, [&](const auto* codes) {
                    measure_pair_block(codes + start, values[m.slot], other.scores.data + start,
                                       block_of(other.weights, start), rows, m.layout, m.regions,
                                       sums[k].data());
                });
            }
        }
        for (std::size_t k = 0; k < measuring.size(); ++k)
            for (std::size_t r = 0; r < sums[k].size(); ++r)
                moments_of(pair_regions[measuring[k].pair][r], 1) = sums[k][r];
    }
    // Each pair's list released once moved: the regions are held once.
    std::size_t total = out.size();
    for (const std::vector<ScanRegion>& regions : pair_regions) total += regions.size();
    out.reserve(total);
    for (std::vector<ScanRegion>& regions : pair_regions) {
        out.insert(out.end(), regions.begin(), regions.end());
        std::vector<ScanRegion>().swap(regions);
    }
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
            add_row(m[k], s.scores[i], s.weights.empty() ? 1.0 : s.weights[i]);
    }
    return {m[0], m[1]};
}

}  // namespace movra::core
