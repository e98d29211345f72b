// Reading XGBoost's JSON model text in one forward pass (see xgboost_model.hpp, its one user).
#pragma once

#include <cctype>
#include <charconv>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace movra::core {

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
        // XGBoost 1.7 writes a categorical split's condition as NaN.
        if (c == 'N') {
            expect_word("NaN");
            return std::numeric_limits<double>::quiet_NaN();
        }
        if (c == 'I' || (c == '-' && end_ - p_ > 1 && p_[1] == 'I')) {
            const bool negative = c == '-';
            if (negative) ++p_;
            expect_word("Infinity");
            const double inf = std::numeric_limits<double>::infinity();
            return negative ? -inf : inf;
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
    void expect_word(const char* word) {
        const std::size_t n = std::char_traits<char>::length(word);
        if (static_cast<std::size_t>(end_ - p_) < n || std::string(p_, n) != word)
            fail("bad number");
        p_ += n;
    }

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

}  // namespace movra::core
