// Free-format input, record by record: the parameter deck, the particle files,
// the engine parameter file and the phase-function tables are all read with it.
//
// Reading rules:
//   - every record begins at the start of a new line and may continue over
//     further lines when a line holds fewer values than the record asks for;
//     whatever follows the record's last value on its last line is ignored;
//   - values are separated by blanks (or line ends) or by a comma with optional
//     blanks around it; two adjacent commas (or a comma opening the record)
//     leave a value unchanged;
//   - r*value stands for r equal values, r* for r unchanged values;
//   - a slash ends the record early and leaves its remaining values unchanged;
//   - text is bare (ending at a blank, comma or slash) or in quotes ('...' or
//     "...", a doubled quote standing for one), then it may hold blanks;
//   - an int must be written as an integer; a real may have a decimal point
//     and an exponent (e, E, d or D).
// Any failure throws input_error naming the source, the line, the record and
// what was expected.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "format/text_field.h"

namespace quillet {

class free_reader {
public:
    // Reads from an open stream that it does not own; `source` names it in
    // messages ("standard input").
    free_reader(std::FILE* f, std::string source);
    // Opens the named file; throws input_error when it cannot be opened.
    explicit free_reader(const std::string& path);
    ~free_reader();
    free_reader(const free_reader&) = delete;
    free_reader& operator=(const free_reader&) = delete;

    // Starts the next record at the beginning of the next line; `what`
    // describes it in messages, e.g. "deck record 8 (nxphot, nyphot, mx, my)".
    void begin_record(std::string_view what);

    // Each read takes the next value of the current record. It returns false
    // and leaves `v` unchanged for a null value or after a slash.
    bool read(std::int32_t& v);
    bool read(double& v);
    bool read(std::string& v);
    template <int N>
    bool read(text_field<N>& t) {
        std::string s;
        if (!read(s)) return false;
        t.assign(s);
        return true;
    }

    // True when the last value read was bare text cut short by a slash right
    // after it ("../ring.pos" reads as ".."): a name with a slash needs quotes.
    bool text_ended_at_slash() const { return !quoted_ && slash_after_; }

    // True when only blank lines (or nothing) remain after the current record.
    bool at_end();

    // Bytes still to read, counting the current line; -1 when the source is
    // not a regular file (a pipe) and its length is unknown.
    std::int64_t bytes_left() const;

    const std::string& source() const { return source_; }
    int line() const { return line_no_; }
    const std::string& record() const { return what_; }

    // Throws input_error with the source, line and record: "expected ..., found ...".
    [[noreturn]] void fail(std::string_view expected, std::string_view found) const;
    // Throws input_error with the source, line and record and a free message.
    [[noreturn]] void fail(std::string_view message) const;

private:
    enum class item { value, null, ended };
    item next_item(std::string_view expected);
    bool load_line();
    void parse_value(std::string_view expected);

    std::FILE* f_;
    bool owned_;
    std::string source_;
    std::string what_;
    char* buf_ = nullptr;  // the line as read (getline's buffer)
    std::size_t buf_size_ = 0;
    std::string_view line_;  // the line without its end
    std::size_t pos_ = 0;
    int line_no_ = 0;
    bool line_in_record_ = false;   // line_ belongs to the current record
    bool peeked_ = false;           // line_ was read by at_end() and not yet used
    bool record_ended_ = false;     // a slash was met
    bool after_value_ = false;      // the next comma separates, not nulls
    int repeat_left_ = 0;
    bool repeat_null_ = false;
    std::string token_;       // a quoted value, its doubled quotes made one
    std::string_view value_;  // the last value: in line_, or token_ when quoted
    bool quoted_ = false;
    bool slash_after_ = false;      // the last bare value ended at a slash
};

}  // namespace quillet
