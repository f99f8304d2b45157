// The memory a run is weighed at before it takes it: the message of a
// refusal, the estimate of the field's tables against the room a built field
// takes, and a run refused in a child process whose address space is cut
// down (nothing large is ever allocated).
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "engine/run_memory.h"
#include "engine/tallies.h"
#include "engine/tally_codec.h"
#include "field/field_records.h"
#include "field/part_read_2pos.h"
#include "field/particle_field.h"
#include "field/tab_init.h"
#include "format/run_error.h"
#include "numeric/memory_room.h"
#include "support/engine_fixture.h"

namespace quillet {
namespace {

using testing_support::engine_call;
using testing_support::temp_dir;

std::string refusal(const std::vector<memory_part>& parts, const memory_room& room) {
    try {
        require_memory(parts, room);
    } catch (const limit_error& e) {
        return e.what();
    }
    return "";
}

TEST(RunMemory, ARefusalNamesTheTotalTheSizesAndTheRoom) {
    const std::vector<memory_part> parts = {{"12,000,000 particles with their 52,000 edge copies", 2.6e9},
                                            {"1,000 observer directions", 0.45e9},
                                            {"the escape histogram", 648e3},
                                            {"10,000 escape records", 0.16e9}};
    EXPECT_EQ(refusal(parts, {1.9e9, "this machine has"}),
              "the run needs about 3.2 GB of memory (12,000,000 particles with their 52,000 edge copies: 2.6 GB; "
              "1,000 observer directions: 450 MB; 10,000 escape records: 160 MB) but this machine has 1.9 GB "
              "available");
    const std::string limited = refusal(parts, {0.5e9, "the process's address-space limit (RLIMIT_AS) leaves"});
    EXPECT_EQ(limited.substr(limited.rfind(") but ") + 2),
              "but the process's address-space limit (RLIMIT_AS) leaves 500 MB");
    // Enough room, or no limit known: no refusal.
    EXPECT_EQ(refusal(parts, {3.3e9, "this machine has"}), "");
    EXPECT_EQ(refusal(parts, {-1.0, ""}), "");
    EXPECT_EQ(thousands(2147483647), "2,147,483,647");
    EXPECT_EQ(thousands(999), "999");
}

// The bytes of the per-direction sums of a set of tallies.
struct sum_bytes : tally_codec::ignore_roles {
    const tallies& t;
    double bytes = 0.0;
    explicit sum_bytes(const tallies& x) : t(x) {}
    void sums(const char*, std::vector<double> tallies::*m) { bytes += 8.0 * double((t.*m).size()); }
};

TEST(RunMemory, PerDirectionTablesFollowTheHazeAndTheSetsOfSumsOfTheWorkers) {
    // The estimate against the tables themselves: the sums of one set of
    // tallies with and without haze rows, per direction, and the photon's two.
    for (bool haze : {false, true}) {
        tally_sizes sizes;
        sizes.ntest = 40;
        sizes.haze_rows = haze_table_rows(haze);
        const tallies t(sizes);
        sum_bytes c(t);
        tallies::visit_tables(c);
        EXPECT_EQ(tally_bytes_per_direction(haze), c.bytes / 41.0 + 2.0 * 8.0) << haze;
    }
    // Without haze: 7 sums, 51 orders and 21 ring counts with their squares,
    // and the photon's two: 153 doubles; with haze 51 x 21 cells: 2253.
    EXPECT_EQ(tally_bytes_per_direction(false), 153.0 * 8.0);
    EXPECT_EQ(tally_bytes_per_direction(true), 2253.0 * 8.0);
    EXPECT_EQ(tally_sets(0), 1);
    EXPECT_EQ(tally_sets(2), 9);  // the total, two workers' own, a pool of six block records
    // The exact totals: 32 bytes for each of the 151 (2251) sums.
    EXPECT_EQ(exact_bytes_per_direction(false), 151.0 * 32.0);
    EXPECT_EQ(exact_bytes_per_direction(true), 2251.0 * 32.0);
    run_memory_sizes s;
    s.ntest = 10000;
    s.workers = 2;
    s.haze = true;
    const std::vector<memory_part> parts = run_memory(s);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].what, "10,000 observer directions (9 sets of sums and the exact totals for 2 workers)");
    EXPECT_GT(parts[0].bytes, 10001 * (9 * 2253.0 * 8.0 + 2251.0 * 32.0));
    EXPECT_LT(parts[0].bytes, 10001 * (11 * 2253.0 * 8.0 + 2251.0 * 32.0));
}

// A field of side^2 spheres of radius r spread over a 2 xl x 2 xl cell (a
// lattice jittered by a fixed rule, every sphere within the layer |z| <= 2 r;
// the first row and column lie close to the cell's edges).
std::string lattice_field(int side, double xl, double r) {
    std::ostringstream f;
    f.precision(17);
    f << "lattice\n1\n0 " << xl << " " << xl << " 0\n" << side * side << "\n";
    const double step = 2.0 * xl / side;
    for (int i = 0; i < side; ++i)
        for (int j = 0; j < side; ++j) {
            const double jx = 0.3 * step * (((i * 7 + j * 13) % 11) / 10.0 - 0.5);
            const double jy = 0.3 * step * (((i * 5 + j * 3) % 7) / 6.0 - 0.5);
            f << r << " " << -xl + (i + 0.2) * step + jx << " " << -xl + (j + 0.2) * step + jy << " "
              << r * (((i + j) % 5) / 2.0 - 1.0) << "\n";
        }
    return f.str();
}

