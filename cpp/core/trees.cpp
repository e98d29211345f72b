#include "core/trees.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

namespace movra::core {

namespace {

// A forward-only JSON reader: the model is walked once, skipping what the trees do not need.
class JsonCursor {
  public:
    JsonCursor(const char* text, std::size_t length) : p_(text), end_(text + length) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw std::invalid_argument("cannot read the XGBoost model: " + what);
    }

    char peek() {
        skip_blanks();
        if (p_ == end_) fail("unexpected end of the JSON text");
        return *p_;
    }

    void expect(char c) {
        if (peek() != c) fail(std::string("expected '") + c + "'");
        ++p_;
    }

    bool at_end() {
        skip_blanks();
        return p_ == end_;
    }

    std::string read_string() {
        expect('"');
        std::string out;
        while (p_ != end_ && *p_ != '"') {
            if (*p_ == '\\') {
                ++p_;
                if (p_ == end_) break;
                // Keys and values we read are plain ASCII; an escape keeps its character.
                if (*p_ == 'u') {
                    if (end_ - p_ < 5) fail("bad escape in a string");
                    p_ += 4;
                    out.push_back('?');
                } else {
                    out.push_back(*p_);
                }
                ++p_;
            } else {
                out.push_back(*p_++);
            }
        }
        if (p_ == end_) fail("unterminated string");
        ++p_;
        return out;
    }

    double read_number() {
        const char c = peek();
        if (c == 't' || c == 'f') return read_literal() ? 1.0 : 0.0;
        if (c == '"') {
            // Some fields are numbers written as strings.
            std::string s = read_string();
            return parse_number(s.data(), s.data() + s.size());
        }
        const char* start = p_;
        while (p_ != end_ && (std::isdigit(static_cast<unsigned char>(*p_)) || *p_ == '-' ||
                              *p_ == '+' || *p_ == '.' || *p_ == 'e' || *p_ == 'E'))
            ++p_;
        return parse_number(start, p_);
    }

    bool read_literal() {
        auto take = [this](const char* word, std::size_t n) {
            if (static_cast<std::size_t>(end_ - p_) < n || std::string(p_, n) != word)
                fail("bad literal");
            p_ += n;
        };
        const char c = peek();
        if (c == 't') {
            take("true", 4);
            return true;
        }
        if (c == 'f') {
            take("false", 5);
            return false;
        }
        take("null", 4);
        return false;
    }

    // Calls on_key(key) for each member; on_key must consume the member's value.
    template <typename OnKey>
    void read_object(OnKey&& on_key) {
        expect('{');
        if (peek() == '}') {
            ++p_;
            return;
        }
        while (true) {
            std::string key = read_string();
            expect(':');
            on_key(key);
            const char c = peek();
            ++p_;
            if (c == '}') return;
            if (c != ',') fail("expected ',' or '}' in an object");
        }
    }

    template <typename OnItem>
    void read_array(OnItem&& on_item) {
        expect('[');
        if (peek() == ']') {
            ++p_;
            return;
        }
        while (true) {
            on_item();
            const char c = peek();
            ++p_;
            if (c == ']') return;
            if (c != ',') fail("expected ',' or ']' in an array");
        }
    }

    template <typename T>
    std::vector<T> read_numbers() {
        std::vector<T> out;
        read_array([&] { out.push_back(static_cast<T>(read_number())); });
        return out;
    }

    void skip_value() {
        const char c = peek();
        if (c == '{') {
            read_object([this](const std::string&) { skip_value(); });
        } else if (c == '[') {
            read_array([this] { skip_value(); });
        } else if (c == '"') {
            read_string();
        } else if (c == 't' || c == 'f' || c == 'n') {
            read_literal();
        } else {
            read_number();
        }
    }

  private:
    void skip_blanks() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    double parse_number(const char* first, const char* last) const {
        if (first != last && *first == '+') ++first;
        double v = 0.0;
        auto [ptr, ec] = std::from_chars(first, last, v);
        if (ec != std::errc() || ptr != last || first == last) fail("bad number");
        return v;
    }

    const char* p_;
    const char* end_;
};

// The same walk over XGBoost's UBJSON (Booster.save_raw("ubj")): big-endian numbers, typed
// arrays of raw float32/int32/uint8 values, length-prefixed strings. No decimal text to parse.
class UbjCursor {
  public:
    UbjCursor(const char* data, std::size_t length)
        : p_(reinterpret_cast<const unsigned char*>(data)), end_(p_ + length) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw std::invalid_argument("cannot read the XGBoost model: " + what);
    }

    bool at_end() {
        while (pending_ == 0 && p_ != end_ && *p_ == 'N') ++p_;
        return pending_ == 0 && p_ == end_;
    }

