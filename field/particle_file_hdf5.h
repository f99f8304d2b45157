// The Particle position file (and the haze file) in its HDF5 form, for fields
// that come from N-body snapshots as arrays: the text form's header as
// attributes of the root group, the particles as four float64 datasets r, x,
// y, z (docs/particle-file-hdf5.md). part_read_2pos reads it through the same
// steps as the text form: the header value by value, the particles at once.
// The HDF5 library is seen only by particle_file_hdf5.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "field/particle_field.h"

namespace quillet {

// The layout version that this reader reads (the file's attribute "version").
constexpr std::int32_t particle_file_hdf5_version = 1;

// True when the named file begins with HDF5's signature "\211HDF\r\n\032\n"
// (a file that does not open is not: the text reader then names it).
bool is_hdf5_file(const std::string& path);

// An open particle file in HDF5 form. Opening checks the whole layout (the
// file format with checksums, the version, every attribute and its type, the
// four datasets: type, rank, equal lengths, storage) before anything is read
// into the field; every refusal is an input_error naming the file, the
// attribute or dataset and what was expected. The header is then read as the text form's records 1 to 4 are:
//   record 1  title    read(std::string&): the attribute "title"
//   record 2           read(std::string&): the attribute "note" or "" (skipped)
//   record 3  orb, xl, yl, sy   four read(double&)
//   record 4  n        read(std::int32_t&): the length of the datasets
// and the particles with read_particles.
class hdf5_particle_file {
public:
    explicit hdf5_particle_file(const std::string& path);
    ~hdf5_particle_file();
    hdf5_particle_file(const hdf5_particle_file&) = delete;
    hdf5_particle_file& operator=(const hdf5_particle_file&) = delete;

    // The next header record (1 to 4) and its values, as free_reader's.
    void begin_record(std::string what);
    bool read(std::string& v);
    bool read(double& v);
    bool read(std::int32_t& v);

    // Reads `count` particles (the whole datasets) into entries first ..
    // first + count - 1 of the field's tables, which must hold them, and
    // refuses the first particle without a positive radius whose square is
    // finite or with a coordinate that is not finite.
    void read_particles(particle_field& field, std::int32_t first, std::int32_t count);

    const std::string& source() const { return source_; }
    // A binary file has no lines: 0.
    int line() const { return 0; }
    // The record being read, with the attributes or datasets that hold it.
    const std::string& record() const { return what_; }

    // Throws input_error: "FILE, <record>: <message>".
    [[noreturn]] void fail(std::string_view message) const;

private:
    struct handles;
    std::unique_ptr<handles> h_;
    std::string source_;
    std::string what_;
    int record_ = 0;        // header record begun last (1..4)
    int value_ = 0;         // values of it read so far
    std::string title_;
    double reals_[4] = {0.0, 0.0, 0.0, 0.0};  // orb, xl, yl, sy
    std::int32_t n_ = 0;
};

}  // namespace quillet
