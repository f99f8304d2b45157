// Loads the particle field: the Particle position file (and an optional haze
// file) into the particle tables, with size cut, enlargement, optical depth,
// layer bounds and the edge copies that make the central cell self-contained.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "field/particle_field.h"
#include "format/text_field.h"

namespace quillet {

// file: the Particle position file; file_haze: the haze file or "junk". Each
// is read in its form: HDF5 when it begins with HDF5's signature
// (particle_file_hdf5.h), text otherwise.
// Builds the particle tables of `field`, whose sredu and zredu are set, as
// `options` ask (with idebug >= 1 it writes testimage.CHECK_POS).
void part_read_2pos(particle_field& field, const text80& file, const text80& file_haze,
                    const field_build_options& options = {});

// Appends, after particles 1..n of the tables, a copy of every periodic image
// (of the eight neighbouring cells) whose sphere reaches into the central cell,
// and sets npart = n + copies. The cell geometry must be in field. Throws
// limit_error naming `source` when the copies would not fit in the tables,
// and calls `before_copies` (when set) with n and the number of copies before
// the tables grow. part_read_2pos ends with it; tests and benchmarks that
// fill the tables directly call it too.
void duplicate_edges(
    particle_field& field, std::int32_t n, std::string_view source,
    const std::function<void(const particle_field&, std::int64_t, std::int64_t)>& before_copies = {});

// The shear sy of a position file folded into [-yl, yl] (|sy| <= 21 yl).
double fold_shift(double sy, double yl);

// The entry among the images of particle ipart (its original and the edge
// copies, field.iorig) whose centre lies nearest to the point (px, py, pz):
// after a photon on or in particle ipart is folded into the cell, the image
// its sphere now belongs to.
std::int32_t image_holding(const particle_field& field, std::int32_t ipart, double px, double py, double pz);

}  // namespace quillet
