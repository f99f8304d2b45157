#include "format/state_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/run_error.h"

namespace quillet {

static_assert(std::endian::native == std::endian::little, "state files are written little-endian");

namespace {

constexpr char magic[8] = {char(0x89), 'Q', 'U', 'I', 'L', 'L', 'E', 'T'};
constexpr std::size_t trailer = 32;  // the checksum
constexpr std::size_t head = sizeof magic + sizeof(std::uint64_t);

// Section bytes are kept with their runs of zero bytes squeezed out (empty
// sums, pixels and histogram bins are most of a state): pieces of a u32
// count of literal bytes, those bytes, and a u32 count of zero bytes.
std::string pack_zeros(const std::string& in) {
    constexpr std::size_t min_run = 16;
    const std::size_t size = in.size();
    const char* p = in.data();
    // The end of the run of zero bytes from i, eight bytes at a time.
    auto zeros_end = [&](std::size_t i) {
        while (i + 8 <= size) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w != 0) break;
            i += 8;
        }
        while (i < size && p[i] == 0) ++i;
        return i;
    };
    std::string out;
    auto put32 = [&](std::size_t v) {
        const std::uint32_t u = std::uint32_t(v);
        out.append(reinterpret_cast<const char*>(&u), sizeof u);
    };
    std::size_t at = 0;
    while (at < size) {
        // The literal stretch ends where a long enough run of zeros starts
        // (or the bytes end); both counts stay below 2^31.
        const std::size_t start = at;
        std::size_t zeros = 0;
        while (at < size && at - start < 0x7FFFFFFFu) {
            if (p[at] != 0) {
                ++at;
                continue;
            }
            std::size_t z = zeros_end(at);
            if (z - at > 0x7FFFFFFFu) z = at + 0x7FFFFFFFu;
            if (z - at >= min_run || z == size) {
                zeros = z - at;
                break;
            }
            at = z;
        }
        put32(at - start);
        out.append(in, start, at - start);
        put32(zeros);
        at += zeros;
    }
    return out;
}

// The pieces of `in` walked without unpacking them: refused when one runs
// past the end or when they do not make `length` bytes, before any room is
// taken for them (a damaged length or zero count must not claim memory).
void check_pieces(const std::string& in, std::uint64_t length, const std::string& what) {
    std::uint64_t total = 0;
    std::size_t at = 0;
    std::uint32_t count[2] = {0, 0};  // literal bytes, zero bytes
    while (at < in.size()) {
        for (int i = 0; i < 2; ++i) {
            if (in.size() - at < sizeof count[i]) throw input_error(what + ": garbled (a piece runs past its end)");
            std::memcpy(&count[i], in.data() + at, sizeof count[i]);
            at += sizeof count[i];
            if (i == 0) {
                if (count[0] > in.size() - at) throw input_error(what + ": garbled (a piece runs past its end)");
                at += count[0];
            }
            total += count[i];
            if (total > length) throw input_error(what + ": garbled (longer than stated)");
        }
    }
    if (total != length) throw input_error(what + ": garbled (shorter than stated)");
}

std::string unpack_zeros(const std::string& in, std::uint64_t length, std::uint64_t max_length,
                         const std::string& what) {
    check_pieces(in, length, what);
    if (length > max_length)
        throw input_error(what + " holds " + std::to_string(length) + " bytes, more than the " +
                          std::to_string(max_length) + " this reader takes");
    std::string out;
    out.reserve(std::size_t(length));
    byte_reader r(in, what);
    while (r.left() > 0) {
        const auto lit = r.get<std::uint32_t>();
        if (lit > r.left()) throw input_error(what + ": garbled (a piece runs past its end)");
        const std::size_t at = out.size();
        out.resize(at + lit);
        r.get_array(out.data() + at, lit);
        const auto zeros = r.get<std::uint32_t>();
        if (out.size() + zeros > length) throw input_error(what + ": garbled (longer than stated)");
        out.append(zeros, '\0');
    }
    if (out.size() != length) throw input_error(what + ": garbled (shorter than stated)");
    return out;
}

std::string kind_text(state_kind k) { return k == state_kind::partial ? "partial file" : "checkpoint"; }

std::string folder_of(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return name.substr(0, slash);
}

}  // namespace

const std::string& state_contents::section(std::string_view tag, const std::string& file) const {
    for (const state_section& s : sections)
        if (s.tag == tag) return s.bytes;
    throw input_error(file + ": the " + kind_text(kind) + " has no section " + std::string(tag));
}

bool state_contents::has_section(std::string_view tag) const {
    for (const state_section& s : sections)
        if (s.tag == tag) return true;
    return false;
}

std::string byte_reader::get_text() {
    const auto n = get<std::uint32_t>();
    if (n > left()) take(nullptr, std::size_t(n));  // reports the cut
    std::string s = in_.substr(at_, n);
    at_ += n;
    return s;
}

