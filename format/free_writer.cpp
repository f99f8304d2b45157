#include "format/free_writer.h"

#include <charconv>
#include <cstring>

namespace quillet {

thread_local constinit std::string* say_capture = nullptr;

namespace {

// A real printed without '.' or exponent would read back as an integer.
template <class F>
void put_real(std::string& out, F v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    std::string_view s(buf, std::size_t(res.ptr - buf));
    out.append(s);
    if (s.find_first_of(".eni") == std::string_view::npos) out.append(".0");
}

}  // namespace

void put_item(std::string& out, std::int32_t v) {
    char buf[16];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

void put_item(std::string& out, std::int64_t v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

void put_item(std::string& out, double v) { put_real(out, v); }
void put_item(std::string& out, float v) { put_real(out, v); }
void put_item(std::string& out, std::string_view s) { out.append(s); }

void record_writer::flush_part() {
    std::fwrite(buf_.data(), 1, buf_.size(), f_);
    buf_.clear();
}

void record_writer::end() {
    buf_.push_back('\n');
    flush_part();
    empty_ = true;
}

}  // namespace quillet