TEST(RunMemory, TheFieldEstimateHoldsTheTablesOfABuiltField) {
    temp_dir dir;
    std::ofstream(dir.file("f.pos")) << lattice_field(200, 50.0, 0.12);
    std::int64_t particles = -1, copies = -1;
    field_build_options options;
    double shadow = 0.0;
    options.before_copies = [&](const particle_field& f, std::int64_t p, std::int64_t c) {
        particles = p, copies = c;
        shadow = shadow_copies_bound(f.xl, f.yl, f.zmax - f.zmin);
    };
    particle_field field;
    part_read_2pos(field, text80(dir.file("f.pos")), text80("junk"), options);
    ASSERT_EQ(particles, 40000);
    ASSERT_GT(copies, 0);
    EXPECT_EQ(field.npart, particles + copies);
    // Without a grid: the particle tables alone, exactly.
    EXPECT_EQ(field.table_bytes(), particle_table_bytes(field.npart));
    field.mx = 100;
    field.my = 100;
    tab_init(field);
    ASSERT_TRUE(field.shadow.ready);
    const double built = field.table_bytes();
    // The shadow grid's copies: no more than the bound from the cell and
    // the layer, and not far below it.
    const double shadow_entries = double(field.shadow.orig.size() - walk_lanes);
    EXPECT_LE(shadow_entries, shadow * field.npart);
    EXPECT_GE(shadow_entries, 0.9 * shadow * field.npart);
    const double estimate = field_table_bytes(field.npart, true, shadow) + grid_cell_bytes(10000);
    EXPECT_GE(estimate, built);
    EXPECT_LE(estimate, 1.3 * built) << "an estimate that refuses runs the machine could hold";
    std::printf("field tables with their 10,000 cells: %.1f bytes per particle built, %.1f estimated\n",
                built / field.npart, estimate / field.npart);
}

// Runs `body` in a child process whose address space may grow by `room`
// bytes beyond what it holds; returns its exit status and what it wrote.
template <class F>
std::pair<int, std::string> in_cut_down_child(const temp_dir& dir, double room, F body) {
    const std::string out = dir.file("child.txt");
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        std::FILE* f = std::fopen(out.c_str(), "w");
        double vm_kb = 0.0;
        {
            std::ifstream status("/proc/self/status");
            std::string line;
            while (std::getline(status, line))
                if (line.rfind("VmSize:", 0) == 0) vm_kb = std::stod(line.substr(7));
        }
        rlimit r{};
        r.rlim_cur = r.rlim_max = rlim_t(vm_kb * 1024.0 + room);
        if (vm_kb <= 0.0 || setrlimit(RLIMIT_AS, &r) != 0) _exit(90);
        int code = 0;
        try {
            code = body(f);
        } catch (const std::exception& e) {
            std::fputs(e.what(), f);
            code = 91;
        }
        std::fclose(f);
        _exit(code);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
}

TEST(RunMemory, ARunBeyondTheAddressSpaceLimitIsRefusedOnceItsFieldIsCounted) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' shadow memory needs an address space without limit";
#endif
    temp_dir dir;
    // 40,000 particles: about 15 MB of field tables; the child may take 8 MB
    // more than it holds.
    std::ofstream(dir.file("big.pos")) << lattice_field(200, 50.0, 0.12);
    std::ofstream(dir.file("small.pos")) << lattice_field(20, 50.0, 0.12);
    auto run_on = [&](const char* field) {
        return in_cut_down_child(dir, 8e6, [&](std::FILE* f) {
            const memory_room room = available_memory();
            std::fprintf(f, "%s %.0f\n", room.why.c_str(), room.bytes);
            if (!(room.bytes <= 8e6)) return 2;
            engine_call c(dir);
            c.posfile = text80(dir.file(field));
            c.wfile = text80(dir.file(std::string(field) + ".w"));
            c.mx = c.my = 20;
            c.nxphot = c.nyphot = 5;
            try {
                c.run();
            } catch (const limit_error& e) {
                std::fputs(e.what(), f);
                return 3;
            }
            return 0;
        });
    };
    auto [status, text] = run_on("big.pos");
    ASSERT_EQ(status, 3) << text;
    EXPECT_NE(text.find("the process's address-space limit (RLIMIT_AS) leaves"), std::string::npos) << text;
    EXPECT_NE(text.find("the run needs about "), std::string::npos) << text;
    EXPECT_NE(text.find("(40,000 particles with their "), std::string::npos) << text;
    EXPECT_NE(text.find(" edge copies: "), std::string::npos) << text;
    EXPECT_FALSE(std::ifstream(dir.file("big.pos.w")).good()) << "no result file";
    // The same run on 400 particles fits and writes its result.
    std::tie(status, text) = run_on("small.pos");
    EXPECT_EQ(status, 0) << text;
    EXPECT_TRUE(std::ifstream(dir.file("small.pos.w")).good());
}

}  // namespace
}  // namespace quillet
