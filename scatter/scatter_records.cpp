#include "scatter/scatter_records.h"

namespace quillet {

thread_local constinit com4_t com4{1.0, 1.0};
com15_t com15;
com15_haze_t com15_haze;
thread_local constinit com16_t com16{};
thread_local constinit com9_haze_t com9_haze{};
com_haze2_t com_haze2;
com_haze3_t com_haze3;
com_power1_t com_power1;
com_power2_t com_power2;
com_mcphase1_t com_mcphase1;
com_mcphase1_t com_mcphase1_haze;
com_mcphase2_t com_mcphase2;
com_mcphase2_t com_mcphase2_haze;

}  // namespace quillet
