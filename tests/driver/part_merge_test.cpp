// Partial runs and their merge on the quillet program: four parts merged
// write the bytes of the one-process threaded run; a missing, repeated or
// foreign part and a checkpoint are refused with their messages; a part run
// again removes the temporary files that a killed writer left; the CPU
// records of merged and resumed runs count every part and segment.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "checkpoint_fixture.h"
#include "format/state_file.h"

namespace {

using namespace quillet::test_support;

// The escape file's "cpu cpu_comp" record: the CPU seconds of the photon loops.
double record_cpu(const std::string& d) {
    const std::vector<std::string> v = lines_of(slurp(d + "/run.esc"));
    return v.size() >= 23 ? std::stod(v[22]) : -1.0;
}

// The CPU seconds a checkpoint or partial file holds: photon loops, engine calls.
std::pair<double, double> saved_cpu(const std::string& file) {
    const quillet::state_contents c = quillet::read_state_file(file, QUILLET_VERSION_TEXT);
    quillet::byte_reader r(c.section("CPU ", file), file);
    const double loop = r.get<double>();
    const double engine = r.get<double>();
    return {loop, engine};
}

TEST_F(CheckpointRun, FourPartsMergedGiveTheBytesOfTheOneProcessThreadedRun) {
    const std::string d = make_run_dir("parts");
    for (int k = 1; k <= 4; ++k) {
        process_result p = in(d, {"--threads", std::to_string(k % 3 + 1), "--part", std::to_string(k) + "/4",
                                  "--partial", "part" + std::to_string(k), "--quiet"});
        ASSERT_EQ(p.status, 0) << p.err;
        EXPECT_NE(p.out.find("partial: part,parts,blocks,photons " + std::to_string(k) + " 4 5 5000\n"),
                  std::string::npos)
            << p.out;
        expect_no_result_file(d);
    }
    process_result m = in(d, {"--merge", "part3", "part1", "part4", "part2", "--quiet"});
    ASSERT_EQ(m.status, 0) << m.err;
    expect_same_results(d, reference_threaded_, m.out, threaded_report_);
}

TEST_F(CheckpointRun, MergeRefusesAMissingRepeatedOrForeignPartAndACheckpoint) {
    const std::string d = make_run_dir("bad-parts");
    for (int k = 1; k <= 3; ++k)
        ASSERT_EQ(in(d, {"--threads", "2", "--part", std::to_string(k) + "/3", "--partial", "p" + std::to_string(k)})
                      .status,
                  0);
    const std::string other = full_deck(101).text();  // another photon count: another run
    ASSERT_EQ(in(d, {"--threads", "2", "--part", "2/3", "--partial", "foreign"}, &other).status, 0);
    ASSERT_EQ(in(d, {"--threads", "2", "--part", "1/2", "--partial", "half"}).status, 0);

    auto refused = [&](const std::vector<std::string>& files, const std::string& message) {
        std::vector<std::string> args = {"--merge"};
        args.insert(args.end(), files.begin(), files.end());
        process_result r = in(d, args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        expect_no_result_file(d);
    };
    refused({"p1", "p3"}, "quillet: --merge: part 2 of 3 is missing (given: 2 of 3 parts)\n");
    refused({"p1", "p2", "p2", "p3"}, "quillet: p2: part 2 of 3 is given twice (also p2)\n");
    refused({"p1", "foreign", "p3"},
            "quillet: foreign: not a part of this run: the deck standard input is not the one the state was saved "
            "with: its SHA-256 was ");
    refused({"p1", "half"}, "quillet: half: part 1 of 2, but p1 is part 1 of 3\n");
    const int status = stop_after_first_checkpoint(d, {"--threads", "2"}, SIGTERM);
    ASSERT_TRUE(WIFEXITED(status));
    refused({"ck"}, "quillet: ck: a checkpoint, not a partial file: --merge takes the files that --part K/M "
                    "--partial FILE wrote (a checkpoint is continued with --resume)\n");
}

// A part run again after a kill: the killed writer's temporary file goes,
// one that a live process holds locked (another run of that name) stays.
TEST_F(CheckpointRun, APartRunAgainRemovesTheTemporaryFilesOfAKilledWriterOnly) {
    const std::string d = make_run_dir("part-again");
    for (const char* f : {"p1.partAb12Cd", "p1.partLiving", "p10.partAb12Cd"}) std::ofstream(d + "/" + f) << "x";
    const int live = open((d + "/p1.partLiving").c_str(), O_RDONLY);
    ASSERT_GE(live, 0);
    ASSERT_EQ(flock(live, LOCK_EX), 0);
    process_result p = in(d, {"--threads", "2", "--part", "1/2", "--partial", "p1", "--quiet"});
    close(live);
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.err, "quillet: removed p1.partAb12Cd, a temporary file of p1 left by a run that was killed\n");
    EXPECT_FALSE(fs::exists(d + "/p1.partAb12Cd"));
    EXPECT_TRUE(fs::exists(d + "/p1.partLiving"));
    EXPECT_TRUE(fs::exists(d + "/p10.partAb12Cd"));
    EXPECT_TRUE(fs::exists(d + "/p1"));
}

}  // namespace

