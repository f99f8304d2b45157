#include "numeric/tim.h"

#include <sys/resource.h>

namespace quillet {

float tim_tarray[2] = {0.0f, 0.0f};

void tim(double& t) {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    tim_tarray[0] = float(double(ru.ru_utime.tv_sec) + 1.0e-6 * double(ru.ru_utime.tv_usec));
    tim_tarray[1] = float(double(ru.ru_stime.tv_sec) + 1.0e-6 * double(ru.ru_stime.tv_usec));
    float total = tim_tarray[0] + tim_tarray[1];
    t = total;
}

}  // namespace quillet
