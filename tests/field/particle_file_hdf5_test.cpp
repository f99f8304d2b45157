// The HDF5 form of the particle files: the same field as the text form (every
// table, bit for bit, and the same report), in each of the forms a file may
// take, and one refusal per fault, each naming the file, the attribute or
// dataset and what was expected.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "field/part_read_2pos.h"
#include "field/particle_file_hdf5.h"
#include "format/run_error.h"
#include "fuzz/hdf5_leaks.h"
#include "support/field_fixture.h"
#include "support/hdf5_particle_writer.h"

using namespace quillet;
using fixture::sphere;
using test_support::hdf5_writer_options;
using test_support::write_hdf5_particle_file;

namespace {

// Five ring particles in a 20 x 10 cell whose shear 12.5 folds to 2.5: in the
// middle, over x = +xl, over y = +yl, at a corner, and one below sizemin;
// coordinates with full 53-bit mantissas, so that a value rounded on the way
// would show.
const std::vector<sphere> ring = {{1.0, 0.0, 0.0, 0.0},
                                  {0.5, 9.75, 0.1 / 3.0, 1.0},
                                  {2.0, -3.0, 4.0, -std::sqrt(2.0)},
                                  {0.7, 10.0, 5.0, 0.3},
                                  {0.2, std::numbers::pi, -std::numbers::e, 0.0}};
const std::vector<sphere> haze = {{0.05, 1.0 / 7.0, 2.0, 3.0}, {0.1, -9.99, -4.99, -2.0}};

std::string report_of(const std::string& file, const std::string& haze_file, const field_build_options& options) {
    fixture::reset_field();
    field.sredu = 1.25;
    field.zredu = 0.5;
    testing::internal::CaptureStdout();
    try {
        part_read_2pos(field, text80(file), text80(haze_file), options);
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

// The report with the two lines that name the files taken out.
std::string without_file_names(const std::string& report) {
    std::istringstream in(report);
    std::string line, out;
    while (std::getline(in, line))
        if (line.rfind("file = ", 0) != 0 && line.rfind("file_haze", 0) != 0) out += line + "\n";
    return out;
}

// Loads the pair of files and returns the report and a copy of the field.
struct loaded {
    std::string report;
    particle_field field;
};
loaded load(const std::string& file, const std::string& haze_file, const field_build_options& options) {
    std::string report = report_of(file, haze_file, options);
    return {without_file_names(report), field};
}

void expect_same_field(const loaded& a, const loaded& b) {
    EXPECT_EQ(a.report, b.report);
    const particle_field &f = a.field, &g = b.field;
    ASSERT_EQ(f.npart, g.npart);
    EXPECT_EQ(f.npartori, g.npartori);
    for (double particle_field::*v : {&particle_field::xl, &particle_field::yl, &particle_field::sy,
                                      &particle_field::zmin, &particle_field::zmax, &particle_field::tau})
        EXPECT_EQ(f.*v, g.*v);
    for (std::int32_t i = 1; i <= f.npart; ++i) {
        EXPECT_EQ(f.xpart[i], g.xpart[i]) << i;
        EXPECT_EQ(f.ypart[i], g.ypart[i]) << i;
        EXPECT_EQ(f.zpart[i], g.zpart[i]) << i;
        EXPECT_EQ(f.rpart[i], g.rpart[i]) << i;
        EXPECT_EQ(f.itype[i], g.itype[i]) << i;
        EXPECT_EQ(f.iorig[i], g.iorig[i]) << i;
    }
}

class ParticleFileHdf5 : public testing::Test {
protected:
    void SetUp() override {
        text = fixture::scratch_path("ring.pos");
        h5 = fixture::scratch_path("ring.h5");
        haze_text = fixture::scratch_path("haze.pos");
        haze_h5 = fixture::scratch_path("haze.h5");
        fixture::write_position_file(text, ring, 10.0, 5.0, 12.5, "ringA", 2.25);
        fixture::write_position_file(haze_text, haze, 0.0, 0.0, 0.0, "hazeB", 0.0);
        write_hdf5_particle_file(haze_h5, haze, 0.0, 0.0, 0.0, "hazeB", 0.0);
        options.icheck = 0;
        options.sizemin = 0.3;
        options.s20 = 0.6;
        options.f20 = 1.5;
    }
    // The refusal of the HDF5 file written with `edit` (and `parts`, `opts`).
    std::string refusal(const std::function<void(hid_t)>& edit, std::vector<sphere> parts = ring,
                        const hdf5_writer_options& opts = {}) {
        write_hdf5_particle_file(h5, parts, 10.0, 5.0, 12.5, "ringA", 2.25, opts, edit);
        try {
            report_of(h5, "junk", options);
        } catch (const input_error& e) {
            return e.what();
        }
        ADD_FAILURE() << "no error";
        return "";
    }
    std::string text, h5, haze_text, haze_h5;
    field_build_options options;
};

void expect_message(const std::string& m, const std::string& file, const std::string& where,
                    const std::string& expected) {
    EXPECT_EQ(m.rfind(file + ", " + where + ": ", 0), 0u) << m;
    EXPECT_NE(m.find(expected), std::string::npos) << m;
}

// The bytes of a file, to be damaged by hand.
std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST_F(ParticleFileHdf5, EveryFormGivesTheFieldAndReportOfTheTextForm) {
    const loaded want = load(text, haze_text, options);
    ASSERT_GT(want.field.npart, 7);  // copies over the edges were made
    hdf5_writer_options forms[4];
    forms[1].chunked_gzip = true;
    forms[2].big_endian = true;
    forms[3].fixed_title = true;
    for (const hdf5_writer_options& form : forms) {
        SCOPED_TRACE(testing::Message() << "gzip " << form.chunked_gzip << ", big-endian " << form.big_endian
                                        << ", fixed title " << form.fixed_title);
        write_hdf5_particle_file(h5, ring, 10.0, 5.0, 12.5, "ringA", 2.25, form);
        expect_same_field(want, load(h5, haze_h5, options));
    }
    // Either form of either file: the ring particles in text with the haze in HDF5 and the other way round.
    expect_same_field(want, load(text, haze_h5, options));
    expect_same_field(want, load(h5, haze_text, options));
}

TEST_F(ParticleFileHdf5, FieldWithoutParticlesIsReadAsTheTextFormReadsOne) {
    fixture::write_position_file(text, {}, 10.0, 5.0, 0.0, "empty", 1.0);
    write_hdf5_particle_file(h5, {}, 10.0, 5.0, 0.0, "empty", 1.0);
    const loaded a = load(text, "junk", options), b = load(h5, "junk", options);
    expect_same_field(a, b);
    EXPECT_EQ(b.field.npart, 0);
}

TEST_F(ParticleFileHdf5, SignatureDecidesTheForm) {
    write_hdf5_particle_file(h5, ring, 10.0, 5.0, 12.5);
    EXPECT_TRUE(is_hdf5_file(h5));
    EXPECT_FALSE(is_hdf5_file(text));
    EXPECT_FALSE(is_hdf5_file(fixture::scratch_path("no-such-file")));
    std::ofstream(fixture::scratch_path("short")) << "\x89HDF\r\n";
    EXPECT_FALSE(is_hdf5_file(fixture::scratch_path("short")));
}

TEST_F(ParticleFileHdf5, FileFormatWithoutChecksumsIsRefusedWithHowToWriteIt) {
    hdf5_writer_options earliest;
    earliest.earliest_format = true;
    write_hdf5_particle_file(h5, ring, 10.0, 5.0, 12.5, "ringA", 2.25, earliest);
    try {
        report_of(h5, "junk", options);
        ADD_FAILURE() << "no error";
    } catch (const input_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  h5 + ": expected the HDF5 file format with checksums (superblock version 2 or 3, h5py's "
                       "libver=\"latest\"), found superblock version 0 (h5py's default libver=\"earliest\")");
    }
}

TEST_F(ParticleFileHdf5, DamagedOrTruncatedFileIsRefusedWithItsName) {
    write_hdf5_particle_file(h5, ring, 10.0, 5.0, 12.5);
    const std::string bytes = bytes_of(h5);
    std::ofstream(h5, std::ios::binary | std::ios::trunc) << bytes.substr(0, bytes.size() / 2);
    try {
        report_of(h5, "junk", options);
        ADD_FAILURE() << "no error";
    } catch (const input_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind(h5 + ": cannot be opened as an HDF5 file", 0), 0u) << e.what();
    }
}

TEST_F(ParticleFileHdf5, EachFaultOfTheHeaderIsRefusedNamingTheAttribute) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto put_real = [](const char* name, double v) {
        return [=](hid_t f) {
            H5Adelete(f, name);
            test_support::hdf5_put_attribute(f, name, H5T_NATIVE_DOUBLE, &v);
        };
    };
    expect_message(refusal([](hid_t f) { H5Adelete(f, "xl"); }), h5, "attribute xl",
                   "expected a 64-bit float, found none");
    expect_message(refusal([](hid_t f) { H5Adelete(f, "version"); }), h5, "attribute version",
                   "expected the layout version 1 as an integer, found none");
    hdf5_writer_options v2;
    v2.version = 2;
    expect_message(refusal({}, ring, v2), h5, "attribute version", "expected the layout version 1 as an integer, found 2");
    expect_message(refusal([](hid_t f) {
                       H5Adelete(f, "title");
                       int t = 7;
                       test_support::hdf5_put_attribute(f, "title", H5T_NATIVE_INT, &t);
                   }),
                   h5, "attribute title", "expected the title as text, found a 32-bit integer");
    expect_message(refusal([](hid_t f) {
                       H5Adelete(f, "title");
                       test_support::hdf5_put_text_attribute(f, "title", "two\nlines", false);
                   }),
                   h5, "attribute title", "expected a title on one line");
    expect_message(refusal([](hid_t f) {
                       H5Adelete(f, "yl");
                       test_support::hdf5_put_text_attribute(f, "yl", "5.0", false);
                   }),
                   h5, "attribute yl", "expected a 64-bit float, found text");
    expect_message(refusal(put_real("sy", nan)), h5, "attribute sy", "expected a finite number, found nan");
    expect_message(refusal([](hid_t f) {
                       H5Adelete(f, "orb");
                       const hsize_t two = 2;
                       const double v[2] = {1.0, 2.0};
                       hid_t space = H5Screate_simple(1, &two, nullptr);
                       hid_t a = H5Acreate2(f, "orb", H5T_NATIVE_DOUBLE, space, H5P_DEFAULT, H5P_DEFAULT);
                       H5Awrite(a, H5T_NATIVE_DOUBLE, v);
                       H5Aclose(a);
                       H5Sclose(space);
                   }),
                   h5, "attribute orb", "expected one value (a 64-bit float), found 2 values");
    // The checks that the text form makes on the cell, with the attributes named.
    expect_message(refusal(put_real("xl", 0.0)), h5, "attributes orb, xl, yl, sy", "expected positive half-widths");
    expect_message(refusal(put_real("sy", 106.0)), h5, "attributes orb, xl, yl, sy",
                   "expected a shift sy within 21*yl = 105.0 of 0, found 106.0");
}

