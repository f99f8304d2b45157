#include "trace/trace_records.h"

namespace quillet {

thread_local constinit com12_t com12{no_particle, 0};
thread_local constinit search_scratch_t search_scratch{};
search_options_t search_options = {false};

}  // namespace quillet
