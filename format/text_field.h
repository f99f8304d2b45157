// Fixed-width, blank-padded text fields: file names (80 characters) and
// law and model names (30 characters), as the deck and the result files hold them.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

namespace quillet {

template <int N>
struct text_field {
    std::array<char, N> c;

    text_field() { c.fill(' '); }
    text_field(std::string_view s) { assign(s); }  // NOLINT: implicit from literals is handy

    // A longer value is cut to N characters; a shorter one is padded with blanks.
    void assign(std::string_view s) {
        c.fill(' ');
        std::copy_n(s.begin(), std::min<std::size_t>(s.size(), N), c.begin());
    }
    std::string_view view() const { return {c.data(), std::size_t(N)}; }
    // The value without its trailing blanks.
    std::string_view trimmed() const {
        std::string_view v = view();
        std::size_t end = v.find_last_not_of(' ');
        return end == std::string_view::npos ? std::string_view{} : v.substr(0, end + 1);
    }
    // "junk" followed by blanks only switches a file off.
    bool is_junk() const { return trimmed() == "junk"; }
    // The characters before the first blank, at most maxlen of them: the
    // prefix from which the diagnostic and image file names are built.
    std::string prefix(std::size_t maxlen) const {
        std::string_view v = view();
        std::size_t end = std::min(v.find(' '), maxlen);
        return std::string(v.substr(0, std::min(end, v.size())));
    }
    bool operator==(const text_field&) const = default;
};

using text80 = text_field<80>;
using text30 = text_field<30>;

}  // namespace quillet
