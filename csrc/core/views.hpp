// Read-only views of float64 data laid out as NumPy lays it out: any byte
// strides (negative and zero included) and any alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace zelk::core {

// One double at any address: NumPy arrays need not be 8-byte aligned.
inline double load_double(const char* p) noexcept {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The element count of a scratch buffer with `per` values for each of `rows`
// rows. A broadcast input can claim more rows than memory holds; such a
// request fails as an allocation failure, never as an overflow.
inline std::size_t scratch_size(std::ptrdiff_t rows, std::ptrdiff_t per) {
    constexpr std::ptrdiff_t limit = PTRDIFF_MAX / 16;
    if (rows < 0 || rows > limit / per) throw std::bad_alloc();
    return static_cast<std::size_t>(rows * per);
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

    // Whether the coordinates lie one after another in memory, as in a
    // C-contiguous (n, 2) buffer: then they can be compared or copied as
    // one block.
    bool packed() const noexcept {
        return row_stride_bytes == 2 * std::ptrdiff_t(sizeof(double)) &&
               col_stride_bytes == std::ptrdiff_t(sizeof(double));
    }

    // Rows are broadcast along a zero stride: they claim vertices that are
    // not in memory, and are never copied.
    bool broadcast() const noexcept { return row_stride_bytes == 0 && n > 1; }

    // The rows written to out (2 n values, C order).
    void copy_to(double* out) const noexcept {
        if (packed()) {
            if (n > 0) std::memcpy(out, data, static_cast<std::size_t>(2 * n) * sizeof(double));
            return;
        }
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            out[2 * i] = x(i);
            out[2 * i + 1] = y(i);
        }
    }
};

// The rows of v in a buffer of the caller's own (C order). Throws std::bad_alloc.
inline std::vector<double> own_rows(const PairsView& v) {
    std::vector<double> out(scratch_size(v.n, 2));
    v.copy_to(out.data());
    return out;
}

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
