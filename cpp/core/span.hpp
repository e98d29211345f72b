// A pointer and a length: how kernels see an array they do not own.
#pragma once

#include <cstddef>

namespace movra::core {

template <typename T>
struct Span {
    T* data = nullptr;
    std::size_t size = 0;

    T& operator[](std::size_t i) const { return data[i]; }
    T* begin() const { return data; }
    T* end() const { return data + size; }
    bool empty() const { return size == 0; }
};

}  // namespace movra::core
