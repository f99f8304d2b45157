// The per-photon state: every thread-local record of the sources is in the
// one list; a worker starts from the set-up's copied records with its own
// large tables, cleared scratch and zero search counters.
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

using namespace quillet;

TEST(PhotonState, EveryThreadLocalRecordOfTheSourcesIsDeclared) {
    // Pointers that bind a worker to its own trace capture and tallies: the
    // worker sets them itself, they are not state that is copied.
    const std::set<std::string> context = {"say_capture", "tallies"};
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
    EXPECT_GT(seen, 0);  // the scan found the declarations at all (say_capture among them)
}

TEST(PhotonState, WorkerStartsFromTheCopiedRecordsWithItsOwnScratchAndZeroCounters) {
    debug1.iphot = 12;
    search_scratch_of_thread->nbox_sum = 19;
    const photon_state_copy start;
    std::int32_t iphot = 0;
    std::int64_t nbox_sum = -1;
    const search_scratch* worker_scratch = nullptr;
    std::thread([&] {
        worker_records own;
        start.adopt();
        iphot = debug1.iphot;
        nbox_sum = search_scratch_of_thread->nbox_sum;
        worker_scratch = search_scratch_of_thread;
    }).join();
    EXPECT_EQ(iphot, 12);
    EXPECT_EQ(nbox_sum, 0);
    EXPECT_NE(worker_scratch, &search_scratch_main);
    EXPECT_EQ(search_scratch_of_thread, &search_scratch_main);
    EXPECT_EQ(search_scratch_of_thread->nbox_sum, 19);  // the main thread's counters stay
    search_scratch_of_thread->nbox_sum = 0;
}
