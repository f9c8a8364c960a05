// Read-only views of float64 data laid out as NumPy lays it out: any byte
// strides (negative and zero included) and any alignment.
#pragma once

#include <cstddef>
#include <cstring>

namespace zelk::core {

// One double at any address: NumPy arrays need not be 8-byte aligned.
inline double load_double(const char* p) noexcept {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// An (n, 2) array of coordinate pairs.
struct PairsView {
    const char* data;
    std::ptrdiff_t n;
    std::ptrdiff_t row_stride_bytes;
    std::ptrdiff_t col_stride_bytes;

    double x(std::ptrdiff_t i) const noexcept { return load_double(data + i * row_stride_bytes); }
    double y(std::ptrdiff_t i) const noexcept {
        return load_double(data + i * row_stride_bytes + col_stride_bytes);
    }

    // A C-contiguous (n, 2) buffer.
    static PairsView contiguous(const double* xy, std::ptrdiff_t n) noexcept {
        return {reinterpret_cast<const char*>(xy), n, 2 * std::ptrdiff_t(sizeof(double)),
                std::ptrdiff_t(sizeof(double))};
    }
};

// An (n,) array of values.
struct ValuesView {
    const char* data;
    std::ptrdiff_t n;
    std::ptrdiff_t stride_bytes;

    double operator[](std::ptrdiff_t i) const noexcept {
        return load_double(data + i * stride_bytes);
    }

    static ValuesView contiguous(const double* v, std::ptrdiff_t n) noexcept {
        return {reinterpret_cast<const char*>(v), n, std::ptrdiff_t(sizeof(double))};
    }
};

// A 2x2 matrix, m<row><col>.
struct Metric2 {
    double m00, m01, m10, m11;
};

}  // namespace zelk::core
