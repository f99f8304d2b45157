// The photon loop's pieces that the serial and the threaded loop share: the
// constants of the launch, one photon from launch to escape, and the progress
// line on a terminal.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "engine/engine_run.h"
#include "numeric/ran1.h"

namespace quillet {

// What every photon's launch reads, derived once per run.
struct launch_constants {
    explicit launch_constants(const engine_run& run);
    double xl, yl;        // cell half-widths
    double cos_b, sin_b;  // Sun elevation
    double sun_l;         // Sun azimuth, radians
    double widen;         // start-distance factor (emulation flag A)
    bool fold_after_scatter;
};

// Launches, traces and peels off photon iphot, drawing its random numbers
// from whatever source ran1_draw uses on this thread, and adds it to this
// thread's sums: launch, then search, scatter and peel off until it escapes
// or reaches maxscat searches. inidist is the start distance of the previous
// photon (kept when the source lies in the ring plane).
void trace_photon(const engine_run& run, const launch_constants& lc, std::int32_t iphot, double& inidist);

class progress_line;

// Launches, traces and peels off all photons of the run.
void run_photons(const engine_run& run);

// The photon loop of one block, photons first..last on this thread: each
// photon draws from its own stream (stream not null: a threaded run) or from
// the one shared generator (the serial run, one block of all photons). Stops
// before a photon when a SIGINT or SIGTERM came or team_stop is set; returns
// the photons done. progress (may be null) is updated as photons pass.
std::int64_t run_photon_range(const engine_run& run, const launch_constants& lc, std::int64_t first,
                              std::int64_t last, photon_stream* stream, const std::atomic<bool>* team_stop,
                              progress_line* progress);

// The progress line on standard error while photons run: photons done, rate
// and time left, rewritten in place ("\r") a few times a second and wiped at
// the end. Only on a terminal: a redirected standard error stays clean, and
// standard output (the report) is never touched. The loop pays one compare
// per photon; the clock is read every check_every photons.
class progress_line {
public:
    static constexpr std::int32_t check_every = 256;
    static constexpr double interval = 0.25;  // seconds between updates

    explicit progress_line(std::int32_t nphot)
        : nphot_(nphot), on_(::isatty(2) == 1), start_(clock::now()), last_(start_) {
        next_check = on_ ? check_every : never;
    }
    ~progress_line() { clear(); }
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;

    // Photon number at which the loop calls update() next (64-bit: a run may
    // launch up to 2^31 - 1 photons).
    std::int64_t next_check;

    // Shows `done` photons (off a terminal: nothing).
    void update(std::int32_t done) {
        if (!on_) return;
        next_check += check_every;
        const clock::time_point now = clock::now();
        if (std::chrono::duration<double>(now - last_).count() < interval) return;
        last_ = now;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double rate = elapsed > 0.0 ? done / elapsed : 0.0;
        char left[40] = "";
        if (rate > 0.0) {
            const long s = std::lround((nphot_ - done) / rate);
            if (s < 60)
                std::snprintf(left, sizeof left, ", %ld s left", s);
            else if (s < 3600)
                std::snprintf(left, sizeof left, ", %ld min %02ld s left", s / 60, s % 60);
            else
                std::snprintf(left, sizeof left, ", %ld h %02ld min left", s / 3600, s / 60 % 60);
        }
        char text[160];
        int n = std::snprintf(text, sizeof text, "\rquillet: %d of %d photons (%d%%), %.0f photons/s%s", done, nphot_,
                              int(100.0 * double(done) / double(nphot_)), rate, left);
        if (n < 0) return;
        if (n >= int(sizeof text)) n = int(sizeof text) - 1;
        // Blanks over the end of a longer previous line.
        const int width = n;
        while (n < shown_ && n < int(sizeof text) - 1) text[n++] = ' ';
        std::fwrite(text, 1, std::size_t(n), stderr);
        shown_ = width;
    }

    // Wipes the line, leaving the cursor at its start.
    void clear() {
        if (shown_ == 0) return;
        char blank[160];
        int n = 0;
        blank[n++] = '\r';
        while (n <= shown_ && n < int(sizeof blank) - 1) blank[n++] = ' ';
        blank[n++] = '\r';
        std::fwrite(blank, 1, std::size_t(n), stderr);
        shown_ = 0;
    }

private:
    using clock = std::chrono::steady_clock;
    static constexpr std::int64_t never = INT64_MAX;
    std::int32_t nphot_;
    bool on_;
    int shown_ = 0;  // characters of the line on the terminal, 0 when none
    clock::time_point start_, last_;
};

}  // namespace quillet
