// Reading XGBoost's UBJSON model in one forward pass, with the interface of JsonCursor (see
// xgboost_model.hpp, its one user).
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace movra::core {

// The same reader over XGBoost's UBJSON (Booster.save_raw("ubj")): big-endian numbers, typed
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

}  // namespace movra::core
