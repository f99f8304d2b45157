// The operations on the per-photon state, each a visitor of the one list in
// photon_state.h.
#include "engine/photon_state.h"

#include <cstring>
#include <type_traits>

#include "format/run_error.h"

namespace quillet {

namespace {

// A visitor that does nothing for the roles it does not name.
struct ignore_roles {
    template <class T>
    void copied(const char*, T&) {}
    template <class T>
    void large(const char*, T*&, T&) {}
    void sums(const char*, direction_rows) {}
    template <class C>
    void counts(const char*, C&) {}
    template <class T>
    void scratch(const char*, T&) {}
};

std::string record_part(const char* name) {
    std::string s(name);
    const std::size_t dot = s.find('.');
    return dot == std::string::npos ? s : s.substr(0, dot);
}

constexpr char block_tag[8] = {'Q', 'L', 'B', 'S', 'U', 'M', 'S', '1'};

template <class T>
void put_raw(std::string& out, const T* p, std::size_t n) {
    static_assert(std::is_trivially_copyable_v<T>);
    out.append(reinterpret_cast<const char*>(p), n * sizeof(T));
}

struct names_visitor : ignore_roles {
    std::vector<std::string> list;
    void add(const char* n) {
        const std::string r = record_part(n);
        for (const std::string& s : list)
            if (s == r) return;
        list.push_back(r);
    }
    template <class T>
    void copied(const char* n, T&) { add(n); }
    template <class T>
    void large(const char* n, T*&, T&) { add(n); }
    void sums(const char* n, direction_rows) { add(n); }
    template <class C>
    void counts(const char* n, C&) { add(n); }
    template <class T>
    void scratch(const char* n, T&) { add(n); }
};

struct count1_visitor : ignore_roles {
    std::size_t rows = 0;
    void sums(const char*, direction_rows r) { rows += r.rows; }
};

struct count2_visitor : ignore_roles {
    std::size_t n = 0;
    template <class C>
    void counts(const char*, C&) { ++n; }
};

struct clear_visitor : ignore_roles {
    void sums(const char*, direction_rows r) {
        std::memset(static_cast<void*>(r.first), 0, r.rows * direction_row_bytes);
    }
    template <class C>
    void counts(const char*, C& c) { c = 0; }
};

struct take_visitor : ignore_roles {
    std::int32_t ntest;
    block_sums& out;
    take_visitor(std::int32_t n, block_sums& o) : ntest(n), out(o) {}
    void sums(const char*, direction_rows r) {
        for (std::size_t row = 0; row < r.rows; ++row) {
            double* v = r.first + row * (max_test + 1);
            for (std::int32_t k = 1; k <= ntest; ++k) {
                out.sums.push_back(v[k]);
                v[k] = 0.0;
            }
        }
    }
    template <class C>
    void counts(const char*, C& c) {
        out.counts.push_back(std::int64_t(c));
        c = 0;
    }
};

struct add_visitor : ignore_roles {
    std::int32_t ntest;
    const block_sums& in;
    std::size_t i = 0, c = 0;
    add_visitor(std::int32_t n, const block_sums& b) : ntest(n), in(b) {}
    void sums(const char*, direction_rows r) {
        for (std::size_t row = 0; row < r.rows; ++row) {
            double* v = r.first + row * (max_test + 1);
            for (std::int32_t k = 1; k <= ntest; ++k) v[k] += in.sums[i++];
        }
    }
    template <class C>
    void counts(const char*, C& n) { n = C(std::int64_t(n) + in.counts[c++]); }
};

struct copy_visitor : ignore_roles {
    std::vector<unsigned char>& b;
    explicit copy_visitor(std::vector<unsigned char>& bytes) : b(bytes) {}
    template <class T>
    void copied(const char*, T& r) {
        static_assert(std::is_trivially_copyable_v<T>);
        const auto* p = reinterpret_cast<const unsigned char*>(&r);
        b.insert(b.end(), p, p + sizeof(T));
    }
};

struct adopt__visitor : ignore_roles {
    const unsigned char* p;
    template <class T>
    void copied(const char*, T& r) {
        std::memcpy(static_cast<void*>(&r), p, sizeof(T));
        p += sizeof(T);
    }
    template <class T>
    void scratch(const char*, T& r) {
        std::memset(static_cast<void*>(&r), 0, sizeof(T));
    }
};

// A worker's own instance of a large record: value-initialised (zero); the
// searches' scratch made like the main thread's (the same room for the
// field's particles, settings and debug switch) with its own tables.
template <class T>
std::shared_ptr<T> worker_instance(const T&) {
    return std::make_shared<T>();
}
std::shared_ptr<search_scratch> worker_instance(const search_scratch& main) {
    return std::make_shared<search_scratch>(main.for_worker());
}

struct bind_visitor : ignore_roles {
    std::vector<std::shared_ptr<void>>& owned;
    explicit bind_visitor(std::vector<std::shared_ptr<void>>& o) : owned(o) {}
    template <class T>
    void large(const char*, T*& p, T& main) {
        auto r = worker_instance(main);
        p = r.get();
        owned.push_back(std::move(r));
    }
};

struct unbind_visitor : ignore_roles {
    template <class T>
    void large(const char*, T*& p, T& main) { p = &main; }
};

}  // namespace

std::vector<std::string> photon_state_records() {
    names_visitor v;
    visit_photon_state(v);
    return v.list;
}

std::size_t block_sum_values(std::int32_t ntest) {
    count1_visitor v;
    visit_photon_state(v);
    return v.rows * std::size_t(ntest < 0 ? 0 : ntest);
}

std::size_t block_count_values() {
    count2_visitor v;
    visit_photon_state(v);
    return v.n;
}

void clear_block_sums() {
    clear_visitor v;
    visit_photon_state(v);
}

void take_block_sums(std::int32_t ntest, block_sums& out) {
    out.ntest = ntest;
    out.sums.clear();
    out.counts.clear();
    take_visitor v(ntest, out);
    visit_photon_state(v);
}

void add_block_sums(std::int32_t ntest, const block_sums& in) {
    if (in.ntest != ntest || in.sums.size() != block_sum_values(ntest) || in.counts.size() != block_count_values())
        throw run_error("block sums of " + std::to_string(in.ntest) + " directions (" + std::to_string(in.sums.size()) +
                        " sums, " + std::to_string(in.counts.size()) + " counters) do not fit a run of " +
                        std::to_string(ntest) + " directions");
    add_visitor v(ntest, in);
    visit_photon_state(v);
}

void write_block_sums(const block_sums& in, std::string& out) {
    out.append(block_tag, sizeof block_tag);
    const std::int64_t head[3] = {in.ntest, std::int64_t(in.sums.size()), std::int64_t(in.counts.size())};
    put_raw(out, head, 3);
    put_raw(out, in.sums.data(), in.sums.size());
    put_raw(out, in.counts.data(), in.counts.size());
}

void read_block_sums(std::string_view bytes, std::size_t& at, block_sums& out, const std::string& what) {
    auto take = [&](void* dst, std::size_t n) {
        if (at > bytes.size() || n > bytes.size() - at) throw run_error(what + ": block sums cut short");
        std::memcpy(dst, bytes.data() + at, n);
        at += n;
    };
    char tag[sizeof block_tag];
    take(tag, sizeof tag);
    if (std::memcmp(tag, block_tag, sizeof tag) != 0) throw run_error(what + ": no block sums where they belong");
    std::int64_t head[3];
    take(head, sizeof head);
    if (head[0] < 0 || head[0] > max_test || head[1] != std::int64_t(block_sum_values(std::int32_t(head[0]))) ||
        head[2] != std::int64_t(block_count_values()))
        throw run_error(what + ": block sums of " + std::to_string(head[1]) + " values and " +
                        std::to_string(head[2]) + " counters do not fit " + std::to_string(head[0]) + " directions");
    out.ntest = std::int32_t(head[0]);
    out.sums.resize(std::size_t(head[1]));
    out.counts.resize(std::size_t(head[2]));
    take(out.sums.data(), out.sums.size() * sizeof(double));
    take(out.counts.data(), out.counts.size() * sizeof(std::int64_t));
}

photon_state_copy::photon_state_copy() {
    copy_visitor v(bytes_);
    visit_photon_state(v);
}

void photon_state_copy::adopt() const {
    adopt__visitor v;
    v.p = bytes_.data();
    visit_photon_state(v);
    clear_block_sums();
}

worker_records::worker_records() {
    bind_visitor v(owned_);
    visit_photon_state(v);
}

worker_records::~worker_records() {
    // Back to the main thread's instances: nothing of this thread points
    // into the storage that goes now.
    unbind_visitor v;
    visit_photon_state(v);
}

}  // namespace quillet
