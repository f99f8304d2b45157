#include "field/field_records.h"

namespace quillet {

com3_t com3;
maincom1_t maincom1;
thread_local constinit debug1_t debug1{};
aug2004b_t aug2004b;
thread_local constinit com11_t com11{};

}  // namespace quillet
