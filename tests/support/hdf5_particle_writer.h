// Particle files in HDF5 form for tests, written with the HDF5 library's C API
// independently of the reader: the layout of docs/particle-file-hdf5.md (the
// newest file format, whose metadata carry checksums), with
// switches for the forms a file may take (chunks with gzip and shuffle,
// big-endian values, fixed-length title) and access to the open file, for the
// tests that damage one part of it. Header-only, so that only the test
// programs that include it link the library.
#pragma once

#include <hdf5.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/field_fixture.h"

namespace quillet::test_support {

struct hdf5_writer_options {
    bool chunked_gzip = false;  // chunks of 2 values, shuffle and deflate
    bool big_endian = false;    // values stored big-endian
    bool fixed_title = false;   // title as fixed-length text (h5py's bytes)
    bool earliest_format = false;  // the library's default format (no checksums), not the newest
    std::int64_t version = 1;
};

inline void hdf5_check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("HDF5 test writer: ") + what);
}

// Attribute `name` of the root group: one value of `type` from `value`.
inline void hdf5_put_attribute(hid_t file, const char* name, hid_t type, const void* value) {
    hid_t space = H5Screate(H5S_SCALAR);
    hid_t a = H5Acreate2(file, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    hdf5_check(a >= 0 && H5Awrite(a, type, value) >= 0, name);
    H5Aclose(a);
    H5Sclose(space);
}

inline void hdf5_put_text_attribute(hid_t file, const char* name, const std::string& text, bool fixed) {
    hid_t type = H5Tcopy(H5T_C_S1);
    if (fixed) {
        H5Tset_size(type, text.size() + 1);
        hdf5_put_attribute(file, name, type, text.c_str());
    } else {
        H5Tset_size(type, H5T_VARIABLE);
        H5Tset_cset(type, H5T_CSET_UTF8);
        const char* p = text.c_str();
        hdf5_put_attribute(file, name, type, &p);
    }
    H5Tclose(type);
}

// Dataset `name` of the root group: `values` stored as `file_type` in the
// given shape (empty shape: one dimension of values.size()).
inline void hdf5_put_dataset(hid_t file, const char* name, const std::vector<double>& values,
                             hid_t file_type = H5T_IEEE_F64LE, std::vector<hsize_t> shape = {},
                             bool chunked_gzip = false) {
    if (shape.empty()) shape = {hsize_t(values.size())};
    hid_t space = H5Screate_simple(int(shape.size()), shape.data(), nullptr);
    hid_t create = H5Pcreate(H5P_DATASET_CREATE);
    if (chunked_gzip && !values.empty()) {
        hsize_t chunk = 2;
        H5Pset_chunk(create, 1, &chunk);
        H5Pset_shuffle(create);
        H5Pset_deflate(create, 6);
    }
    hid_t d = H5Dcreate2(file, name, file_type, space, H5P_DEFAULT, create, H5P_DEFAULT);
    hdf5_check(d >= 0, name);
    if (!values.empty()) hdf5_check(H5Dwrite(d, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) >= 0, name);
    H5Dclose(d);
    H5Pclose(create);
    H5Sclose(space);
}

// Writes the particle file `path` in HDF5 form; `edit`, when given, then
// changes the open file (deletes or replaces an attribute or a dataset).
inline void write_hdf5_particle_file(const std::string& path, const std::vector<fixture::sphere>& parts, double xl,
                                     double yl, double sy, const std::string& title = "test-field", double orb = 1.0,
                                     const hdf5_writer_options& options = {},
                                     const std::function<void(hid_t)>& edit = {}) {
    hid_t access = H5Pcreate(H5P_FILE_ACCESS);
    if (!options.earliest_format) H5Pset_libver_bounds(access, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access);
    H5Pclose(access);
    hdf5_check(file >= 0, "cannot create the file");
    long long version = options.version;
    hdf5_put_attribute(file, "version", H5T_NATIVE_LLONG, &version);
    hdf5_put_text_attribute(file, "title", title, options.fixed_title);
    hdf5_put_text_attribute(file, "note", "a test field", false);
    const double reals[4] = {orb, xl, yl, sy};
    const char* const real_names[4] = {"orb", "xl", "yl", "sy"};
    for (int k = 0; k < 4; ++k) hdf5_put_attribute(file, real_names[k], H5T_NATIVE_DOUBLE, &reals[k]);
    std::vector<double> columns[4];
    for (const fixture::sphere& s : parts) {
        columns[0].push_back(s.r);
        columns[1].push_back(s.x);
        columns[2].push_back(s.y);
        columns[3].push_back(s.z);
    }
    const char* const names[4] = {"r", "x", "y", "z"};
    for (int k = 0; k < 4; ++k)
        hdf5_put_dataset(file, names[k], columns[k], options.big_endian ? H5T_IEEE_F64BE : H5T_IEEE_F64LE, {},
                         options.chunked_gzip);
    if (edit) edit(file);
    hdf5_check(H5Fclose(file) >= 0, "cannot close the file");
}

}  // namespace quillet::test_support
