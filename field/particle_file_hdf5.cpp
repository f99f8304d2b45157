// Reading the HDF5 form of a particle file with the HDF5 library's C API. The
// library's own error printing is switched off while a file is read; each
// failure becomes one input_error naming the file, the attribute or dataset
// and what was expected, with the library's innermost reason where it has one.
// Sizes, ranks, types and storage are checked before anything is read, since
// a damaged or crafted file can state any of them.
#include "field/particle_file_hdf5.h"

#include <fcntl.h>
#include <hdf5.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "field/hdf5_file_bytes.h"
#include "format/free_writer.h"
#include "format/run_error.h"

namespace quillet {

namespace {

using hdf5::file_bytes;

// One HDF5 identifier, closed by the function of its kind when it goes.
class hdf5_id {
public:
    hdf5_id() = default;
    hdf5_id(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    hdf5_id(hdf5_id&& o) noexcept : id_(std::exchange(o.id_, -1)), close_(o.close_) {}
    hdf5_id& operator=(hdf5_id&& o) noexcept {
        std::swap(id_, o.id_);
        std::swap(close_, o.close_);
        return *this;
    }
    ~hdf5_id() {
        if (id_ >= 0) close_(id_);
    }
    hid_t get() const { return id_; }
    bool valid() const { return id_ >= 0; }

private:
    hid_t id_ = -1;
    herr_t (*close_)(hid_t) = nullptr;
};

// The library prints its error stack on standard error unless told not to:
// silent on this thread while a file is open, the former handler put back after.
class quiet_hdf5_errors {
public:
    quiet_hdf5_errors() {
        H5Eget_auto2(H5E_DEFAULT, &func_, &data_);
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }
    ~quiet_hdf5_errors() { H5Eset_auto2(H5E_DEFAULT, func_, data_); }
    quiet_hdf5_errors(const quiet_hdf5_errors&) = delete;
    quiet_hdf5_errors& operator=(const quiet_hdf5_errors&) = delete;

private:
    H5E_auto2_t func_ = nullptr;
    void* data_ = nullptr;
};

// The innermost description on the library's error stack, " (HDF5: ...)",
// or "" when it has none; the stack is cleared.
std::string hdf5_reason() {
    std::string reason;
    H5Ewalk2(
        H5E_DEFAULT, H5E_WALK_UPWARD,
        [](unsigned n, const H5E_error2_t* e, void* out) -> herr_t {
            if (n == 0 && e && e->desc) *static_cast<std::string*>(out) = e->desc;
            return 0;
        },
        &reason);
    H5Eclear2(H5E_DEFAULT);
    return reason.empty() ? std::string() : " (HDF5: " + reason + ")";
}

const char* const dataset_names[4] = {"r", "x", "y", "z"};
const char* const real_names[4] = {"orb", "xl", "yl", "sy"};

// Deflate packs at most about 1032 to 1: a dataset that states more values
// than its stored bytes could unpack to is damaged, and is refused before its
// values are given room.
constexpr double max_packing = 1100.0;

bool is_float64(hid_t type) {
    return H5Tequal(type, H5T_IEEE_F64LE) > 0 || H5Tequal(type, H5T_IEEE_F64BE) > 0;
}

// "a 32-bit integer", "text", ... for messages about a type found.
std::string type_name(hid_t type) {
    const std::string bits = std::to_string(8 * H5Tget_size(type)) + "-bit ";
    switch (H5Tget_class(type)) {
        case H5T_INTEGER: return "a " + bits + "integer";
        case H5T_FLOAT: return is_float64(type) ? "a 64-bit float" : "a " + bits + "float";
        case H5T_STRING: return "text";
        case H5T_COMPOUND: return "a compound";
        case H5T_ARRAY: return "an array type";
        case H5T_ENUM: return "an enumeration";
        case H5T_VLEN: return "a variable-length sequence";
        case H5T_REFERENCE: return "a reference";
        default: return "another type";
    }
}

}  // namespace

bool is_hdf5_file(const std::string& path) {
    static const unsigned char signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    unsigned char head[8];
    const std::size_t got = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return got == sizeof head && std::memcmp(head, signature, sizeof head) == 0;
}

struct hdf5_particle_file::handles {
    quiet_hdf5_errors quiet;  // first made, last gone: the closes below are quiet too
    hdf5_id file;
    hdf5_id datasets[4];      // r, x, y, z
};

namespace {

// The checks of the layout, each refusal naming where in the file it is.
class layout_reader {
public:
    layout_reader(const std::string& source, hid_t file, const file_bytes& bytes)
        : source_(source), file_(file), bytes_(bytes) {}

