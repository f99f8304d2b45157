#include "scatter/scatter_records.h"

namespace quillet {

thread_local constinit com4_t com4{1.0, 1.0};
thread_local constinit com16_t com16{};
thread_local constinit com9_haze_t com9_haze{};

}  // namespace quillet
