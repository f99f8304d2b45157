#include "trace/trace_records.h"

namespace quillet {

thread_local constinit com12_t com12{no_particle};

}  // namespace quillet
