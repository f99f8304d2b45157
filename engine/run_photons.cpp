// Running the photons of a run: the serial run here, on the calling thread;
// the threaded and distributed runs, the merge of partial files and the
// replay of one photon in engine/parallel_run. Both call the block runner of
// engine/photon_loop.
#include "engine/run_photons.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "engine/engine_run.h"
#include "engine/parallel_run.h"
#include "engine/photon_blocks.h"
#include "engine/photon_loop.h"
#include "engine/run_interrupt.h"
#include "engine/run_options.h"
#include "engine/run_state.h"
#include "format/free_writer.h"

namespace quillet {

namespace {

// While a checkpoint is kept, the report lines of the photons are gathered
// (and printed as they come), so that a resumed run can print them again.
class photon_line_keeper {
public:
    photon_line_keeper(bool on, std::string& lines)
        : on_(on), lines_(lines), printed_(lines.size()), before_(say_capture) {
        if (on_) say_capture = &lines_;
    }
    ~photon_line_keeper() {
        if (!on_) return;
        say_capture = before_;
        print_new();  // what came before a failure stays in the report
    }
    photon_line_keeper(const photon_line_keeper&) = delete;
    photon_line_keeper& operator=(const photon_line_keeper&) = delete;
    void print_new() {
        if (lines_.size() == printed_) return;
        std::string* keeping = say_capture;
        say_capture = before_;
        say_text(std::string_view(lines_).substr(printed_));
        say_capture = keeping;
        printed_ = lines_.size();
    }

private:
    bool on_;
    std::string& lines_;
    std::size_t printed_;
    std::string* before_;  // where the report went before
};

// The serial run: all photons on this thread, drawing from the one shared
// generator, photons_per_block at a time so that a checkpoint (with the
// generator's state) can be taken between two photons.
void run_photons_serial(const particle_field& field, const engine_run& run) {
    const launch_constants lc(field, run);
    double inidist = 0.0;  // kept from the previous photon when the source lies in the ring plane
    std::int64_t first = 1;
    if (!run.options->state.resume.empty()) {
        const resume_point at = resume_run(run, run_mode::serial);
        inidist = at.inidist;
        first = at.photons_done + 1;
    }
    checkpoint_clock checkpoints(run.options->state);
    photon_line_keeper lines(checkpoints.on(), run.session->photon_lines);
    progress_line progress(run.nphot, first - 1, run.options->quiet);
    photon_worker worker(run.peel, *run.totals, *run.searches);
    while (first <= run.nphot) {
        const std::int64_t last =
            std::min<std::int64_t>(run.nphot, ((first - 1) / photons_per_block + 1) * photons_per_block);
        const std::int64_t done =
            first - 1 + run_photon_range(run, lc, worker, first, last, nullptr, nullptr, &progress, inidist);
        lines.print_new();
        if (done < last) {
            progress.clear();
            throw run_interrupted(interrupted_text(run, run_mode::serial, done, 0, inidist));
        }
        if (last < run.nphot && checkpoints.due()) {
            submit_checkpoint(run, run_mode::serial, last, 0, inidist);
            checkpoints.mark();
        }
        first = last + 1;
    }
    if (checkpoints.on()) finish_checkpoints(run);
}

}  // namespace

void run_photons(const particle_field& field, const engine_run& run) {
    const parallel_options& o = run.options->parallel;
    if (o.photon > 0) return replay_photon(field, run, o.photon);
    if (o.on) return run_photons_parallel(field, run);
    run_photons_serial(field, run);
}

}  // namespace quillet
