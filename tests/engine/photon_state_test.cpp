// The per-photon state: every thread-local record of the sources is in the
// one list; a block's sums move out, through bytes and back in unchanged; a
// worker starts from the set-up's copied records with its own large tables
// and zero sums.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "engine/engine_records.h"
#include "engine/photon_state.h"
#include "format/run_error.h"

using namespace quillet;

namespace {

// Values that no sum reaches by chance: distinct per entry.
void fill_sums(std::int32_t ntest, double base) {
    for (std::int32_t k = 1; k <= ntest; ++k) {
        com7.testw[k] = base + k;
        com7.testw_sig[k] = base + 10 * k;
        com7.testw_n[k] = base + 100 * k;
        engine_sums.sum_all[k] = base + 0.5 * k;
        engine_sums.sumsq_all[k] = base + 0.25 * k;
        engine_sums.sum_first[k] = base + 0.125 * k;
        engine_sums.sumsq_first[k] = base + 0.0625 * k;
        for (int o = 1; o <= max_order; ++o) com8.testw_order[o][k] = base + o * 1000 + k;
        for (int h = 0; h <= max_haze_count; ++h)
            for (int r = 0; r <= max_ring_count; ++r)
                com8_haze_of_thread->testw_haze[h][r][k] = base + h * 100000 + r * 1000 + k;
    }
    engine_sums.nsearch = 7;
    engine_sums.ndirect = 3;
    search_scratch_of_thread->npot_sum = 11;
    search_scratch_of_thread->ntab_calls = 13;
    search_scratch_of_thread->nseg_calls = 17;
    search_scratch_of_thread->nbox_sum = 19;
}

}  // namespace

TEST(PhotonState, EveryThreadLocalRecordOfTheSourcesIsDeclared) {
    // Pointers that bind a worker to its own trace capture and
    // image and histogram collection: the worker sets them itself, they are
    // not state that is copied or summed.
    const std::set<std::string> context = {"say_capture", "worker_hits"};
    const std::vector<std::string> listed = photon_state_records();
    const std::set<std::string> declared(listed.begin(), listed.end());
    // "thread_local constinit TYPE NAME" or "... TYPE* NAME": the word
    // after the type.
    auto names_in = [](const std::string& s) {
        std::vector<std::string> out;
        const std::string key = "thread_local constinit ";
        auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':'; };
        for (std::size_t at = s.find(key); at != std::string::npos; at = s.find(key, at + 1)) {
            std::size_t i = at + key.size();
            while (i < s.size() && word(s[i])) ++i;  // the type
            while (i < s.size() && (s[i] == ' ' || s[i] == '*')) ++i;
            std::size_t j = i;
            while (j < s.size() && word(s[j])) ++j;
            out.push_back(s.substr(i, j - i));
        }
        return out;
    };
    int seen = 0;
    for (const char* folder : {"format", "numeric", "field", "trace", "scatter", "planet", "engine"}) {
        for (const auto& e : std::filesystem::directory_iterator(std::string(QUILLET_SOURCE_DIR) + "/" + folder)) {
            if (e.path().extension() != ".h" && e.path().extension() != ".cpp") continue;
            std::ifstream in(e.path());
            std::stringstream text;
            text << in.rdbuf();
            const std::string s = text.str();
            for (std::string name : names_in(s)) {
                const std::string suffix = "_of_thread";
                if (name.size() > suffix.size() && name.ends_with(suffix)) name.resize(name.size() - suffix.size());
                ++seen;
                if (context.count(name)) continue;
                EXPECT_TRUE(declared.count(name)) << e.path() << ": thread_local record " << name
                                                  << " is not in visit_photon_state";
            }
        }
    }
    EXPECT_GT(seen, 15);  // the scan found the declarations at all
}

TEST(PhotonState, BlockHoldsEveryRowOfTheDirectionsInUse) {
    // com7: 3 rows; engine_sums: 4; com8: 51 orders (row 0 included); the
    // haze table 51 x 21.
    const std::size_t rows = 3 + 4 + (max_order + 1) + (max_haze_count + 1) * (max_ring_count + 1);
    EXPECT_EQ(block_sum_values(5), rows * 5);
    EXPECT_EQ(block_sum_values(0), 0u);
    EXPECT_EQ(block_count_values(), 6u);
}

