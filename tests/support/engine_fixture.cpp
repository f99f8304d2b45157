#include "support/engine_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>


namespace quillet::testing_support {

field_spec random_field(int n, double xl, double yl, double r, double zhalf, unsigned seed) {
    field_spec f;
    f.xl = xl;
    f.yl = yl;
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> ux(-xl, xl), uy(-yl, yl), uz(-zhalf, zhalf);
    for (int i = 0; i < n; ++i) {
        double x = ux(gen), y = uy(gen), z = uz(gen);
        f.particles.push_back({r, x, y, z});
    }
    return f;
}

field_spec lattice_field(int side) {
    field_spec f;
    f.xl = f.yl = side / 2.0;
    f.particles.reserve(std::size_t(side) * side);
    for (int i = 0; i < side; ++i)
        for (int j = 0; j < side; ++j) {
            const double jx = 0.01 * ((i * 7 + j * 13) % 11 - 5);
            const double jy = 0.01 * ((i * 5 + j * 3) % 11 - 5);
            const double z = 0.1 * ((i * 3 + j * 7) % 9 - 4);
            f.particles.push_back({0.4, -f.xl + 0.2 + i + jx, -f.yl + 0.2 + j + jy, z});
        }
    return f;
}

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillet-engine-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void write_field_file(const std::string& path, const field_spec& f) {
    std::ofstream o(path);
    o.precision(17);
    o << "testfield\n";
    o << "0\n";
    o << "1.0 " << f.xl << ' ' << f.yl << ' ' << f.sy << '\n';
    o << f.particles.size() << '\n';
    for (const sphere& s : f.particles) o << s.r << ' ' << s.x << ' ' << s.y << ' ' << s.z << '\n';
}

void write_text_file(const std::string& path, const std::string& text) {
    std::ofstream o(path);
    o << text;
}

std::string read_text_file(const std::string& path) {
    std::ifstream i(path, std::ios::binary);
    std::stringstream s;
    s << i.rdbuf();
    return s.str();
}

engine_call::engine_call(const temp_dir& dir) {
    posfile = text80(dir.file("field.pos"));
    wfile = text80(dir.file("w.out"));
    testimage = text80(dir.file("img"));
    set_direction(1, 30.0, 60.0);
}

value_reader::value_reader(const std::string& path) {
    std::ifstream i(path);
    if (!i) throw std::runtime_error("cannot read " + path);
    std::string t;
    while (i >> t) tokens_.push_back(t);
}

std::string value_reader::text() {
    if (pos_ >= tokens_.size()) throw std::runtime_error("file ended early");
    return tokens_[pos_++];
}

std::int32_t value_reader::integer() {
    std::string t = text();
    std::size_t used = 0;
    long v = std::stol(t, &used);
    if (used != t.size()) throw std::runtime_error("not an integer: " + t);
    return std::int32_t(v);
}

double value_reader::real() {
    std::string t = text();
    if (t.find_first_of(".eEni") == std::string::npos) throw std::runtime_error("not a real: " + t);
    return std::stod(t);
}

float value_reader::single() {
    std::string t = text();
    if (t.find_first_of(".eEni") == std::string::npos) throw std::runtime_error("not a real: " + t);
    return std::stof(t);
}

std::vector<double> value_reader::reals(std::size_t n) {
    std::vector<double> v(n);
    for (double& x : v) x = real();
    return v;
}

std::vector<float> value_reader::singles(std::size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = single();
    return v;
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream i(path);
    std::vector<std::string> lines;
    std::string l;
    while (std::getline(i, l)) lines.push_back(l);
    return lines;
}

bool line_is_free(const field_spec& f, double zmin, double zmax, double x0, double y0, double ux, double uy,
                  double uz) {
    double ta = zmin / uz, tb = zmax / uz;
    if (ta > tb) std::swap(ta, tb);
    const double xa = x0 + ta * ux, xb = x0 + tb * ux;
    const double xlo = std::min(xa, xb), xhi = std::max(xa, xb);
    const double ya = y0 + ta * uy, yb = y0 + tb * uy;
    const double ylo = std::min(ya, yb), yhi = std::max(ya, yb);
    const double px = 2.0 * f.xl, py = 2.0 * f.yl;
    for (const sphere& s : f.particles) {
        int m0 = int(std::floor((xlo - s.r - s.x) / px)), m1 = int(std::ceil((xhi + s.r - s.x) / px));
        for (int m = m0; m <= m1; ++m) {
            double cx = s.x + m * px;
            double ys = s.y + m * f.sy;
            int k0 = int(std::floor((ylo - s.r - ys) / py)), k1 = int(std::ceil((yhi + s.r - ys) / py));
            for (int k = k0; k <= k1; ++k) {
                double cy = ys + k * py;
                double dx = x0 - cx, dy = y0 - cy, dz = 0.0 - s.z;
                double b = dx * ux + dy * uy + dz * uz;
                double disc = b * b - (dx * dx + dy * dy + dz * dz) + s.r * s.r;
                if (disc > 0.0) return false;
            }
        }
    }
    return true;
}

}  // namespace quillet::testing_support
