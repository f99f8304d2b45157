// The progress line of a run's photons.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace quillet {

// Progress on standard error while photons run: photons done, rate and time
// left. On a terminal one line rewritten in place ("\r") a few times a second
// and wiped at the end; otherwise (a log file) one line each time another
// tenth of the photons is done (10 % to 90 %: the report tells the end) or
// five minutes have passed, whichever comes first. --quiet silences both; standard output (the report) is never
// touched. The loop pays one compare per photon; the clock is read every
// check_every photons.
class progress_line {
public:
    static constexpr std::int32_t check_every = 256;
    static constexpr double interval = 0.25;      // seconds between terminal updates
    static constexpr double log_interval = 300.0;  // seconds between log lines at most

    // done_before: photons a resumed run starts with (not counted in the
    // rate); quiet: no line at all.
    progress_line(std::int64_t nphot, std::int64_t done_before, bool quiet)
        : nphot_(nphot),
          done_before_(done_before),
          on_(!quiet && ::isatty(2) == 1),
          log_(!quiet && !on_),
          start_(clock::now()),
          last_(start_) {
        next_check = (on_ || log_) ? done_before + check_every : never;
        next_tenth_ = tenth_after(done_before);
    }
    ~progress_line() { clear(); }
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;

    // Photon number at which the loop calls update() next (64-bit: a run may
    // launch up to 2^31 - 1 photons).
    std::int64_t next_check;

    // Shows `done` photons.
    void update(std::int64_t done) {
        if (!on_ && !log_) return;
        next_check += check_every;
        const clock::time_point now = clock::now();
        const double since = std::chrono::duration<double>(now - last_).count();
        if (log_) {
            if (done < next_tenth_ && since < log_interval) return;
            next_tenth_ = tenth_after(done);
        } else if (since < interval) {
            return;
        }
        last_ = now;
        char text[160];
        int n = format(text, sizeof text, done, now);
        if (n < 0) return;
        if (log_) {
            text[n++] = '\n';
            std::fwrite(text + 1, 1, std::size_t(n - 1), stderr);
            std::fflush(stderr);
            return;
        }
        // Blanks over the end of a longer previous line.
        const int width = n;
        while (n < shown_ && n < int(sizeof text) - 1) text[n++] = ' ';
        std::fwrite(text, 1, std::size_t(n), stderr);
        shown_ = width;
    }

    // Wipes the terminal line, leaving the cursor at its start.
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

    // The first multiple of a tenth of the photons above `done`.
    std::int64_t tenth_after(std::int64_t done) const {
        for (std::int64_t k = 1; k <= 9; ++k)
            if (nphot_ * k / 10 > done) return nphot_ * k / 10;
        return never;
    }

    // "\rquillet: 205311 of 1000000 photons (20%), 102008 photons/s, 8 s left"
    int format(char* text, std::size_t size, std::int64_t done, clock::time_point now) const {
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double rate = elapsed > 0.0 ? double(done - done_before_) / elapsed : 0.0;
        char left[40] = "";
        if (rate > 0.0) {
            const long s = std::lround(double(nphot_ - done) / rate);
            if (s < 60)
                std::snprintf(left, sizeof left, ", %ld s left", s);
            else if (s < 3600)
                std::snprintf(left, sizeof left, ", %ld min %02ld s left", s / 60, s % 60);
            else
                std::snprintf(left, sizeof left, ", %ld h %02ld min left", s / 3600, s / 60 % 60);
        }
        int n = std::snprintf(text, size - 1, "\rquillet: %lld of %lld photons (%d%%), %.0f photons/s%s",
                              static_cast<long long>(done), static_cast<long long>(nphot_),
                              int(100.0 * double(done) / double(nphot_ > 0 ? nphot_ : 1)), rate, left);
        if (n >= int(size) - 1) n = int(size) - 2;
        return n;
    }

    std::int64_t nphot_, done_before_;
    bool on_, log_;
    int shown_ = 0;  // characters of the line on the terminal, 0 when none
    std::int64_t next_tenth_ = never;
    clock::time_point start_, last_;
};

}  // namespace quillet