    [[noreturn]] void fail(const std::string& where, const std::string& message) const {
        throw input_error(source_ + ", " + where + ": " + message);
    }

    // The attribute `name` of the root group holding one value, open.
    hdf5_id attribute(const char* name, const std::string& what) const {
        const std::string where = std::string("attribute ") + name;
        const htri_t exists = H5Aexists(file_, name);
        if (exists < 0) fail(where, "cannot be looked up" + hdf5_reason() + ": expected " + what);
        if (exists == 0) fail(where, "expected " + what + ", found none");
        hdf5_id a(H5Aopen(file_, name, H5P_DEFAULT), H5Aclose);
        if (!a.valid()) fail(where, "cannot be opened" + hdf5_reason() + ": expected " + what);
        hdf5_id space(H5Aget_space(a.get()), H5Sclose);
        const H5S_class_t kind = space.valid() ? H5Sget_simple_extent_type(space.get()) : H5S_NO_CLASS;
        const hssize_t values = kind == H5S_SIMPLE ? H5Sget_simple_extent_npoints(space.get()) : 0;
        if (kind != H5S_SCALAR && !(kind == H5S_SIMPLE && values == 1))
            fail(where, "expected one value (" + what + "), found " +
                            (kind == H5S_SIMPLE ? std::to_string(values) + " values" : std::string("none")));
        return a;
    }

    std::int64_t integer(const char* name, const std::string& what) const {
        hdf5_id a = attribute(name, what);
        hdf5_id type(H5Aget_type(a.get()), H5Tclose);
        if (!type.valid() || H5Tget_class(type.get()) != H5T_INTEGER)
            fail(std::string("attribute ") + name,
                 "expected " + what + ", found " + (type.valid() ? type_name(type.get()) : "an unreadable type"));
        long long v = 0;
        if (H5Aread(a.get(), H5T_NATIVE_LLONG, &v) < 0)
            fail(std::string("attribute ") + name, "cannot be read" + hdf5_reason());
        return v;
    }

    // A real: a 64-bit float or an integer, finite.
    double real(const char* name) const {
        const std::string where = std::string("attribute ") + name;
        const std::string what = "a 64-bit float";
        hdf5_id a = attribute(name, what);
        hdf5_id type(H5Aget_type(a.get()), H5Tclose);
        if (!type.valid() || !(is_float64(type.get()) || H5Tget_class(type.get()) == H5T_INTEGER))
            fail(where, "expected " + what + ", found " + (type.valid() ? type_name(type.get()) : "an unreadable type"));
        double v = 0.0;
        if (H5Aread(a.get(), H5T_NATIVE_DOUBLE, &v) < 0) fail(where, "cannot be read" + hdf5_reason());
        if (!std::isfinite(v)) fail(where, "expected a finite number, found " + free_format(v));
        return v;
    }