void byte_reader::take(void* p, std::size_t n) {
    if (n > in_.size() - at_)
        throw input_error(what_ + ": cut short (" + std::to_string(n) + " more bytes expected at byte " +
                          std::to_string(at_) + " of " + std::to_string(in_.size()) + ")");
    if (n) std::memcpy(p, in_.data() + at_, n);
    at_ += n;
}

void byte_reader::finish() const {
    if (at_ != in_.size())
        throw input_error(what_ + ": " + std::to_string(in_.size() - at_) + " bytes more than its contents");
}

std::string encode_state(const state_contents& c) {
    byte_writer w;
    w.out.append(magic, sizeof magic);
    w.put(std::uint64_t(0));  // total length, filled in below
    w.put(state_file_layout);
    w.put_text(c.version);
    w.put(std::uint32_t(c.kind));
    w.put(c.part);
    w.put(c.parts);
    w.put(std::uint32_t(c.inputs.size()));
    for (const state_input& in : c.inputs) {
        w.put_text(in.role);
        w.put_text(in.file);
        w.put_array(in.digest.data(), in.digest.size());
    }
    w.put(std::uint32_t(c.sections.size()));
    for (const state_section& s : c.sections) {
        std::string tag = s.tag;
        tag.resize(4, ' ');
        w.out.append(tag);
        const std::string packed = pack_zeros(s.bytes);
        w.put(std::uint64_t(s.bytes.size()));
        w.put(std::uint64_t(packed.size()));
        w.out.append(packed);
    }
    const std::uint64_t total = w.out.size() + trailer;
    std::memcpy(w.out.data() + sizeof magic, &total, sizeof total);
    const sha256_digest sum = sha256_of(w.out);
    w.put_array(sum.data(), sum.size());
    return std::move(w.out);
}

state_contents decode_state(const std::string& bytes, const std::string& file, const std::string& version,
                            std::uint64_t max_section) {
    if (bytes.size() < sizeof magic || std::memcmp(bytes.data(), magic, sizeof magic) != 0)
        throw input_error(file + ": not a quillet checkpoint or partial file (its first bytes are not 0x89 QUILLET)");
    if (bytes.size() < head + trailer)
        throw input_error(file + ": cut short (" + std::to_string(bytes.size()) + " bytes, not even a header)");
    std::uint64_t total = 0;
    std::memcpy(&total, bytes.data() + sizeof magic, sizeof total);
    if (total != bytes.size())
        throw input_error(file + ": " + (bytes.size() < total ? "cut short" : "longer than written") + ": it holds " +
                          std::to_string(bytes.size()) + " bytes, its header says " + std::to_string(total));
    const sha256_digest sum = sha256_of(std::string_view(bytes).substr(0, bytes.size() - trailer));
    if (std::memcmp(sum.data(), bytes.data() + bytes.size() - trailer, trailer) != 0)
        throw input_error(file + ": damaged: its checksum does not match its contents");

    const std::string body = bytes.substr(head, bytes.size() - head - trailer);
    byte_reader r(body, file);
    state_contents c;
    const auto layout = r.get<std::uint32_t>();
    c.version = r.get_text();
    if (layout != state_file_layout || c.version != version)
        throw input_error(file + ": written by quillet " + c.version + " (layout " + std::to_string(layout) +
                          "); this is quillet " + version + " (layout " + std::to_string(state_file_layout) +
                          "), which cannot continue it");
    const auto kind = r.get<std::uint32_t>();
    if (kind != std::uint32_t(state_kind::checkpoint) && kind != std::uint32_t(state_kind::partial))
        throw input_error(file + ": unknown kind " + std::to_string(kind));
    c.kind = state_kind(kind);
    c.part = r.get<std::uint32_t>();
    c.parts = r.get<std::uint32_t>();
    const auto ninputs = r.get<std::uint32_t>();
    for (std::uint32_t i = 0; i < ninputs; ++i) {
        state_input in;
        in.role = r.get_text();
        in.file = r.get_text();
        r.get_array(in.digest.data(), in.digest.size());
        c.inputs.push_back(std::move(in));
    }
    const auto nsections = r.get<std::uint32_t>();
    for (std::uint32_t i = 0; i < nsections; ++i) {
        state_section s;
        s.tag.resize(4);
        r.get_array(s.tag.data(), 4);
        const auto length = r.get<std::uint64_t>();
        const auto n = r.get<std::uint64_t>();
        if (n > r.left() || length > max_state_section)
            throw input_error(file + ": section " + s.tag + " is longer than the file");
        std::string packed(std::size_t(n), '\0');
        r.get_array(packed.data(), packed.size());
        std::string shown = s.tag;  // a damaged tag may hold any byte, and the message is text
        for (char& ch : shown)
            if (ch < 0x20 || ch > 0x7e) ch = '?';
        s.bytes = unpack_zeros(packed, length, max_section, file + ": section " + shown);
        c.sections.push_back(std::move(s));
    }
    r.finish();
    return c;
}

