#include "trace/search_scratch.h"

namespace quillet {

slice_trace& slice_trace::operator=(slice_trace&& o) noexcept {
    if (this != &o) {
        if (f) std::fclose(f);
        f = o.f;
        name = std::move(o.name);
        line = std::move(o.line);
        capture = o.capture;
        o.f = nullptr;
    }
    return *this;
}

slice_trace::~slice_trace() {
    if (f) std::fclose(f);
}

search_scratch::search_scratch(const particle_field& field, const search_settings& s)
    : settings(s), pottab(std::size_t(field.npart < 0 ? 0 : field.npart) + 1) {}

search_scratch search_scratch::for_worker() const {
    search_scratch w;
    w.settings = settings;
    w.idebug = idebug;
    w.trace_prefix = trace_prefix;
    w.pottab.assign(pottab.size(), 0);
    return w;
}

}  // namespace quillet