    std::string read_string() {
        const unsigned char m = take_marker();
        if (m == 'C') return std::string(1, static_cast<char>(byte()));
        if (m != 'S' && m != 'H') fail("expected a string");
        return chars(length());
    }

    double read_number() {
        const unsigned char m = take_marker();
        if (m == 'S' || m == 'H') {
            const std::string s = chars(length());
            double v = 0.0;
            auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
            if (ec != std::errc() || ptr != s.data() + s.size() || s.empty()) fail("bad number");
            return v;
        }
        return scalar(m);
    }

    template <typename OnKey>
    void read_object(OnKey&& on_key) {
        if (take_marker() != '{') fail("expected an object");
        std::int64_t count = -1;
        header(count);
        for (std::int64_t i = 0; count < 0 || i < count; ++i) {
            if (count < 0) {
                skip_noops();
                if (p_ == end_) fail("unexpected end of the model");
                if (*p_ == '}') {
                    ++p_;
                    return;
                }
            }
            const std::string key = chars(length());
            on_key(key);
        }
        pending_ = 0;
    }

    template <typename OnItem>
    void read_array(OnItem&& on_item) {
        if (take_marker() != '[') fail("expected an array");
        std::int64_t count = -1;
        const unsigned char type = header(count);
        for (std::int64_t i = 0; count < 0 || i < count; ++i) {
            if (count < 0) {
                skip_noops();
                if (p_ == end_) fail("unexpected end of the model");
                if (*p_ == ']') {
                    ++p_;
                    return;
                }
            }
            pending_ = type;
            on_item();
        }
        pending_ = 0;
    }

    template <typename T>
    std::vector<T> read_numbers() {
        std::vector<T> out;
        read_array([&] { out.push_back(static_cast<T>(read_number())); });
        return out;
    }

    void skip_value() {
        skip_noops();
        const unsigned char m = pending_ != 0 ? pending_ : (p_ != end_ ? *p_ : 0);
        if (m == '{') {
            read_object([this](const std::string&) { skip_value(); });
        } else if (m == '[') {
            read_array([this] { skip_value(); });
        } else if (m == 'S' || m == 'H' || m == 'C') {
            read_string();
        } else {
            read_number();
        }
    }

  private:
    void skip_noops() {
        if (pending_ == 0)
            while (p_ != end_ && *p_ == 'N') ++p_;
    }

    unsigned char byte() {
        if (p_ == end_) fail("unexpected end of the model");
        return *p_++;
    }

    // The marker of the next value: the container's type inside a typed container.
    unsigned char take_marker() {
        if (pending_ != 0) {
            const unsigned char m = pending_;
            pending_ = 0;
            return m;
        }
        skip_noops();
        return byte();
    }

    template <typename T>
    T big_endian() {
        if (end_ - p_ < static_cast<std::ptrdiff_t>(sizeof(T))) fail("unexpected end of the model");
        unsigned char b[sizeof(T)];
        for (std::size_t i = 0; i < sizeof(T); ++i) b[i] = p_[sizeof(T) - 1 - i];
        p_ += sizeof(T);
        T v;
        std::memcpy(&v, b, sizeof(T));
        return v;
    }

    double scalar(unsigned char m) {
        switch (m) {
            case 'i':
                return static_cast<double>(big_endian<std::int8_t>());
            case 'U':
                return static_cast<double>(big_endian<std::uint8_t>());
            case 'I':
                return static_cast<double>(big_endian<std::int16_t>());
            case 'l':
                return static_cast<double>(big_endian<std::int32_t>());
            case 'L':
                return static_cast<double>(big_endian<std::int64_t>());
            case 'd':
                return static_cast<double>(big_endian<float>());
            case 'D':
                return big_endian<double>();
            case 'T':
                return 1.0;
            case 'F':
                return 0.0;
            case 'Z':
                return 0.0;
            default:
                fail("expected a number");
        }
    }

    std::int64_t length() {
        const unsigned char m = byte();
        if (m != 'i' && m != 'U' && m != 'I' && m != 'l' && m != 'L') fail("expected a length");
        const double v = scalar(m);
        if (v < 0 || v > static_cast<double>(end_ - p_) + 1.0e9) fail("bad length");
        return static_cast<std::int64_t>(v);
    }

    std::string chars(std::int64_t n) {
        if (n < 0 || end_ - p_ < n) fail("unexpected end of the model");
        std::string s(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(n));
        p_ += n;
        return s;
    }

    // Optional "$type" and "#count" after '[' or '{'; returns the type (0 when untyped).
    unsigned char header(std::int64_t& count) {
        unsigned char type = 0;
        if (p_ != end_ && *p_ == '$') {
            ++p_;
            type = byte();
            if (byte() != '#') fail("a typed container needs a count");
        } else if (p_ != end_ && *p_ == '#') {
            ++p_;
        } else {
            return 0;
        }
        count = length();
        return type;
    }

