#include "format/free_reader.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>
#include <limits>

#include "format/run_error.h"

namespace quillet {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
bool ends_bare(char c) { return is_blank(c) || c == ',' || c == '/'; }

std::string shown(std::string_view s) {
    std::string out;
    for (char c : s.substr(0, 60)) out.push_back((c >= 32 && c < 127) ? c : '?');
    if (s.size() > 60) out += "...";
    return "'" + out + "'";
}

bool parse_int(std::string_view s, std::int32_t& v) {
    // One sign at most: "+-5" and "++5" are not integers.
    bool plus = !s.empty() && s.front() == '+';
    if (plus) s.remove_prefix(1);
    if (s.empty() || s.front() == '+' || (plus && s.front() == '-')) return false;
    std::int32_t w = 0;
    auto res = std::from_chars(s.data(), s.data() + s.size(), w);
    if (res.ec != std::errc() || res.ptr != s.data() + s.size()) return false;
    v = w;  // a value that fails leaves v as it was
    return true;
}

bool equals_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != b[i]) return false;
    return true;
}

bool parse_real(std::string_view s, double& v) {
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (equals_nocase(s, "nan")) {
        v = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (equals_nocase(s, "inf") || equals_nocase(s, "infinity")) {
        v = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return true;
    }
    // digits [. digits] [exponent]: at least one mantissa digit. The text
    // is checked here and converted in place; an exponent marked d or D is
    // converted from a copy that marks it e.
    std::size_t i = 0, digits = 0, exponent = std::string_view::npos;
    auto skip_digits = [&] {
        std::size_t n = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++n;
        return n;
    };
    digits += skip_digits();
    if (i < s.size() && s[i] == '.') {
        ++i;
        digits += skip_digits();
    }
    if (digits == 0) return false;
    if (i < s.size()) {
        char e = s[i];
        if (e != 'e' && e != 'E' && e != 'd' && e != 'D') return false;
        exponent = i;
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (skip_digits() == 0 || i != s.size()) return false;
    }
    std::string copy;
    if (exponent != std::string_view::npos && (s[exponent] == 'd' || s[exponent] == 'D')) {
        copy.assign(s);
        copy[exponent] = 'e';
        s = copy;
    }
    double w = 0.0;
    auto res = std::from_chars(s.data(), s.data() + s.size(), w);
    if (res.ptr != s.data() + s.size()) return false;
    if (res.ec == std::errc::result_out_of_range) {
        // A value beyond the double range is an overflow, not a number; one
        // too small for it reads as zero (or the nearest subnormal), as a
        // Fortran read gives.
        w = std::strtod(std::string(s).c_str(), nullptr);
        if (std::isinf(w)) return false;
    }
    v = negative ? -w : w;  // a value that fails leaves v as it was
    return true;
}

}  // namespace

free_reader::free_reader(std::FILE* f, std::string source)
    : f_(f), owned_(false), source_(std::move(source)) {}

free_reader::free_reader(const std::string& path) : f_(std::fopen(path.c_str(), "r")), owned_(true), source_(path) {
    if (!f_) throw input_error("cannot open the file " + path + ": " + std::strerror(errno));
    // Large files are read in large pieces.
    std::setvbuf(f_, nullptr, _IOFBF, std::size_t(1) << 20);
}

