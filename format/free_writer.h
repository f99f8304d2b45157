// Free-format output: the report lines on standard output and the records of
// the result and diagnostic files. One layout for the whole program:
//   - items separated by one blank, no leading blank, one record per line;
//   - integers in decimal;
//   - doubles in the shortest form that reads back to the same double,
//     single-precision values in the shortest form that reads back to the same
//     float; a value without '.' or exponent gets ".0" so it reads as a real;
//   - text items (labels, fixed-width fields) exactly as they stand, trailing
//     blanks included.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "format/text_field.h"

namespace quillet {

void put_item(std::string& out, std::int32_t v);
void put_item(std::string& out, std::int64_t v);
void put_item(std::string& out, double v);
void put_item(std::string& out, float v);
void put_item(std::string& out, std::string_view s);
inline void put_item(std::string& out, const char* s) { put_item(out, std::string_view(s)); }
template <int N>
void put_item(std::string& out, const text_field<N>& t) { put_item(out, t.view()); }

// Appends the items of one record, blank-separated, without the line end.
template <class... A>
void put_items(std::string& out, const A&... a) {
    bool first = out.empty();
    auto one = [&](const auto& x) {
        if (!first) out.push_back(' ');
        first = false;
        put_item(out, x);
    };
    (one(a), ...);
}

template <class... A>
std::string free_format(const A&... a) {
    std::string s;
    put_items(s, a...);
    return s;
}

// Writes one record (one line) to a stream.
template <class... A>
void put_record(std::FILE* f, const A&... a) {
    std::string s;
    put_items(s, a...);
    s.push_back('\n');
    std::fwrite(s.data(), 1, s.size(), f);
}

// Where a worker of a threaded run keeps its report lines until they can be
// printed in photon order; null (every other time): straight to standard output.
extern thread_local constinit std::string* say_capture;

// One report line on standard output.
template <class... A>
void say(const A&... a) {
    if (say_capture) {
        std::string line;
        put_items(line, a...);
        line.push_back('\n');
        say_capture->append(line);
        return;
    }
    put_record(stdout, a...);
}

// Report lines already laid out (a block's lines, kept by its worker): where
// say() would write them.
inline void say_text(std::string_view text) {
    if (say_capture) {
        say_capture->append(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// Builds one long record (a table of values) item by item; the buffer is
// reused between records so that writing a large file allocates once.
class record_writer {
public:
    explicit record_writer(std::FILE* f) : f_(f) {}
    template <class T>
    record_writer& operator<<(const T& v) {
        if (!empty_) buf_.push_back(' ');
        empty_ = false;
        put_item(buf_, v);
        if (buf_.size() > (1u << 16)) flush_part();
        return *this;
    }
    // Ends the record: writes the line end.
    void end();

private:
    void flush_part();
    std::FILE* f_;
    std::string buf_;
    bool empty_ = true;
};

}  // namespace quillet
