#include "support/search_fixture.h"

#include "trace/path_slice.h"

namespace quillet {

search_scratch searches;

namespace {

void fit_searches(bool reset) {
    if (reset) {
        close_slice_trace(searches);
        searches = search_scratch(field, {100, 100, -1, false});
    } else {
        searches.pottab.assign(std::size_t(field.npart) + 1, 0);
    }
}

// Linked wherever a test names `searches`.
const bool fitted = (fixture::field_changed = fit_searches, true);

}  // namespace

}  // namespace quillet

namespace quillet::fixture {

search_counts counts_of(const search_scratch& s) { return {s.npot_sum, s.ntab_calls, s.nseg_calls, s.nbox_sum}; }

void set_counts(search_scratch& s, const search_counts& c) {
    s.npot_sum = c.npot_sum;
    s.ntab_calls = c.ntab_calls;
    s.nseg_calls = c.nseg_calls;
    s.nbox_sum = c.nbox_sum;
}

}  // namespace quillet::fixture
