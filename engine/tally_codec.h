// What the bytes of the tallies and of the exact totals share: a visitor of
// the table list (tallies::visit_tables) that does nothing for the roles it
// does not name, and plain values written and read in host byte order.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "format/run_error.h"

namespace quillet::tally_codec {

struct ignore_roles {
    template <class M>
    void sums(const char*, M) {}
    template <class M>
    void counts(const char*, M) {}
    template <class M>
    void cells(const char*, M) {}
    template <class M>
    void escapes(const char*, M) {}
    template <class M>
    void hits(const char*, M) {}
};

template <class T>
void put(std::string& out, const T& v) {
    static_assert(std::is_trivially_copyable_v<T>);
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

// Reads values from the bytes of one message or file section `what`, from
// `at` on; `kind` names what the bytes hold in messages ("tallies").
struct byte_source {
    std::string_view bytes;
    std::size_t& at;
    const std::string& what;
    const char* kind;

    void take(void* dst, std::size_t n, const char* table) {
        if (at > bytes.size() || n > bytes.size() - at)
            throw run_error(what + ": " + kind + " cut short in table " + table + " (" + std::to_string(n) +
                            " more bytes expected, " + std::to_string(at > bytes.size() ? 0 : bytes.size() - at) +
                            " left)");
        std::memcpy(dst, bytes.data() + at, n);
        at += n;
    }
    template <class T>
    T get(const char* table) {
        T v;
        take(&v, sizeof v, table);
        return v;
    }
    // The head of the bytes: the 8-byte tag and the number of directions,
    // which must be `ntest`.
    void expect_head(const char (&tag)[8], std::int64_t ntest) {
        char got[sizeof tag];
        take(got, sizeof got, "(tag)");
        if (std::memcmp(got, tag, sizeof got) != 0)
            throw run_error(what + ": no " + kind + " where they belong (expected the tag " +
                            std::string(tag, sizeof tag) + ")");
        const auto n = get<std::int64_t>("(ntest)");
        if (n != ntest)
            throw run_error(what + ": " + kind + " of " + std::to_string(n) + " directions, expected " +
                            std::to_string(ntest));
    }
};

}  // namespace quillet::tally_codec