TEST_F(ParticleFileHdf5, EachFaultOfTheDatasetsIsRefusedNamingTheDataset) {
    auto replace = [](const char* name, std::vector<double> values, hid_t type, std::vector<hsize_t> shape = {}) {
        return [=](hid_t f) {
            H5Ldelete(f, name, H5P_DEFAULT);
            test_support::hdf5_put_dataset(f, name, values, type, shape);
        };
    };
    expect_message(refusal([](hid_t f) { H5Ldelete(f, "z", H5P_DEFAULT); }), h5, "dataset z",
                   "expected a dataset of 64-bit floats, one per particle, found none");
    expect_message(refusal(replace("r", {1, 1, 1, 1, 1}, H5T_STD_I32LE)), h5, "dataset r",
                   "expected 64-bit floats, found a 32-bit integer");
    expect_message(refusal(replace("x", {1, 1, 1, 1, 1}, H5T_IEEE_F32LE)), h5, "dataset x",
                   "expected 64-bit floats, found a 32-bit float");
    expect_message(refusal(replace("y", std::vector<double>(12, 0.0), H5T_IEEE_F64LE, {3, 4})), h5, "dataset y",
                   "expected one dimension (one value per particle), found the shape 3 x 4");
    expect_message(refusal(replace("x", {1, 2, 3, 4}, H5T_IEEE_F64LE)), h5, "dataset x",
                   "expected 5 values, as many as dataset r holds, found 4");
    expect_message(refusal([](hid_t f) {
                       H5Ldelete(f, "y", H5P_DEFAULT);
                       H5Gclose(H5Gcreate2(f, "y", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
                   }),
                   h5, "dataset y", "expected a dataset of 64-bit floats, found an object that is not one");
    expect_message(refusal([](hid_t f) {
                       // Stated, never written: nothing of it is stored.
                       H5Ldelete(f, "z", H5P_DEFAULT);
                       const hsize_t five = 5;
                       hid_t space = H5Screate_simple(1, &five, nullptr);
                       H5Dclose(H5Dcreate2(f, "z", H5T_IEEE_F64LE, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
                       H5Sclose(space);
                   }),
                   h5, "dataset z", "expected 5 values stored in the file, found none written");

    // Values, checked particle by particle as the text form checks them.
    std::vector<sphere> bad = ring;
    bad[2].r = -0.5;
    expect_message(refusal({}, bad), h5, "dataset r, element 2 (particle 3)",
                   "expected a radius above 0 whose square is finite, found -0.5");
    bad = ring;
    bad[1].y = std::numeric_limits<double>::quiet_NaN();
    expect_message(refusal({}, bad), h5, "dataset y, element 1 (particle 2)", "expected a finite coordinate, found nan");
    bad = ring;
    bad[4].z = -std::numeric_limits<double>::infinity();
    expect_message(refusal({}, bad), h5, "dataset z, element 4 (particle 5)", "expected a finite coordinate, found -inf");
}

// HDF5 1.10 walks a global heap collection (where a variable-length title
// is kept) for ever when one of its objects has size 0: such a file is
// refused before the title is read (found by the fuzz target).
TEST_F(ParticleFileHdf5, TitleInAGlobalHeapThatCannotBeWalkedIsRefusedNotReadForEver) {
    write_hdf5_particle_file(h5, ring, 10.0, 5.0, 12.5, "ringA", 2.25);
    std::string bytes = bytes_of(h5);
    const std::size_t gcol = bytes.find(std::string("GCOL\x01", 5));
    ASSERT_NE(gcol, std::string::npos);
    // The first object after the 16-byte header: index 0 (free space) of size 0.
    for (std::size_t k = 0; k < 16; ++k) bytes[gcol + 16 + k] = '\0';
    std::ofstream(h5, std::ios::binary | std::ios::trunc) << bytes;
    try {
        report_of(h5, "junk", options);
        ADD_FAILURE() << "no error";
    } catch (const input_error& e) {
        expect_message(e.what(), h5, "attribute title", "cannot be read: its value (at byte ");
        EXPECT_NE(std::string(e.what()).find("of the global heap collection at byte " + std::to_string(gcol) +
                                             ", which has an object of 0 bytes at byte " + std::to_string(gcol + 16)),
                  std::string::npos)
            << e.what();
    }
}

// ... and follows a title's reference to a heap object that is not there,
// or copies an object longer than the text into it (found by the fuzz target).
TEST_F(ParticleFileHdf5, TitleReferringToAMissingOrMismatchedHeapObjectIsRefused) {
    for (const bool missing : {true, false}) {
        write_hdf5_particle_file(h5, ring, 10.0, 5.0, 12.5, "ringA", 2.25);
        std::string bytes = bytes_of(h5);
        // The title's heap object: index (2 bytes), references (2), reserved (4), size (8), text.
        const std::size_t text_at = bytes.find("ringA");
        ASSERT_NE(text_at, std::string::npos);
        const std::size_t object = text_at - 16;
        ASSERT_EQ(bytes[object + 8], 5);
        if (missing) bytes[object] = char(99);  // renumbered: the title's index is not there
        else bytes[object + 8] = 3;             // shorter than the text of 5
        std::ofstream(h5, std::ios::binary | std::ios::trunc) << bytes;
        try {
            report_of(h5, "junk", options);
            ADD_FAILURE() << "no error";
        } catch (const input_error& e) {
            expect_message(e.what(), h5, "attribute title", "cannot be read: its value (at byte ");
            EXPECT_NE(std::string(e.what()).find(missing ? "which has no such object" : "of 3 bytes for text of 5"),
                      std::string::npos)
                << e.what();
        }
    }
}

TEST_F(ParticleFileHdf5, FaultsOfTheHazeFileNameTheHazeFile) {
    write_hdf5_particle_file(haze_h5, haze, 0.0, 0.0, 0.0, "hazeB", 0.0, {},
                             [](hid_t f) { H5Ldelete(f, "r", H5P_DEFAULT); });
    try {
        report_of(text, haze_h5, options);
        ADD_FAILURE() << "no error";
    } catch (const input_error& e) {
        expect_message(e.what(), haze_h5, "dataset r", "found none");
    }
}
