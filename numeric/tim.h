// CPU time used by the process so far, user plus system, in seconds. The
// value is taken in single precision (as the run's timing always was) and
// widened to double.
#pragma once

namespace quillet {

void tim(double& t);

}  // namespace quillet
