#include "trace/trace_records.h"

namespace quillet {

thread_local constinit com12_t com12{no_particle};
search_scratch_t search_scratch_main;
thread_local constinit search_scratch_t* search_scratch_of_thread = &search_scratch_main;
search_options_t search_options = {false};

}  // namespace quillet
