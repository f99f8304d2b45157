// Fixed-column report fields with the Fortran edit-descriptor layouts the
// report's direction and date lines keep: Fw.d, Iw and Aw output. Numbers are
// right-aligned and blank-filled; a value too wide for its field fills the
// field with asterisks.
#pragma once

#include <string>
#include <string_view>

namespace quillet {

// Fw.d: d decimals, rounded to nearest (ties to even on the exact binary
// value), right-aligned in w columns. The zero before the point is dropped
// when only that makes the value fit. NaN prints as "NaN", infinities as
// "Infinity" or "Inf" with their sign as room allows.
std::string fortran_f(double v, int w, int d);

// Iw: the integer right-aligned in w columns.
std::string fortran_i(long long v, int w);

// Aw: a shorter text right-aligned in w columns, a longer one cut to its
// leftmost w characters.
std::string fortran_a(std::string_view s, int w);

}  // namespace quillet
