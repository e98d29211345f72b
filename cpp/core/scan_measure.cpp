#include "core/scan_measure.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace movra::core::scan_steps {

namespace {

constexpr std::size_t kBlock = kSearchBlock;
constexpr std::uint32_t kSeveral = UINT32_MAX - 1;  // a row's first value lies in two bins' regions

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

// One feature's regions measured on one split: each row's region (at most one: the regions are
// disjoint runs of bins) from its code, the rows inside any gathered first so that the sums run
// without a branch per row.
template <typename Code>
void measure_codes(const Code* codes, const SplitRows& s,
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

// A region's condition on the second feature.
inline bool second_holds(const PairRegion& r, double v) {
    return r.second_set.is_set ? r.second_set.contains(v) : r.second.lo <= v && v <= r.second.hi;
}

// A pair's regions measured on m rows (at most kBlock) of a split, given their codes, second
// values, scores and weights (null: weight 1): the rows whose first value lies in some region's
// bin gathered, each one's region found among its slot's by a search without branches (then its
// slot's set, when `kSets` and the search finds none), then the rows inside a region added up in
// order.
template <bool kSets, typename Code>
void measure_pair_codes(const Code* codes, const double* second, const double* scores,
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
        std::uint32_t region = p.region[at] | (0u - outside);
        if (kSets && region == kNoRegion && p.set_region[slot] != kNoRegion &&
            regions[p.set_region[slot]].second_set.contains(v))
            region = p.set_region[slot];
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
            if (second_holds(regions[r], second[j])) add_row(out[r], scores[j], w);
    }
    sums.flush();
}

// A pair's regions measured by both features' codes on one split: each row's region looked up,
// the rows inside any gathered, then added up in order.
template <typename Code1, typename Code2>
void measure_code_rows(const Code1* codes1, const Code2* codes2, const SplitRows& s,
                       const CodePairLayout& p, RegionMoments* out) {
    const std::uint32_t* slot_of_code = p.slot_of_code.data();
    const std::uint32_t* region = p.region.data();
    const std::size_t width = p.n_second_codes;
    std::uint32_t inside[kBlock], region_of[kBlock];
    for (std::size_t start = 0; start < s.n; start += kBlock) {
        const std::size_t m = std::min(kBlock, s.n - start);
        std::size_t k = 0;
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t i = start + j;
            const std::uint32_t r = region[slot_of_code[codes1[i]] * width + codes2[i]];
            inside[k] = static_cast<std::uint32_t>(j);
            region_of[k] = r;
            k += r != kNoRegion;
        }
        OrderedSums sums(out);
        for (std::size_t t = 0; t < k; ++t) {
            const std::size_t i = start + inside[t];
            sums.add(region_of[t], s.scores[i], s.weight(i));
        }
        sums.flush();
    }
}

}  // namespace

CodePairLayout code_pair_layout(const std::vector<PairRegion>& regions, const CodedFeature& first,
                                const CodedFeature& second) {
    CodePairLayout p;
    p.slot_of_code.assign(first.n_codes, 0);
    p.n_second_codes = second.n_codes;
    // Slot 0 holds no region; each first-feature bin with regions has a slot of its own.
    p.region.assign(second.n_codes, kNoRegion);
    for (std::size_t r = 0; r < regions.size(); ++r) {
        const PairRegion& region = regions[r];
        if (r == 0 || region.bin != regions[r - 1].bin) {
            const auto slot = static_cast<std::uint32_t>(p.region.size() / second.n_codes);
            p.region.resize(p.region.size() + second.n_codes, kNoRegion);
            for (std::size_t c = region.first.first; c <= region.first.last; ++c) {
                if (p.slot_of_code[c] != 0) throw std::logic_error("scan: two bins share a code");
                p.slot_of_code[c] = slot;
            }
        }
        std::uint32_t* slot = p.region.data() + p.region.size() - second.n_codes;
        for (std::size_t c = 0; c < second.n_codes; ++c)
            if (region.second_set.contains(c == second.missing_code() ? std::nan("")
                                                                      : static_cast<double>(c)))
                slot[c] = static_cast<std::uint32_t>(r);
    }
    return p;
}

void measure_code_pair(const CodedFeature& first, const CodedFeature& second, std::size_t split,
                       const SplitRows& s, const CodePairLayout& p, RegionMoments* out) {
    with_codes(first, split, [&](const auto* codes1) {
        with_codes(second, split,
                   [&](const auto* codes2) { measure_code_rows(codes1, codes2, s, p, out); });
    });
}

void measure_single(const CodedFeature& f, std::size_t split, const SplitRows& s,
                    const std::vector<std::uint32_t>& region_of_code, RegionMoments* out) {
    with_codes(f, split, [&](const auto* codes) { measure_codes(codes, s, region_of_code, out); });
}

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
    p.set_region.assign(slots.size(), kNoRegion);
    for (std::size_t s = 0; s < slots.size(); ++s) {
        const auto [run, second_run] = slots[s];
        if (second_run != kNone) {
            p.of_two_bins[s] = 1;
            for (const std::size_t k : {run, second_run})
                for (std::size_t r = run_start[k]; r < run_start[k + 1]; ++r)
                    p.several[s].push_back(static_cast<std::uint32_t>(r));
            continue;
        }
        std::size_t e = s * width;
        for (std::size_t r = run_start[run]; r < run_start[run + 1]; ++r) {
            if (regions[r].second_set.is_set) {
                p.set_region[s] = static_cast<std::uint32_t>(r);
                p.has_sets = true;
                continue;
            }
            p.lo[e] = regions[r].second.lo;
            p.hi[e] = regions[r].second.hi;
            p.region[e++] = static_cast<std::uint32_t>(r);
        }
    }
    return p;
}

void measure_pair_block(const CodedFeature& first, const PairBlock& block, const PairLayout& p,
                        const std::vector<PairRegion>& regions, RegionMoments* out) {
    with_codes(first, block.split, [&](const auto* codes) {
        if (p.has_sets)
            measure_pair_codes<true>(codes + block.start, block.second, block.scores, block.weights,
                                     block.m, p, regions, out);
        else
            measure_pair_codes<false>(codes + block.start, block.second, block.scores,
                                      block.weights, block.m, p, regions, out);
    });
}

}  // namespace movra::core::scan_steps