// The CPU records count every process that worked on the run: the parts of a
// merged run, the segments of a resumed one. Every figure is the process's
// own getrusage, as the processes' CPU seconds seen by this one are: a part's
// engine call cannot take more than its process, and takes all of it but its
// start, the deck's reading, the partial file's write and its end: what the
// one-process reference run spent outside its engine call (about 0.025 s in
// the optimised build, 0.7 s under the sanitizers), twice that allowed, and
// 0.05 s more. The merge adds its own engine call and photon loop (reading
// the parts) to those of the parts.
TEST_F(CheckpointRun, MergedAndResumedRunsCountTheCpuSecondsOfEveryPartAndSegment) {
    const double outside_engine = 2.0 * outside_engine_ + 0.05, slack = 1e-3;
    const std::string d = make_run_dir("cpu-parts");
    double loops = 0.0, engines = 0.0;
    for (int k = 1; k <= 2; ++k) {
        const double before = children_cpu();
        const std::string name = "p" + std::to_string(k);
        process_result p = in(d, {"--threads", "2", "--part", std::to_string(k) + "/2", "--partial", name, "--quiet"});
        ASSERT_EQ(p.status, 0) << p.err;
        const double process = children_cpu() - before;
        const auto [loop, engine] = saved_cpu(d + "/" + name);
        EXPECT_GT(loop, 0.0) << name;
        EXPECT_LE(loop, engine) << name;
        EXPECT_LE(engine, process + slack) << name;
        EXPECT_GE(engine, process - outside_engine) << name;
        loops += loop;
        engines += engine;
    }
    double before = children_cpu();
    process_result m = in(d, {"--merge", "p1", "p2", "--quiet"});
    ASSERT_EQ(m.status, 0) << m.err;
    double merge = children_cpu() - before;
    EXPECT_GE(report_cpu(m.out), engines - slack) << m.out;
    EXPECT_LE(report_cpu(m.out), engines + merge + slack) << m.out;
    EXPECT_GE(record_cpu(d), loops - slack);
    EXPECT_LE(record_cpu(d), loops + merge + slack);

    // A threaded run stopped by SIGINT (its last checkpoint then holds the
    // CPU seconds up to the stop) and resumed.
    const std::string r = make_run_dir("cpu-resumed");
    const int status = stop_after_first_checkpoint(r, {"--threads", "2"}, SIGINT);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT);
    const auto [loop, engine] = saved_cpu(r + "/ck");
    EXPECT_GT(loop, 0.0);
    EXPECT_LE(loop, engine);
    EXPECT_LE(engine, stopped_cpu_ + slack);
    EXPECT_GE(engine, stopped_cpu_ - outside_engine);
    before = children_cpu();
    process_result resumed = in(r, {"--resume", "ck", "--threads", "2", "--quiet"});
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    merge = children_cpu() - before;
    EXPECT_GE(report_cpu(resumed.out), engine - slack) << resumed.out;
    EXPECT_LE(report_cpu(resumed.out), engine + merge + slack) << resumed.out;
    EXPECT_GE(record_cpu(r), loop - slack);
    EXPECT_LE(record_cpu(r), loop + merge + slack);
}

// A partial file holds its part's one total: without escape records and
// report lines (the only contents that are per photon), a part of ten times
// the photons has the same sections of the same lengths, and a file no
// larger than those (only the zero runs squeezed out of its sums differ: more
// photons reach more cells of the sums by order).
TEST_F(CheckpointRun, APartOfTenTimesThePhotonsHasAFileOfTheSameSize) {
    const std::string d = make_run_dir("part-sizes");
    std::vector<quillet::state_contents> parts;
    std::vector<std::uintmax_t> sizes;
    for (const std::int32_t ny : {10, 100}) {
        deck_values v = full_deck(ny);
        v.outfile = "junk";
        v.epsfile = "junk";
        v.posfile_haze = "junk";
        v.nxpix = v.nypix = 0;
        const std::string deck = v.text();
        const std::string name = "p" + std::to_string(ny);
        process_result p = in(d, {"--threads", "2", "--part", "1/1", "--partial", name, "--quiet"}, &deck);
        ASSERT_EQ(p.status, 0) << p.err;
        parts.push_back(quillet::read_state_file(d + "/" + name, QUILLET_VERSION_TEXT));
        sizes.push_back(fs::file_size(d + "/" + name));
    }
    ASSERT_EQ(parts[0].sections.size(), parts[1].sections.size());
    for (std::size_t i = 0; i < parts[0].sections.size(); ++i) {
        EXPECT_EQ(parts[0].sections[i].tag, parts[1].sections[i].tag);
        EXPECT_EQ(parts[0].sections[i].bytes.size(), parts[1].sections[i].bytes.size()) << parts[0].sections[i].tag;
    }
    EXPECT_TRUE(parts[1].section("LINE", "p100").empty());
    // The sums of 20 blocks take no more room than the sections' own bytes
    // and the header (inputs, names and lengths), whatever the photons.
    std::size_t bound = 1024;
    for (const quillet::state_section& c : parts[1].sections) bound += 20 + c.bytes.size();
    for (const quillet::state_input& i : parts[1].inputs) bound += 48 + i.role.size() + i.file.size();
    EXPECT_LE(sizes[0], bound);
    EXPECT_LE(sizes[1], bound);
}
