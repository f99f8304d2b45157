// The program on a field and haze in HDF5 form writes the result files it
// writes on the same field and haze as text, byte for byte (all but the
// measured CPU time), serially and on threads.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/deck_text.h"
#include "support/field_fixture.h"
#include "support/hdf5_particle_writer.h"
#include "support/result_files.h"
#include "support/run_binary.h"
#include "support/scratch_dir.h"

using namespace quillet;
using test_support::deck_values;

namespace {

// Runs `deck` in a folder of its own holding both forms of the files, and
// returns its result files.
std::map<std::string, test_support::result_file> run_in(const test_support::scratch_dir& dir, const deck_values& deck,
                                                        const std::vector<std::string>& args) {
    test_support::process_result r = test_support::run_binary(QUILLET_BINARY, deck.text(), dir.path(), args);
    EXPECT_EQ(r.status, 0) << r.err;
    return test_support::find_result_files(dir.path(), [](const std::string& name) {
        return name.rfind("out.", 0) == 0 || name.rfind("img", 0) == 0;
    });
}

}  // namespace

TEST(ParticleFileForms, HdfFieldAndHazeGiveTheResultFilesOfTheTextForm) {
    const std::vector<fixture::sphere> ring = fixture::random_spheres(300, 12.0, 9.0, 0.3, 0.9, 1.5, -17);
    const std::vector<fixture::sphere> haze = fixture::random_spheres(80, 12.0, 9.0, 0.02, 0.08, 2.5, -23);
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, std::vector<std::string>{"--threads", "2"}}) {
        std::map<std::string, test_support::result_file> got[2];
        for (int form = 0; form < 2; ++form) {
            test_support::scratch_dir dir;
            const std::string pos = dir.path() + "/ring.pos", hz = dir.path() + "/haze.pos";
            // The same names for both forms: the program goes by the bytes.
            if (form == 0) {
                fixture::write_position_file(pos, ring, 12.0, 9.0, 31.0, "snap", 0.5);
                fixture::write_position_file(hz, haze, 12.0, 9.0, 31.0, "haze", 0.5);
            } else {
                test_support::write_hdf5_particle_file(pos, ring, 12.0, 9.0, 31.0, "snap", 0.5);
                test_support::write_hdf5_particle_file(hz, haze, 12.0, 9.0, 31.0, "haze", 0.5);
            }
            deck_values d;
            d.posfile_haze = "haze.pos";
            d.method = 4;
            d.ppar1 = -0.3;
            d.ssca_part = 0.6;
            d.nxphot = d.nyphot = 30;
            d.mx = d.my = 6;
            d.ntest = 2;
            d.directions = {{30.0, 20.0}, {50.0, 60.0}};
            d.sredu = 0.9;
            d.sizemin = 0.35;
            d.outfile = "out.esc";
            d.epsfile = "out.hist";
            d.wfile = "out.dir";
            d.testimage = "img";
            d.nxpix = d.nypix = 16;
            got[form] = run_in(dir, d, args);
        }
        // Escape, histogram, direction (with its errors by order) and test-image files.
        ASSERT_EQ(got[0].size(), 5u);
        ASSERT_EQ(got[1].size(), got[0].size());
        for (const auto& [name, text] : got[0]) {
            ASSERT_EQ(got[1].count(name), 1u) << name;
            EXPECT_EQ(test_support::without_cpu_line(got[1].at(name)), test_support::without_cpu_line(text)) << name;
        }
    }
}
