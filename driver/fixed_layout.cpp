#include "driver/fixed_layout.h"

#include <cmath>
#include <cstdio>

namespace quillet {

namespace {

std::string right_aligned(std::string s, int w) {
    if (w < 0) w = 0;
    if (int(s.size()) > w) return std::string(std::size_t(w), '*');
    return std::string(std::size_t(w) - s.size(), ' ') + s;
}

}  // namespace

std::string fortran_f(double v, int w, int d) {
    if (std::isnan(v)) return right_aligned("NaN", w);
    if (std::isinf(v)) {
        if (v > 0) return right_aligned(w >= 8 ? "Infinity" : "Inf", w);
        return right_aligned(w >= 9 ? "-Infinity" : "-Inf", w);
    }
    if (d < 0) d = 0;
    if (d > 60) d = 60;
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", d, v);
    std::string s = buf;
    if (int(s.size()) > w) {
        // The leading zero of |v| < 1 is optional in Fortran output.
        if (s.compare(0, 2, "0.") == 0)
            s.erase(0, 1);
        else if (s.compare(0, 3, "-0.") == 0)
            s.erase(1, 1);
    }
    return right_aligned(s, w);
}

std::string fortran_i(long long v, int w) { return right_aligned(std::to_string(v), w); }

std::string fortran_a(std::string_view s, int w) {
    if (w < 0) w = 0;
    if (int(s.size()) >= w) return std::string(s.substr(0, std::size_t(w)));
    return std::string(std::size_t(w) - s.size(), ' ') + std::string(s);
}

}  // namespace quillet