std::int64_t free_reader::bytes_left() const {
    struct stat st {};
    if (::fstat(::fileno(f_), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    const long at = std::ftell(f_);
    if (at < 0) return -1;
    return std::max<std::int64_t>(0, std::int64_t(st.st_size) - at) + std::int64_t(line_.size()) + 1;
}

free_reader::~free_reader() {
    if (owned_ && f_) std::fclose(f_);
    std::free(buf_);
}

void free_reader::begin_record(std::string_view what) {
    what_.assign(what);
    // A line looked at by at_end() is the first line of this record; any other
    // line already read belonged to the previous record.
    line_in_record_ = peeked_;
    peeked_ = false;
    pos_ = 0;
    record_ended_ = false;
    after_value_ = false;
    repeat_left_ = 0;
}

bool free_reader::load_line() {
    line_ = {};
    pos_ = 0;
    // getline takes the line out of the stream's buffer at once (a NUL byte
    // is kept as any other character) and reads no further than its end, so
    // a stream shared with others is left where the line ends.
    errno = 0;
    const ssize_t got = ::getline(&buf_, &buf_size_, f_);
    if (got < 0) {
        if (std::ferror(f_) || errno == ENOMEM)
            fail("the input could not be read: " + std::string(std::strerror(errno ? errno : EIO)));
        return false;
    }
    std::size_t len = std::size_t(got);
    if (len > 0 && buf_[len - 1] == '\n') --len;
    line_ = std::string_view(buf_, len);
    ++line_no_;
    return true;
}

bool free_reader::at_end() {
    if (peeked_) return false;
    for (;;) {
        if (!load_line()) return true;
        if (line_.find_first_not_of(" \t\r\f\v") != std::string::npos) {
            peeked_ = true;
            return false;
        }
    }
}

void free_reader::parse_value(std::string_view expected) {
    // At a quote or at the first character of a bare value.
    quoted_ = false;
    slash_after_ = false;
    char q = line_[pos_];
    if (q == '\'' || q == '"') {
        quoted_ = true;
        token_.clear();
        ++pos_;
        for (;;) {
            if (pos_ >= line_.size()) fail(std::string(expected) + " with its closing quote", token_);
            char c = line_[pos_++];
            if (c == q) {
                if (pos_ < line_.size() && line_[pos_] == q) {
                    token_.push_back(q);
                    ++pos_;
                    continue;
                }
                break;
            }
            token_.push_back(c);
        }
        // The closing quote must end the value: 'a'b is not one text.
        if (pos_ < line_.size() && !ends_bare(line_[pos_]))
            fail(std::string(expected) + " followed by a blank, comma or slash after its closing quote",
                 line_.substr(pos_));
        value_ = token_;
        return;
    }
    // A bare value is read in place.
    const std::size_t start = pos_;
    while (pos_ < line_.size() && !ends_bare(line_[pos_])) ++pos_;
    value_ = line_.substr(start, pos_ - start);
    slash_after_ = pos_ < line_.size() && line_[pos_] == '/';
}

free_reader::item free_reader::next_item(std::string_view expected) {
    if (record_ended_) return item::ended;
    if (repeat_left_ > 0) {
        --repeat_left_;
        return repeat_null_ ? item::null : item::value;
    }
    for (;;) {
        if (!line_in_record_ || pos_ >= line_.size()) {
            if (!load_line()) {
                line_in_record_ = false;
                fail("expected " + std::string(expected) + ", but the input ended");
            }
            line_in_record_ = true;
            continue;
        }
        char c = line_[pos_];
        if (is_blank(c)) {
            ++pos_;
            continue;
        }
        if (c == ',') {
            ++pos_;
            if (after_value_) {
                after_value_ = false;
                continue;
            }
            return item::null;
        }
        if (c == '/') {
            record_ended_ = true;
            return item::ended;
        }
        after_value_ = true;
        // A repeat count: digits followed directly by '*'.
        std::size_t d = pos_;
        while (d < line_.size() && line_[d] >= '0' && line_[d] <= '9') ++d;
        if (d > pos_ && d < line_.size() && line_[d] == '*') {
            std::int32_t r = 0;
            if (!parse_int(line_.substr(pos_, d - pos_), r) || r < 1)
                fail("a repeat count of at least 1", line_.substr(pos_, d - pos_ + 1));
            pos_ = d + 1;
            repeat_left_ = r - 1;
            repeat_null_ = pos_ >= line_.size() || ends_bare(line_[pos_]);
            if (repeat_null_) return item::null;
            parse_value(expected);
            return item::value;
        }
        parse_value(expected);
        return item::value;
    }
}

bool free_reader::read(std::int32_t& v) {
    const char* expected = "an integer";
    item it = next_item(expected);
    if (it != item::value) return false;
    if (quoted_ || !parse_int(value_, v)) fail(expected, value_);
    return true;
}

bool free_reader::read(double& v) {
    const char* expected = "a number";
    item it = next_item(expected);
    if (it != item::value) return false;
    if (quoted_ || !parse_real(value_, v)) fail(expected, value_);
    return true;
}

bool free_reader::read(std::string& v) {
    item it = next_item("a text");
    if (it != item::value) return false;
    v.assign(value_);
    return true;
}

void free_reader::fail(std::string_view expected, std::string_view found) const {
    fail("expected " + std::string(expected) + ", found " + shown(found));
}

void free_reader::fail(std::string_view message) const {
    std::string where = source_;
    if (line_no_ > 0) where += ", line " + std::to_string(line_no_);
    if (!what_.empty()) where += ", " + what_;
    throw input_error(where + ": " + std::string(message));
}

}  // namespace quillet