    // Text of either kind of HDF5 string (h5py writes variable-length ones
    // for str, fixed-length ones for bytes), up to its first NUL.
    std::string text(const char* name, const std::string& what) const {
        const std::string where = std::string("attribute ") + name;
        hdf5_id a = attribute(name, what);
        hdf5_id type(H5Aget_type(a.get()), H5Tclose);
        if (!type.valid() || H5Tget_class(type.get()) != H5T_STRING)
            fail(where, "expected " + what + ", found " + (type.valid() ? type_name(type.get()) : "an unreadable type"));
        std::string s;
        const htri_t variable = H5Tis_variable_str(type.get());
        if (variable < 0) fail(where, "cannot be read" + hdf5_reason());
        if (variable > 0) {
            const std::string damage = hdf5::unsafe_title_heap(bytes_);
            if (!damage.empty()) fail(where, "cannot be read: " + damage);
            hdf5_id mem(H5Tcopy(H5T_C_S1), H5Tclose);
            if (!mem.valid() || H5Tset_size(mem.get(), H5T_VARIABLE) < 0 ||
                H5Tset_cset(mem.get(), H5Tget_cset(type.get())) < 0)
                fail(where, "cannot be read" + hdf5_reason());
            char* p = nullptr;
            if (H5Aread(a.get(), mem.get(), &p) < 0) fail(where, "cannot be read" + hdf5_reason());
            if (p) s = p;
            H5free_memory(p);
        } else {
            const std::size_t size = H5Tget_size(type.get());
            if (size == 0 || size > max_text)
                fail(where, "expected " + what + " of at most " + std::to_string(max_text) + " bytes, found " +
                                std::to_string(size));
            std::string buffer(size, '\0');
            if (H5Aread(a.get(), type.get(), buffer.data()) < 0) fail(where, "cannot be read" + hdf5_reason());
            s = buffer.substr(0, buffer.find('\0'));
            if (H5Tget_strpad(type.get()) == H5T_STR_SPACEPAD) s.erase(s.find_last_not_of(' ') + 1);
        }
        return s;
    }

    // Dataset `name`: 64-bit floats in one dimension, stored in this file
    // (contiguous, compact or in chunks, plain or with gzip, shuffle and the
    // checksum). Out: its length.
    hdf5_id dataset(const char* name, std::int64_t& length) const {
        const std::string where = std::string("dataset ") + name;
        const htri_t exists = H5Lexists(file_, name, H5P_DEFAULT);
        if (exists < 0) fail(where, "cannot be looked up" + hdf5_reason());
        if (exists == 0) fail(where, "expected a dataset of 64-bit floats, one per particle, found none");
        // The dataset itself in this file, under a header with a checksum.
        H5L_info_t link{};
        if (H5Lget_info(file_, name, &link, H5P_DEFAULT) < 0) fail(where, "cannot be looked up" + hdf5_reason());
        if (link.type != H5L_TYPE_HARD) fail(where, "expected the dataset itself, found a link to another place");
        if (!bytes_.object_header_at(link.u.address))
            fail(where, "expected an object header with a checksum (version 2) at address " +
                            std::to_string(link.u.address) + ", found none");
        hdf5_id d(H5Dopen2(file_, name, H5P_DEFAULT), H5Dclose);
        if (!d.valid()) fail(where, "expected a dataset of 64-bit floats, found an object that is not one" + hdf5_reason());
        hdf5_id type(H5Dget_type(d.get()), H5Tclose);
        if (!type.valid() || !is_float64(type.get()))
            fail(where, "expected 64-bit floats, found " + (type.valid() ? type_name(type.get()) : "an unreadable type"));
        hdf5_id space(H5Dget_space(d.get()), H5Sclose);
        if (!space.valid()) fail(where, "cannot be read" + hdf5_reason());
        const H5S_class_t kind = H5Sget_simple_extent_type(space.get());
        const int rank = kind == H5S_SIMPLE ? H5Sget_simple_extent_ndims(space.get()) : 0;
        hsize_t dims[H5S_MAX_RANK] = {};
        if (rank >= 1 && rank <= H5S_MAX_RANK) H5Sget_simple_extent_dims(space.get(), dims, nullptr);
        if (rank != 1) {
            std::string shape = kind == H5S_SCALAR ? "a single value" : kind == H5S_NULL ? "no values" : "the shape ";
            for (int k = 0; k < rank; ++k) shape += (k ? " x " : "") + std::to_string(dims[k]);
            fail(where, "expected one dimension (one value per particle), found " + shape);
        }
        if (dims[0] > hsize_t(std::numeric_limits<std::int32_t>::max()))
            fail(where, "expected at most " + std::to_string(std::numeric_limits<std::int32_t>::max()) +
                            " values, found " + std::to_string(dims[0]));
        length = std::int64_t(dims[0]);

        hdf5_id create(H5Dget_create_plist(d.get()), H5Pclose);
        if (!create.valid()) fail(where, "cannot be read" + hdf5_reason());
        const H5D_layout_t layout = H5Pget_layout(create.get());
        if (layout != H5D_CONTIGUOUS && layout != H5D_CHUNKED && layout != H5D_COMPACT)
            fail(where, "expected values stored in this file (contiguous, compact or in chunks), found another layout");
        if (H5Pget_external_count(create.get()) != 0)
            fail(where, "expected values stored in this file, found them in external files");
        if (layout == H5D_CHUNKED) {
            H5D_chunk_index_t index = H5D_CHUNK_IDX_BTREE;
            if (H5Dget_chunk_index_type(d.get(), &index) < 0) fail(where, "cannot be read" + hdf5_reason());
            if (index == H5D_CHUNK_IDX_BTREE)
                fail(where, "expected its chunks indexed with checksums, found the version 1 B-tree of the "
                            "older file format");
        }
        const int filters = H5Pget_nfilters(create.get());
        if (filters < 0) fail(where, "cannot be read" + hdf5_reason());
        for (int k = 0; k < filters; ++k) {
            unsigned flags = 0;
            std::size_t nvalues = 0;
            const H5Z_filter_t id = H5Pget_filter2(create.get(), unsigned(k), &flags, &nvalues, nullptr, 0, nullptr,
                                                   nullptr);
            if (id != H5Z_FILTER_DEFLATE && id != H5Z_FILTER_SHUFFLE && id != H5Z_FILTER_FLETCHER32)
                fail(where, "expected no filter or gzip (deflate), shuffle and fletcher32 only, found filter " +
                                std::to_string(id));
        }
        if (length > 0) {
            hsize_t file_size = 0;
            if (H5Fget_filesize(file_, &file_size) < 0) fail(where, "cannot be read" + hdf5_reason());
            const hsize_t stored = H5Dget_storage_size(d.get());
            const double needed = 8.0 * double(length);
            if (stored == 0)
                fail(where, "expected " + std::to_string(length) + " values stored in the file, found none written");
            if (stored > file_size || needed > max_packing * double(stored))
                fail(where, "states " + std::to_string(length) + " values in " + std::to_string(stored) +
                                " stored bytes of a file of " + std::to_string(file_size) +
                                ": expected values that the file holds (is it damaged?)");
        }
        return d;
    }

