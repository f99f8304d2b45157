// The end of the run: statistics, the I/F table and the result files (the
// test-image file gets its header at the set-up and its maps at the end).
#pragma once

#include <cstdio>
#include <string>

#include "field/particle_field.h"
#include "engine/engine_run.h"

namespace quillet {

// Test-image file: the coordinate images, then the header records.
void write_test_image_header(const particle_field& field, std::FILE* f, const engine_run& run);
// ... and, at the end of the run, the first-scattering counts and the maps.
void write_test_image_maps(std::FILE* f, const engine_run& run);

// Statistics and per-direction spread.
engine_stats run_statistics(const engine_run& run, double cpu1);

// The I/F table per direction, printed after the summary lines.
void print_reflectance_table(const engine_run& run, const engine_stats& st);

void write_escape_file(const particle_field& field, const engine_run& run, const engine_stats& st);
void write_histogram_file(const particle_field& field, const engine_run& run, const engine_stats& st);
void write_direction_file(const particle_field& field, const engine_run& run, const engine_stats& st);

// The errors by order, beside the direction file (its name followed by
// ".ORDER_ERR"). Records: 1.0; nphot, the number of orders (50), ntest;
// fiiobs[k]; latobs[k]; the sums by order (as record 14 of the direction
// file: order 1..50, within each k = 1..ntest); their spreads in the same
// order, sqrt(N (q/N - (s/N)^2)) with s the order's sum and q the sum of each
// photon's squared contribution to the order (the rule of testd_corr, which
// is the spread of testw), so that the standard error of an order's I/F is
// its spread times (mu0 / mu) / N.
std::string order_error_file_name(const engine_run& run);
void write_order_error_file(const engine_run& run, const engine_stats& st);

}  // namespace quillet
