#include "field_tool_run.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <numbers>
#include <sstream>
#include <stdexcept>

#include "support/run_binary.h"

namespace quillet_test {

scratch_dir::scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillet-field-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch folder");
    dir_ = pattern;
}

scratch_dir::~scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string file_bytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

tool_run run_field_tool(const std::vector<std::string>& args) {
    quillet::test_support::process_result p =
        quillet::test_support::run_binary(QUILLET_FIELD_BINARY, "", std::filesystem::temp_directory_path().string(), args);
    return tool_run{p.status, p.out, p.err};
}

double reported_value(const std::string& report, const std::string& label) {
    std::istringstream in(report);
    std::string line;
    const std::string head = "quillet-field: " + label + " ";
    while (std::getline(in, line)) {
        if (line.rfind(head, 0) != 0) continue;
        return std::strtod(line.c_str() + head.size(), nullptr);
    }
    return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace quillet_test

#include "format/free_reader.h"

namespace quillet_test {

pos_file read_pos_file(const std::filesystem::path& p) {
    quillet::free_reader in(p.string());
    pos_file f;
    in.begin_record("title");
    in.read(f.title);
    in.begin_record("option line");
    in.read(f.options);
    in.begin_record("orb xl yl sy");
    in.read(f.orb);
    in.read(f.xl);
    in.read(f.yl);
    in.read(f.sy);
    std::int32_t n = -1;
    in.begin_record("particle count");
    in.read(n);
    if (n < 0) in.fail("a particle count", std::to_string(n));
    f.part.resize(std::size_t(n));
    for (pos_particle& q : f.part) {
        in.begin_record("radius x y z");
        in.read(q.r);
        in.read(q.x);
        in.read(q.y);
        in.read(q.z);
    }
    if (!in.at_end()) in.fail("the end of the file after the particles");
    return f;
}

double cell_area(const pos_file& f) { return 4.0 * f.xl * f.yl; }

double optical_depth(const pos_file& f) {
    double a = 0.0;
    for (const pos_particle& p : f.part) a += std::numbers::pi * p.r * p.r;
    return a / cell_area(f);
}

double sphere_volume(const pos_file& f) {
    double v = 0.0;
    for (const pos_particle& p : f.part) v += 4.0 / 3.0 * std::numbers::pi * p.r * p.r * p.r;
    return v;
}

pair_census census(const pos_file& f) {
    pair_census c;
    const std::size_t n = f.part.size();
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) {
            const pos_particle &a = f.part[i], &b = f.part[j];
            double sum = a.r + b.r, best = 1e300;
            bool best_is_image = false;
            for (int m = -1; m <= 1; ++m)
                for (int k = -3; k <= 3; ++k) {
                    double dx = a.x - b.x + m * 2.0 * f.xl;
                    double dy = a.y - b.y + k * 2.0 * f.yl + m * f.sy;
                    double dz = a.z - b.z;
                    double d = std::sqrt(dx * dx + dy * dy + dz * dz);
                    if (d < best) {
                        best = d;
                        best_is_image = m != 0 || k != 0;
                    }
                }
            if (best < sum * (1.0 - 1e-9)) ++c.overlapping;
            if (best_is_image && best < 1.25 * sum) ++c.near_across_boundary;
        }
    return c;
}

}  // namespace quillet_test
