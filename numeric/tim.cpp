#include "numeric/tim.h"

#include <sys/resource.h>

namespace quillet {

void tim(double& t) {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const float user = float(double(ru.ru_utime.tv_sec) + 1.0e-6 * double(ru.ru_utime.tv_usec));
    const float system = float(double(ru.ru_stime.tv_sec) + 1.0e-6 * double(ru.ru_stime.tv_usec));
    t = user + system;
}

}  // namespace quillet
