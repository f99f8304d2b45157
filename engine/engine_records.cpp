#include "engine/engine_records.h"

namespace quillet {

thread_local constinit com6_t com6{};
thread_local constinit com14_t com14{};
thread_local constinit imagecom2_t imagecom2{};
aug2004a_t aug2004a;
thread_local constinit feb2006a_t feb2006a{};
nov2004a_t nov2004a;

}  // namespace quillet