void write_state_file(const std::string& name, const state_contents& c) {
    const std::string bytes = encode_state(c);
    const std::string what = "cannot write the " + kind_text(c.kind) + " " + name + ": ";
    std::string temp;
    int fd = -1;
    // The temporary file is locked from its creation until it has been
    // renamed: remove_left_temporaries takes only the unlocked ones, those of
    // a writer that was killed. One that it took between our creation and
    // our lock is gone (no link left): then make another.
    for (;;) {
        temp = name + ".partXXXXXX";
        fd = ::mkstemp(temp.data());
        if (fd < 0) throw output_error(what + std::strerror(errno));
        if (::flock(fd, LOCK_EX) != 0) {
            const int err = errno;
            ::unlink(temp.c_str());
            ::close(fd);
            throw output_error(what + "cannot lock " + temp + ": " + std::strerror(err));
        }
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_nlink == 0) {
            ::close(fd);
            continue;
        }
        break;
    }
    // mkstemp creates the file for its owner only; a state file is an ordinary file.
    ::fchmod(fd, 0644 & ~[] { mode_t m = ::umask(0); ::umask(m); return m; }());
    auto fail = [&](int err) {
        ::unlink(temp.c_str());
        ::close(fd);
        throw output_error(what + std::strerror(err) + " (any earlier file of that name is kept)");
    };
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        if (n == 0) fail(EIO);
        at += std::size_t(n);
    }
    if (::fsync(fd) != 0) fail(errno);
    // Renamed while still open, so locked: the bytes are on disk already,
    // and the close after it has nothing left to report.
    if (std::rename(temp.c_str(), name.c_str()) != 0) fail(errno);
    ::close(fd);
    // The rename itself reaches the disk with the folder.
    const int dir = ::open(folder_of(name).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

std::vector<std::string> remove_left_temporaries(const std::string& name) {
    std::vector<std::string> removed;
    const std::string folder = folder_of(name);
    const std::size_t slash = name.rfind('/');
    const std::string prefix = (slash == std::string::npos ? name : name.substr(slash + 1)) + ".part";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return removed;
    // Names as mkstemp makes them: the prefix and six letters or digits.
    auto is_temporary = [&](const char* entry) {
        const std::size_t n = std::strlen(entry);
        if (n != prefix.size() + 6 || std::strncmp(entry, prefix.c_str(), prefix.size()) != 0) return false;
        for (std::size_t i = prefix.size(); i < n; ++i) {
            const char ch = entry[i];
            if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9'))) return false;
        }
        return true;
    };
    std::vector<std::string> found;
    while (const dirent* e = ::readdir(dir))
        if (is_temporary(e->d_name)) found.push_back(e->d_name);
    ::closedir(dir);
    for (const std::string& entry : found) {
        const std::string path = (slash == std::string::npos ? entry : name.substr(0, slash + 1) + entry);
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        // Locked: its writer is at work. Unlocked: its writer is gone, unless
        // it is about to lock a file it just made (it then finds the file
        // unlinked and makes another). The path must still be this file.
        struct stat by_fd {}, by_path {};
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &by_fd) == 0 && S_ISREG(by_fd.st_mode) &&
            ::lstat(path.c_str(), &by_path) == 0 && by_fd.st_dev == by_path.st_dev &&
            by_fd.st_ino == by_path.st_ino && ::unlink(path.c_str()) == 0)
            removed.push_back(path);
        ::close(fd);
    }
    return removed;
}

state_contents read_state_file(const std::string& name, const std::string& version) {
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) throw input_error(name + ": cannot be opened: " + std::strerror(errno));
    std::string bytes;
    char buf[1 << 16];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    const bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad) throw input_error(name + ": cannot be read");
    return decode_state(bytes, name, version);
}

std::string input_difference(const std::vector<state_input>& saved, const std::vector<state_input>& now) {
    for (const state_input& n : now) {
        const state_input* s = nullptr;
        for (const state_input& c : saved)
            if (c.role == n.role) s = &c;
        if (!s) return "the " + n.role + " " + n.file + " was not an input when the state was saved";
        if (s->digest != n.digest)
            return "the " + n.role + " " + n.file + " is not the one the state was saved with" +
                   (s->file != n.file ? " (" + s->file + ")" : std::string()) + ": its SHA-256 was " +
                   hex_text(s->digest).substr(0, 16) + "..., now " + hex_text(n.digest).substr(0, 16) + "...";
    }
    for (const state_input& c : saved) {
        bool found = false;
        for (const state_input& n : now) found = found || n.role == c.role;
        if (!found) return "the " + c.role + " " + c.file + " was an input when the state was saved, but is not now";
    }
    return "";
}

}  // namespace quillet
