#include "engine/engine_records.h"

namespace quillet {

com5_t com5;
thread_local constinit com7_t com7{};
thread_local constinit com8_t com8{};
com8_haze_t com8_haze_main;
thread_local constinit com8_haze_t* com8_haze_of_thread = &com8_haze_main;
imagecom1_t imagecom1;
imagecom3_t imagecom3;
imagecom11_t imagecom11;
thread_local constinit engine_sums_t engine_sums{};
escape_hist_t escape_hist;

}  // namespace quillet
