// Fuzz entry for the Particle position file and the haze file; see fuzz_targets.h.
#pragma once

#include <cmath>

#include "field/field_records.h"
#include "field/part_read_2pos.h"
#include "field/particle_field.h"
#include "format/run_error.h"
#include "fuzz/fuzz_targets.h"

namespace quillet::fuzz {

// Particle position file (mode bit 0 clear) or haze file (set) behind a valid
// ring file; bits 1 and 2 switch on the size cut and the enlargement, bit 3
// huge sredu and zredu. The first byte is the mode, the rest is the file.
inline void particles(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return;
    const std::uint8_t mode = data[0];
    particle_field field;
    // Bit 3: factors that carry ordinary values beyond the double range.
    field.sredu = (mode & 8) ? 1.0e154 : 1.0;
    field.zredu = (mode & 8) ? 1.0e308 : 1.0;
    field_build_options options;  // no report, no diagnostic files
    options.sizemin = (mode & 2) ? 0.35 : 0.0;
    options.s20 = (mode & 4) ? 0.45 : 0.0;
    options.f20 = 2.0;
    const bool haze = mode & 1;
    if (haze) {
        static const char ring[] =
            "ring\n1\n1.0 2.0 2.0 0.5\n3\n0.5 0.0 0.0 0.0\n0.4 1.0 1.0 0.2\n0.3 -1.0 0.5 -0.1\n";
        write_file("fuzz-ring.pos", reinterpret_cast<const std::uint8_t*>(ring), sizeof ring - 1);
        write_file("fuzz-haze.pos", data + 1, size - 1);
    } else {
        write_file("fuzz-ring.pos", data + 1, size - 1);
    }
    try {
        part_read_2pos(field, text80("fuzz-ring.pos"), text80(haze ? "fuzz-haze.pos" : "junk"), options);
    } catch (const run_error&) {
        return;
    }
    // An accepted field is one the searches can work with.
    if (!(field.npart >= 0 && field.npart <= particle_number_limit)) fault("particle count outside the tables");
    if (!std::isfinite(field.tau) || field.tau < 0.0) fault("optical depth not finite");
    if (!std::isfinite(field.zmin) || !std::isfinite(field.zmax)) fault("layer bounds not finite");
    if (!(std::fabs(field.sy) <= field.yl)) fault("shift left outside the cell");
    for (std::int32_t i = 1; i <= field.npart; ++i)
        if (!(field.rpart[i] > 0.0) || !std::isfinite(field.rpart[i] * field.rpart[i]) || !std::isfinite(field.xpart[i]) ||
            !std::isfinite(field.ypart[i]) || !std::isfinite(field.zpart[i]))
            fault("accepted particle without a positive radius or a finite place");
}

}  // namespace quillet::fuzz