    static constexpr std::size_t max_text = 65536;

private:
    const std::string& source_;
    hid_t file_;
    const file_bytes& bytes_;
};

}  // namespace

hdf5_particle_file::hdf5_particle_file(const std::string& path) : h_(std::make_unique<handles>()), source_(path) {
    // Only the file format whose metadata carry checksums: the library 1.10
    // parses the older format's unguarded headers into crashes when they are
    // damaged.
    const file_bytes bytes(path);
    if (bytes.superblock_version() < 2)
        throw input_error(path + ": expected the HDF5 file format with checksums (superblock version 2 or 3, " +
                          "h5py's libver=\"latest\"), found superblock version " +
                          std::to_string(bytes.superblock_version()) + " (h5py's default libver=\"earliest\")");
    hdf5_id access(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    if (access.valid()) H5Pset_fclose_degree(access.get(), H5F_CLOSE_STRONG);
    h_->file = hdf5_id(H5Fopen(path.c_str(), H5F_ACC_RDONLY, access.valid() ? access.get() : H5P_DEFAULT),
                       H5Fclose);
    if (!h_->file.valid()) throw input_error(path + ": cannot be opened as an HDF5 file" + hdf5_reason());
    if (!bytes.object_header_at(bytes.root()))
        throw input_error(path + ": expected the root group's object header with a checksum (version 2) at address " +
                          std::to_string(bytes.root()) + ", found none");
    const layout_reader layout(source_, h_->file.get(), bytes);

    const std::string version = "the layout version " + std::to_string(particle_file_hdf5_version) + " as an integer";
    const std::int64_t v = layout.integer("version", version);
    if (v != particle_file_hdf5_version)
        layout.fail("attribute version", "expected " + version + ", found " + std::to_string(v));
    title_ = layout.text("title", "the title as text");
    if (title_.find_first_of("\r\n") != std::string::npos)
        layout.fail("attribute title", "expected a title on one line, found a line break in it");
    for (int k = 0; k < 4; ++k) reals_[k] = layout.real(real_names[k]);

    std::int64_t lengths[4] = {0, 0, 0, 0};
    for (int k = 0; k < 4; ++k) {
        h_->datasets[k] = layout.dataset(dataset_names[k], lengths[k]);
        if (lengths[k] != lengths[0])
            layout.fail(std::string("dataset ") + dataset_names[k],
                        "expected " + std::to_string(lengths[0]) + " values, as many as dataset r holds, found " +
                            std::to_string(lengths[k]));
    }
    n_ = std::int32_t(lengths[0]);
}

hdf5_particle_file::~hdf5_particle_file() = default;

void hdf5_particle_file::begin_record(std::string) {
    static const char* const where[5] = {"", "attribute title", "attribute note", "attributes orb, xl, yl, sy",
                                         "the length of datasets r, x, y, z"};
    ++record_;
    value_ = 0;
    if (record_ > 4) throw std::logic_error("hdf5_particle_file: more header records than the text form has");
    what_ = where[record_];
}

bool hdf5_particle_file::read(std::string& v) {
    if (record_ == 1 && value_ == 0) v = title_;
    else if (record_ == 2 && value_ == 0) v.clear();  // the note, which the text form skips too
    else throw std::logic_error("hdf5_particle_file: text read out of the order of the text form's records");
    ++value_;
    return true;
}

bool hdf5_particle_file::read(double& v) {
    if (record_ != 3 || value_ >= 4)
        throw std::logic_error("hdf5_particle_file: real read out of the order of the text form's records");
    v = reals_[value_++];
    return true;
}

bool hdf5_particle_file::read(std::int32_t& v) {
    if (record_ != 4 || value_ != 0)
        throw std::logic_error("hdf5_particle_file: count read out of the order of the text form's records");
    ++value_;
    v = n_;
    return true;
}

void hdf5_particle_file::read_particles(particle_field& field, std::int32_t first, std::int32_t count) {
    if (count != n_) throw std::logic_error("hdf5_particle_file: particles read in another number than stated");
    if (count == 0) return;
    for (const auto* t : {&field.rpart, &field.xpart, &field.ypart, &field.zpart})
        if (t->size() < std::size_t(first) + std::size_t(count))
            throw std::logic_error("hdf5_particle_file: the particle tables are not sized for the particles");
    double* to[4] = {&field.rpart[first], &field.xpart[first], &field.ypart[first], &field.zpart[first]};
    for (int k = 0; k < 4; ++k)
        if (H5Dread(h_->datasets[k].get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, to[k]) < 0)
            throw input_error(source_ + ", dataset " + dataset_names[k] + ": cannot be read" + hdf5_reason());
    for (std::int32_t k = 0; k < count; ++k) {
        const std::int32_t i = first + k;
        auto at = [&](const char* dataset) {
            return source_ + ", dataset " + dataset + ", element " + std::to_string(k) + " (particle " +
                   std::to_string(k + 1) + "): ";
        };
        // As in the text form: a positive radius whose square is finite, and a place.
        const double r = field.rpart[i];
        if (!(r > 0.0) || !std::isfinite(r * r))
            throw input_error(at("r") + "expected a radius above 0 whose square is finite, found " +
                              free_format(r));
        const double c[3] = {field.xpart[i], field.ypart[i], field.zpart[i]};
        for (int d = 0; d < 3; ++d)
            if (!std::isfinite(c[d]))
                throw input_error(at(dataset_names[d + 1]) + "expected a finite coordinate, found " + free_format(c[d]));
    }
}

void hdf5_particle_file::fail(std::string_view message) const {
    throw input_error(source_ + ", " + what_ + ": " + std::string(message));
}

}  // namespace quillet