TEST(PhotonState, TakenSumsLeaveZeroAndAddBackExactly) {
    clear_block_sums();
    const std::int32_t ntest = 4;
    fill_sums(ntest, 0.5);
    block_sums b;
    take_block_sums(ntest, b);
    EXPECT_EQ(com7.testw[2], 0.0);
    EXPECT_EQ(com8_haze_of_thread->testw_haze[50][20][4], 0.0);
    EXPECT_EQ(engine_sums.ndirect, 0);
    EXPECT_EQ(search_scratch_of_thread->nbox_sum, 0);
    ASSERT_EQ(b.sums.size(), block_sum_values(ntest));
    EXPECT_EQ(b.sums[0], 1.5);       // com7.testw[1]
    EXPECT_EQ(b.counts[1], 3);       // ndirect
    EXPECT_EQ(b.counts[5], 19);      // nbox_sum

    // Through bytes, then added twice: each value doubles, nothing moves.
    std::string bytes;
    write_block_sums(b, bytes);
    block_sums back;
    std::size_t at = 0;
    read_block_sums(bytes, at, back, "test");
    EXPECT_EQ(at, bytes.size());
    add_block_sums(ntest, back);
    add_block_sums(ntest, b);
    EXPECT_EQ(com7.testw[3], 2.0 * 3.5);
    EXPECT_EQ(com7.testw_n[4], 2.0 * 400.5);
    EXPECT_EQ(engine_sums.sumsq_first[2], 2.0 * 0.625);
    EXPECT_EQ(com8.testw_order[50][1], 2.0 * 50001.5);
    EXPECT_EQ(com8_haze_of_thread->testw_haze[50][20][4], 2.0 * (5000000 + 20000 + 4.5));
    EXPECT_EQ(com8_haze_of_thread->testw_haze[0][0][5], 0.0);  // beyond ntest: untouched
    EXPECT_EQ(engine_sums.nsearch, 14);
    EXPECT_EQ(search_scratch_of_thread->ntab_calls, 26);
    clear_block_sums();
    EXPECT_EQ(com8.testw_order[50][1], 0.0);
}

TEST(PhotonState, BytesThatDoNotFitABlockAreRejected) {
    clear_block_sums();
    fill_sums(2, 1.0);
    block_sums b;
    take_block_sums(2, b);
    std::string bytes;
    write_block_sums(b, bytes);
    block_sums out;
    std::size_t at = 0;
    std::string cut = bytes.substr(0, bytes.size() - 1);
    EXPECT_THROW(read_block_sums(cut, at, out, "cut"), run_error);
    std::string tag = bytes;
    tag[0] = 'X';
    at = 0;
    EXPECT_THROW(read_block_sums(tag, at, out, "tag"), run_error);
    std::string ntest = bytes;
    ntest[8] = 3;  // ntest 3 with the sums of 2 directions
    at = 0;
    EXPECT_THROW(read_block_sums(ntest, at, out, "ntest"), run_error);
    EXPECT_THROW(add_block_sums(3, b), run_error);
    at = 0;
    try {
        read_block_sums(cut, at, out, "checkpoint.q");
        FAIL() << "no error";
    } catch (const run_error& e) {
        EXPECT_NE(std::string(e.what()).find("checkpoint.q"), std::string::npos) << e.what();
    }
}

TEST(PhotonState, WorkerStartsFromTheCopiedRecordsWithItsOwnTablesAndZeroSums) {
    clear_block_sums();
    com4.ssca = 0.75;
    debug1.iphot = 12;
    com12.ipart = 9;
    com6.obs_z[3] = 0.5;
    fill_sums(3, 2.0);
    const photon_state_copy start;
    double ssca = 0.0, obs_z = 0.0, testw = -1.0, haze = -1.0;
    std::int32_t iphot = 0, ipart = 0;
    std::int64_t nsearch = -1;
    const com8_haze_t* main_haze = com8_haze_of_thread;
    const com8_haze_t* worker_haze = nullptr;
    const search_scratch* worker_scratch = nullptr;
    std::thread([&] {
        worker_records own;
        start.adopt();
        ssca = com4.ssca;
        iphot = debug1.iphot;
        ipart = com12.ipart;
        obs_z = com6.obs_z[3];
        testw = com7.testw[1];
        haze = com8_haze_of_thread->testw_haze[1][1][1];
        nsearch = engine_sums.nsearch;
        worker_haze = com8_haze_of_thread;
        worker_scratch = search_scratch_of_thread;
    }).join();
    EXPECT_EQ(ssca, 0.75);
    EXPECT_EQ(iphot, 12);
    EXPECT_EQ(ipart, 9);
    EXPECT_EQ(obs_z, 0.5);
    EXPECT_EQ(testw, 0.0);
    EXPECT_EQ(haze, 0.0);
    EXPECT_EQ(nsearch, 0);
    EXPECT_NE(worker_haze, main_haze);
    EXPECT_NE(worker_scratch, &search_scratch_main);
    EXPECT_EQ(com8_haze_of_thread, &com8_haze_main);
    EXPECT_EQ(com7.testw[1], 3.0);  // the main thread's sums stay
    clear_block_sums();
}
