#include "trace/trace_records.h"

namespace quillet {

com12_t com12 = {no_particle, 0};
search_scratch_t search_scratch;

}  // namespace quillet
