#include "engine/search_workers.h"

namespace quillet {

search_options_t search_options = {false};
search_scratch search_scratch_main;
thread_local constinit search_scratch* search_scratch_of_thread = &search_scratch_main;

}  // namespace quillet
