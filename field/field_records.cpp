#include "field/field_records.h"

namespace quillet {

com3_t com3;
maincom1_t maincom1;
thread_local constinit debug1_t debug1{};

}  // namespace quillet
