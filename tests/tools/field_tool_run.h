// Test helpers for quillet-field: run the built program with a list of
// options in a private scratch folder, capture its exit status and report,
// and read the Particle position file it wrote.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quillet_test {

struct tool_run {
    int status = -1;     // exit status
    std::string out;     // standard output
    std::string err;     // standard error (the report)
};

// A scratch folder removed when the object goes away.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::filesystem::path path(const std::string& name) const { return dir_ / name; }

private:
    std::filesystem::path dir_;
};

// Runs quillet-field with the given arguments (each one shell-quoted).
tool_run run_field_tool(const std::vector<std::string>& args);

// The number after `label` on the report line "quillet-field: <label> <value> ...";
// NaN when there is no such line.
double reported_value(const std::string& report, const std::string& label);

std::string file_bytes(const std::filesystem::path& p);

}  // namespace quillet_test

namespace quillet_test {

// A Particle position file as written: title, the describing line, the cell
// and the particles "radius x y z". Read with the program's free-format reader.
struct pos_particle {
    double r, x, y, z;
};
struct pos_file {
    std::string title;
    std::string options;
    double orb = 0, xl = 0, yl = 0, sy = 0;
    std::vector<pos_particle> part;
};
pos_file read_pos_file(const std::filesystem::path& p);

double cell_area(const pos_file& f);     // 4 xl yl
double optical_depth(const pos_file& f);  // sum of pi r^2 over the cell area
double sphere_volume(const pos_file& f);  // sum of 4/3 pi r^3

struct pair_census {
    int overlapping = 0;           // pairs closer than the sum of radii (beyond rounding)
    int near_across_boundary = 0;  // pairs within 25 % of touching through a periodic image
};
// Every pair, every periodic image (x period 2 xl with shear sy, y period 2 yl).
pair_census census(const pos_file& f);

}  // namespace quillet_test
