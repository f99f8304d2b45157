// The file that keeps the state of a run: a checkpoint to resume from, or the
// partial state of one share of a run's photon blocks, to be merged. One
// versioned binary container for both:
//
//   magic (8 bytes: 0x89 "QUILLET"), total length (u64),
//   layout version (u32), quillet version (text), kind (u32), part, parts (u32),
//   inputs: count (u32), then per input its role, its file name (texts) and
//           the SHA-256 of its bytes,
//   sections: count (u32), then per section a 4-letter tag, its length and
//           its packed length (u64) and its bytes with the runs of zero
//           bytes squeezed out,
//   SHA-256 of every byte before it.
//
// Integers are little-endian, texts a u32 length and the bytes. The file is
// written under a temporary name in its folder (locked while it is written),
// flushed to disk and renamed, and the folder flushed, so a run killed at any
// moment leaves the previous file whole. Reading refuses a file that is not one, is cut short, damaged, or of
// another layout or quillet version, with a message that names the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "format/sha256.h"

namespace quillet {

// Layout 2 added the CPU seconds of the work a file holds (section "CPU ");
// layout 3 keeps the results as one section of tallies (TALY, and the same
// encoding in the blocks of partial files) with the squares by order; layout
// 4 keeps the results of a run in blocks as its exact totals (SUMS: a
// threaded checkpoint's, and a partial file's one total in place of its
// blocks, with its report lines in LINE).
constexpr std::uint32_t state_file_layout = 4;

enum class state_kind : std::uint32_t { checkpoint = 1, partial = 2 };

// One input of the run: what it is ("deck", "posfile", ...), the name it was
// read under, and the digest of its bytes.
struct state_input {
    std::string role;
    std::string file;
    sha256_digest digest{};
};

struct state_section {
    std::string tag;  // 4 letters
    std::string bytes;
};

struct state_contents {
    std::string version;  // quillet's version that wrote it
    state_kind kind = state_kind::checkpoint;
    std::uint32_t part = 0, parts = 0;  // partial K of M; 0 0 for a checkpoint
    std::vector<state_input> inputs;
    std::vector<state_section> sections;

    // The section of this tag; throws input_error naming `file` when absent.
    const std::string& section(std::string_view tag, const std::string& file) const;
    bool has_section(std::string_view tag) const;
};

// The container's bytes, and the reverse (which throws input_error naming
// `file` on any fault). A section is unpacked only when it holds at most
// max_section bytes: its zero runs are stored as counts, so a short file can
// state a huge section (a reader that cannot afford that much, such as the
// fuzz target, passes less).
std::string encode_state(const state_contents& c);
constexpr std::uint64_t max_state_section = std::uint64_t(1) << 40;
state_contents decode_state(const std::string& bytes, const std::string& file, const std::string& version,
                            std::uint64_t max_section = max_state_section);

// Writes the file safely (temporary name, fsync of the file and its folder,
// rename); throws output_error naming the file and the cause, leaving any
// earlier file of that name as it was.
void write_state_file(const std::string& name, const state_contents& c);

// Removes the temporary files (NAME.partXXXXXX) that writers of `name` left
// behind when they were killed: those that no process holds locked (a writer
// locks its temporary file until it has renamed it). Returns their paths.
std::vector<std::string> remove_left_temporaries(const std::string& name);

// Reads and checks the whole file.
state_contents read_state_file(const std::string& name, const std::string& version);

// "" when every input of `now` is the one the state was made with; otherwise
// a message naming the first that differs (or is missing or extra).
std::string input_difference(const std::vector<state_input>& saved, const std::vector<state_input>& now);

// Appends and reads plain values of a section's bytes.
class byte_writer {
public:
    template <class T>
    void put(const T& v) {
        out.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    template <class T>
    void put_array(const T* p, std::size_t n) {
        out.append(reinterpret_cast<const char*>(p), n * sizeof(T));
    }
    void put_text(std::string_view s) {
        put(std::uint32_t(s.size()));
        out.append(s);
    }
    std::string out;
};

class byte_reader {
public:
    byte_reader(const std::string& bytes, std::string what) : in_(bytes), what_(std::move(what)) {}
    template <class T>
    T get() {
        T v;
        take(&v, sizeof v);
        return v;
    }
    template <class T>
    void get_array(T* p, std::size_t n) {
        take(p, n * sizeof(T));
    }
    std::string get_text();
    std::size_t left() const { return in_.size() - at_; }
    // Throws unless every byte was read.
    void finish() const;

private:
    void take(void* p, std::size_t n);
    const std::string& in_;
    std::string what_;
    std::size_t at_ = 0;
};

}  // namespace quillet
