// The operations on the per-photon state, each a visitor of the one list in
// photon_state.h.
#include "engine/photon_state.h"

#include <cstring>
#include <type_traits>


namespace quillet {

namespace {

// A visitor that does nothing for the roles it does not name.
struct ignore_roles {
    template <class T>
    void copied(const char*, T&) {}
    template <class T>
    void large(const char*, T*&, T&) {}
    template <class T>
    void scratch(const char*, T&) {}
};

std::string record_part(const char* name) {
    std::string s(name);
    const std::size_t dot = s.find('.');
    return dot == std::string::npos ? s : s.substr(0, dot);
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
    template <class T>
    void scratch(const char* n, T&) { add(n); }
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

photon_state_copy::photon_state_copy() {
    copy_visitor v(bytes_);
    visit_photon_state(v);
}

void photon_state_copy::adopt() const {
    adopt__visitor v;
    v.p = bytes_.data();
    visit_photon_state(v);
    search_scratch_of_thread->npot_sum = search_scratch_of_thread->ntab_calls = 0;
    search_scratch_of_thread->nseg_calls = search_scratch_of_thread->nbox_sum = 0;
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
