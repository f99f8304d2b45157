#include "support/field_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <stdexcept>

#include "field/field_records.h"
#include "field/part_read_2pos.h"
#include "field/tab_init.h"
#include "format/free_writer.h"
#include "numeric/ran1.h"

namespace quillet {

particle_field field;

}  // namespace quillet

namespace quillet::fixture {

void reset_field() {
    field = particle_field{};
    field.mx = 1;
    field.my = 1;
    if (field_changed) field_changed(true);
}

void (*field_changed)(bool reset) = nullptr;

void set_field(const std::vector<sphere>& ring, double xl, double yl, double sy, bool copies,
               const std::vector<sphere>& haze) {
    field.xl = xl;
    field.yl = yl;
    field.sy = sy;
    field.yl2 = 2.0 * yl;
    field.xl2 = 2.0 * xl;
    double zmin = 0.0, zmax = 0.0, area = 0.0;
    std::int32_t n = 0;
    auto put = [&](const sphere& s, std::int32_t kind) {
        ++n;
        field.rpart[n] = s.r;
        field.xpart[n] = s.x;
        field.ypart[n] = s.y;
        field.zpart[n] = s.z;
        field.itype[n] = kind;
        zmin = std::min(zmin, s.z - s.r);
        zmax = std::max(zmax, s.z + s.r);
        area += std::numbers::pi * (s.r * s.r);
    };
    if (ring.size() + haze.size() > std::size_t(particle_number_limit))
        throw std::length_error("set_field: too many particles");
    field.size_particles(std::int32_t(ring.size() + haze.size()));
    for (const sphere& s : ring) put(s, 1);
    for (const sphere& s : haze) put(s, 2);
    field.zmin = zmin;
    field.zmax = zmax;
    field.tau = area / (4.0 * xl * yl);
    field.npartori = std::int32_t(ring.size());
    if (copies)
        duplicate_edges(field, n, "test field");
    else {
        field.npart = n;
        for (std::int32_t i = 1; i <= n; ++i) field.iorig[i] = i;
    }
    if (field_changed) field_changed(false);
}

void set_grid(std::int32_t mx, std::int32_t my, const field_build_options& options) {
    field.mx = mx;
    field.my = my;
    if (mx > 1 && my > 1) tab_init(field, options);
    if (field_changed) field_changed(false);
}

namespace {
struct scratch_dir {
    std::filesystem::path path;
    scratch_dir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillet-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
        path = pattern;
    }
    ~scratch_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};
}  // namespace

std::string scratch_path(const std::string& name) {
    static scratch_dir dir;
    return (dir.path / name).string();
}

void write_position_file(const std::string& path, const std::vector<sphere>& parts, double xl, double yl, double sy,
                         const std::string& title, double orb) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write " + path);
    put_record(f, title);
    put_record(f, std::int32_t(1));
    put_record(f, orb, xl, yl, sy);
    put_record(f, std::int32_t(parts.size()));
    for (const sphere& s : parts) put_record(f, s.r, s.x, s.y, s.z);
    std::fclose(f);
}

std::vector<sphere> random_spheres(int n, double xl, double yl, double rmin, double rmax, double zhalf,
                                   std::int32_t seed) {
    ran1_state st;
    std::int32_t idum = seed < 0 ? seed : (seed == 0 ? -1 : -seed);  // a negative seed restarts the sequence
    std::vector<sphere> out;
    out.reserve(std::size_t(n));
    for (int i = 0; i < n; ++i) {
        sphere s;
        s.r = rmin + (rmax - rmin) * ran1(st, idum);
        s.x = xl * (2.0 * ran1(st, idum) - 1.0);
        s.y = yl * (2.0 * ran1(st, idum) - 1.0);
        s.z = zhalf * (2.0 * ran1(st, idum) - 1.0);
        out.push_back(s);
    }
    return out;
}

}  // namespace quillet::fixture