    const unsigned char* p_;
    const unsigned char* end_;
    unsigned char pending_ = 0;
};

// The model's numbers are float32 printed in shortest round-trip form: rounding the parsed
// double to float32 gives back the model's exact value.
double as_float32(double v) { return static_cast<double>(static_cast<float>(v)); }

template <typename Cursor>
void read_tree(Cursor& in, TreeArrays& out) {
    std::vector<std::int64_t> left, right, feature;
    std::vector<double> condition;
    std::vector<std::uint8_t> default_left;
    bool categorical = false;
    bool vector_leaf = false;
    in.read_object([&](const std::string& key) {
        if (key == "left_children") {
            left = in.template read_numbers<std::int64_t>();
        } else if (key == "right_children") {
            right = in.template read_numbers<std::int64_t>();
        } else if (key == "split_indices") {
            feature = in.template read_numbers<std::int64_t>();
        } else if (key == "split_conditions") {
            condition = in.template read_numbers<double>();
        } else if (key == "default_left") {
            default_left = in.template read_numbers<std::uint8_t>();
        } else if (key == "split_type") {
            for (auto t : in.template read_numbers<int>()) categorical = categorical || t != 0;
        } else if (key == "tree_param") {
            in.read_object([&](const std::string& k) {
                if (k == "size_leaf_vector") {
                    vector_leaf = in.read_number() > 1.0;
                } else {
                    in.skip_value();
                }
            });
        } else {
            in.skip_value();
        }
    });
    if (categorical) in.fail("categorical splits are not supported");
    if (vector_leaf) in.fail("trees with vector leaves are not supported");
    const std::size_t n = left.size();
    if (n == 0 || right.size() != n || feature.size() != n || condition.size() != n ||
        default_left.size() != n)
        in.fail("a tree's node arrays are missing or of unequal lengths");
    for (std::size_t i = 0; i < n; ++i) {
        out.left.push_back(left[i]);
        out.right.push_back(right[i]);
        const bool leaf = left[i] < 0;
        out.feature.push_back(leaf ? -1 : feature[i]);
        out.threshold.push_back(leaf ? 0.0 : as_float32(condition[i]));
        out.value.push_back(leaf ? as_float32(condition[i]) : 0.0);
        out.default_left.push_back(default_left[i] != 0 ? 1 : 0);
    }
    out.tree_offsets.push_back(static_cast<std::int64_t>(out.left.size()));
}

template <typename Cursor>
void read_gradient_booster(Cursor& in, TreeArrays& out) {
    std::string name;
    bool has_trees = false;
    in.read_object([&](const std::string& key) {
        if (key == "name") {
            name = in.read_string();
        } else if (key == "model") {
            in.read_object([&](const std::string& k) {
                if (k == "trees") {
                    has_trees = true;
                    in.read_array([&] { read_tree(in, out); });
                } else {
                    in.skip_value();
                }
            });
        } else {
            in.skip_value();
        }
    });
    if (name != "gbtree") in.fail("only gbtree boosters are supported, got '" + name + "'");
    if (!has_trees) in.fail("no trees in the model");
}

}  // namespace

TreeView view(const TreeArrays& t) {
    return TreeView{{t.tree_offsets.data(), t.tree_offsets.size()},
                    {t.left.data(), t.left.size()},
                    {t.right.data(), t.right.size()},
                    {t.feature.data(), t.feature.size()},
                    {t.threshold.data(), t.threshold.size()},
                    {t.default_left.data(), t.default_left.size()},
                    {t.value.data(), t.value.size()}};
}

namespace {

template <typename Cursor>
TreeArrays read_model(Cursor& in) {
    TreeArrays out;
    bool found = false;
    in.read_object([&](const std::string& key) {
        if (key != "learner") {
            in.skip_value();
            return;
        }
        in.read_object([&](const std::string& k) {
            if (k == "gradient_booster") {
                found = true;
                read_gradient_booster(in, out);
            } else {
                in.skip_value();
            }
        });
    });
    if (!in.at_end()) in.fail("data after the model");
    if (!found) in.fail("no learner.gradient_booster object");
    return out;
}

}  // namespace

TreeArrays read_xgboost_json(const char* text, std::size_t length) {
    JsonCursor in(text, length);
    return read_model(in);
}

TreeArrays read_xgboost_ubjson(const char* data, std::size_t length) {
    UbjCursor in(data, length);
    return read_model(in);
}

