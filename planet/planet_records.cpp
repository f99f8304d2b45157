#include "planet/planet_records.h"

namespace quillet {

satcom1_t satcom1;
satcom2_t satcom2;
satcom3_t satcom3;
satcom4_t satcom4;

}  // namespace quillet
