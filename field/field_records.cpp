#include "field/field_records.h"

namespace quillet {

com1_t com1;
com_haze1_t com_haze1;
com2_t com2;
com3_t com3;
com13_t com13;
maincom1_t maincom1;
thread_local constinit debug1_t debug1{};
aug2004b_t aug2004b;
com9_t com9;
com10_t com10;
thread_local constinit com11_t com11{};
grid_layout_t grid_layout;
walk_grid_t walk_grid;
shadow_grid_t shadow_grid;

}  // namespace quillet