namespace {

struct PathState {
    std::int64_t node;
    int n_conditions;
    FeatureCondition conditions[2];
};

// Narrows the path's condition on `feature`; false when a third distinct feature appears.
bool narrow(PathState& s, std::int64_t feature, double threshold, bool go_left, bool dflt_left) {
    int slot = -1;
    for (int c = 0; c < s.n_conditions; ++c)
        if (s.conditions[c].feature == feature) slot = c;
    if (slot < 0) {
        if (s.n_conditions == 2) return false;
        slot = s.n_conditions++;
        s.conditions[slot] = FeatureCondition{feature, -std::numeric_limits<double>::infinity(),
                                              std::numeric_limits<double>::infinity(), true};
    }
    FeatureCondition& c = s.conditions[slot];
    if (go_left) {
        c.upper = std::min(c.upper, threshold);
    } else {
        c.lower = std::max(c.lower, threshold);
    }
    c.missing = c.missing && (go_left == dflt_left);
    return true;
}

}  // namespace

std::vector<LeafRule> leaf_rules(const TreeView& trees, std::size_t n_features) {
    std::vector<LeafRule> rules;
    const std::size_t n_trees = trees.tree_offsets.size == 0 ? 0 : trees.tree_offsets.size - 1;
    const auto n_nodes = static_cast<std::int64_t>(trees.left.size);
    std::vector<PathState> stack;
    for (std::size_t t = 0; t < n_trees; ++t) {
        const std::int64_t first = trees.tree_offsets[t];
        const std::int64_t size = trees.tree_offsets[t + 1] - first;
        if (first < 0 || size <= 0 || first + size > n_nodes)
            throw std::invalid_argument("tree offsets out of range");
        std::size_t visited = 0;
        stack.clear();
        stack.push_back(PathState{0, 0, {}});
        while (!stack.empty()) {
            PathState s = stack.back();
            stack.pop_back();
            // A well-formed tree visits each node once; more visits mean a cycle.
            if (++visited > static_cast<std::size_t>(size))
                throw std::invalid_argument("tree " + std::to_string(t) + " has a cycle");
            const auto i = static_cast<std::size_t>(first + s.node);
            if (trees.left[i] < 0) {
                LeafRule rule;
                rule.value = trees.value[i];
                rule.n_conditions = s.n_conditions;
                for (int c = 0; c < s.n_conditions; ++c) rule.conditions[c] = s.conditions[c];
                if (rule.n_conditions == 2 &&
                    rule.conditions[0].feature > rule.conditions[1].feature)
                    std::swap(rule.conditions[0], rule.conditions[1]);
                rules.push_back(rule);
                continue;
            }
            const std::int64_t f = trees.feature[i];
            if (f < 0 || static_cast<std::size_t>(f) >= n_features)
                throw std::invalid_argument("tree " + std::to_string(t) + " splits on feature " +
                                            std::to_string(f) + " of " +
                                            std::to_string(n_features));
            const std::int64_t children[2] = {trees.left[i], trees.right[i]};
            for (int side = 0; side < 2; ++side) {
                if (children[side] <= 0 || children[side] >= size)
                    throw std::invalid_argument("tree " + std::to_string(t) +
                                                " has a child index out of range");
                PathState next = s;
                next.node = children[side];
                if (!narrow(next, f, trees.threshold[i], side == 0, trees.default_left[i] != 0))
                    throw std::invalid_argument(
                        "tree " + std::to_string(t) +
                        " tests more than two features on one path; only depth-2 interactions "
                        "can be decomposed");
                stack.push_back(next);
            }
        }
    }
    return rules;
}

void tree_margins(const TreeView& trees, double base_margin, Span<const double> x,
                  std::size_t n_columns, Span<double> out) {
    const std::size_t n_trees = trees.tree_offsets.size - 1;
    for (std::size_t r = 0; r < out.size; ++r) {
        const double* row = x.data + r * n_columns;
        double sum = base_margin;
        for (std::size_t t = 0; t < n_trees; ++t) {
            const auto first = static_cast<std::size_t>(trees.tree_offsets[t]);
            std::size_t i = first;
            // Depth is bounded by the node count, so the walk ends even on a malformed tree.
            for (std::size_t steps = 0; trees.left[i] >= 0 && steps < trees.left.size; ++steps) {
                const double v = row[trees.feature[i]];
                bool go_left;
                if (std::isnan(v)) {
                    go_left = trees.default_left[i] != 0;
                } else {
                    go_left = static_cast<double>(static_cast<float>(v)) < trees.threshold[i];
                }
                i = first + static_cast<std::size_t>(go_left ? trees.left[i] : trees.right[i]);
            }
            sum += trees.value[i];
        }
        out[r] = sum;
    }
}

}  // namespace movra::core
