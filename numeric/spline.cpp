#include "numeric/spline.h"

#include <string>
#include <vector>

#include "format/run_error.h"

namespace quillet {

namespace {

// The threshold is the single-precision 0.99e30 widened to double.
const double natural_threshold = double(0.99e30f);

}  // namespace

void spline(const double* x, const double* y, int n, double yp1, double ypn, double* y2) {
    if (n < 2) throw limit_error("spline: a table needs at least 2 points, not " + std::to_string(n));
    std::vector<double> u(std::size_t(n) + 1, 0.0);  // scratch of the tridiagonal sweep
    if (yp1 > natural_threshold) {
        y2[1] = 0.0;
        u[1] = 0.0;
    } else {
        y2[1] = -0.5;
        u[1] = (3.0 / (x[2] - x[1])) * ((y[2] - y[1]) / (x[2] - x[1]) - yp1);
    }
    for (int i = 2; i <= n - 1; ++i) {
        double sig = (x[i] - x[i - 1]) / (x[i + 1] - x[i - 1]);
        double p = sig * y2[i - 1] + 2.0;
        y2[i] = (sig - 1.0) / p;
        u[i] = (6.0 * ((y[i + 1] - y[i]) / (x[i + 1] - x[i]) - (y[i] - y[i - 1]) / (x[i] - x[i - 1])) /
                    (x[i + 1] - x[i - 1]) -
                sig * u[i - 1]) /
               p;
    }
    double qn, un;
    if (ypn > natural_threshold) {
        qn = 0.0;
        un = 0.0;
    } else {
        qn = 0.5;
        un = (3.0 / (x[n] - x[n - 1])) * (ypn - (y[n] - y[n - 1]) / (x[n] - x[n - 1]));
    }
    y2[n] = (un - qn * u[n - 1]) / (qn * y2[n - 1] + 1.0);
    for (int k = n - 1; k >= 1; --k) y2[k] = y2[k] * y2[k + 1] + u[k];
}

void splint(const double* xa, const double* ya, const double* y2a, int n, double x, double& y) {
    int klo = 1, khi = n;
    while (khi - klo > 1) {
        int k = (khi + klo) / 2;
        if (xa[k] > x)
            khi = k;
        else
            klo = k;
    }
    double h = xa[khi] - xa[klo];
    double a = (xa[khi] - x) / h;
    double b = (x - xa[klo]) / h;
    y = a * ya[klo] + b * ya[khi] + ((a * a * a - a) * y2a[klo] + (b * b * b - b) * y2a[khi]) * (h * h) / 6.0;
}

}  // namespace quillet
