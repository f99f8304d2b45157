// The scratch the tests search the fixture's field with (field_fixture.h):
// reset_field makes it anew, with the quiet settings (nbox = nboxvis = 100,
// icheck = -1, no full scan, idebug = 0, counters 0, no trace prefix), and
// set_field and set_grid give it room for the field's particles.
#pragma once

#include <cstdint>

#include "support/field_fixture.h"
#include "trace/search_scratch.h"

namespace quillet {

extern search_scratch searches;

}  // namespace quillet

namespace quillet::fixture {

// The search counters of a scratch, to compare and restore.
struct search_counts {
    std::int64_t npot_sum = 0, ntab_calls = 0, nseg_calls = 0, nbox_sum = 0;
};
search_counts counts_of(const search_scratch& s);
void set_counts(search_scratch& s, const search_counts& c);

}  // namespace quillet::fixture
