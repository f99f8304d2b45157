#include "engine/engine_records.h"

namespace quillet {

com5_t com5;
com6_t com6;
com7_t com7;
com8_t com8;
com8_haze_t com8_haze;
com14_t com14;
imagecom1_t imagecom1;
imagecom2_t imagecom2;
imagecom3_t imagecom3;
imagecom11_t imagecom11;
aug2004a_t aug2004a;
feb2006a_t feb2006a;
nov2004a_t nov2004a;
engine_sums_t engine_sums;

}  // namespace quillet
