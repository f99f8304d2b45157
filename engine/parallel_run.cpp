// The threaded photon loop. Workers claim the blocks of this process in
// increasing order, trace each photon with its own stream, and hand the
// block's tallies over; the main thread passes the blocks on in block order
// (for the report lines of the photons and the checkpoints after whole
// blocks; the sums themselves add in any order) to a sink (the first process
// of a distributed run also receives the other processes' blocks, which they
// send in their own block order). A bounded
// pool of block records keeps the memory fixed while a slow block holds up
// the ones after it.
#include "engine/parallel_run.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/engine_run.h"
#include "engine/exact_totals.h"
#include "engine/photon_blocks.h"
#include "engine/photon_loop.h"
#include "engine/process_group.h"
#include "engine/run_interrupt.h"
#include "engine/run_options.h"
#include "engine/run_state.h"
#include "engine/tallies.h"
#include "format/free_writer.h"
#include "format/run_error.h"
#include "numeric/ran1.h"
#include "numeric/tim.h"

namespace quillet {

std::int32_t available_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? std::int32_t(n) : 1;
}

namespace {

// The workers of this process and the blocks they run: this process's share
// of blocks first_block .. end_block - 1 (b mod ranks = rank), claimed in
// increasing order. The main thread takes the finished blocks in the same
// order (next) and gives their records back (release). Ordinary threads with
// default stacks: the large per-photon tables of each worker live on the heap.
class worker_team {
public:
    worker_team(const particle_field& field, const engine_run& run, std::int64_t first_block, std::int64_t end_block)
        : run_(run), lc_(field, run), sizes_(block_sizes(run)) {
        const parallel_options& o = run.options->parallel;
        for (std::int64_t b = first_block; b < end_block; ++b)
            if (b % o.ranks == o.rank) blocks_.push_back(b);
        done_.assign(blocks_.size(), nullptr);
        const std::int32_t n = std::int32_t(std::min<std::size_t>(std::size_t(o.threads), blocks_.size()));
        for (std::size_t i = 0; i < std::size_t(2 * n + 2); ++i) {
            storage_.push_back(std::make_unique<block_partial>());
            storage_.back()->sums = tallies(sizes_);
            free_records_.push_back(storage_.back().get());
        }
        threads_.reserve(std::size_t(n));
        for (std::int32_t i = 0; i < n; ++i) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error& e) {
                stop();
                throw run_error("cannot start worker thread " + std::to_string(i + 1) + " of " + std::to_string(n) +
                                ": " + e.what());
            }
        }
    }
    // Also on the way out of an error of the main thread (a block message that
    // does not fit, a checkpoint that cannot be written): the workers stop
    // instead of waiting for block records that are never given back.
    ~worker_team() { stop(); }
    worker_team(const worker_team&) = delete;
    worker_team& operator=(const worker_team&) = delete;

    const std::vector<std::int64_t>& blocks() const { return blocks_; }

    // The next block of this process, waiting while it runs and showing
    // `shown` photons done meanwhile. A worker's error is thrown here; so is
    // run_interrupted with the text `interrupted` makes, after a stop signal.
    block_partial& next(progress_line& progress, std::int64_t shown,
                        const std::function<std::string()>& interrupted) {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            if (error_) {
                std::exception_ptr e = error_;
                lock.unlock();
                stop();
                progress.clear();
                std::rethrow_exception(e);
            }
            if (*run_.options->stop != 0) {
                lock.unlock();
                stop();
                progress.clear();
                throw run_interrupted(interrupted());
            }
            if (block_partial* p = done_[taken_]) {
                done_[taken_++] = nullptr;
                return *p;
            }
            cv_.wait_for(lock, std::chrono::milliseconds(100));
            if (shown < run_.nphot) progress.update(shown);
        }
    }

    void release(block_partial& p) {
        p.lines.clear();
        p.trace.clear();
        {
            std::lock_guard<std::mutex> lock(m_);
            free_records_.push_back(&p);
        }
        cv_.notify_all();
    }

    // Waits for the workers to end; throws a worker's error.
    void join() {
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = stop_ || error_ != nullptr;
        }
        cv_.notify_all();
        for (std::jthread& t : threads_)
            if (t.joinable()) t.join();
        threads_.clear();
        if (error_) std::rethrow_exception(error_);
    }

private:
    void stop() {
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
        for (std::jthread& t : threads_)
            if (t.joinable()) t.join();
        threads_.clear();
    }

    // One worker: claims a block record and the next block, runs the block's
    // photons each from its own stream, and hands the block over.
    void work() {
        std::string lines, trace;
        photon_stream stream;
        try {
            tallies mine(sizes_);
            search_scratch searches = run_.searches->for_worker();
            searches.trace.capture = &trace;
            photon_worker worker(run_.peel, mine, searches);
            say_capture = &lines;
            for (;;) {
                block_partial* p = nullptr;
                std::size_t slot = 0;
                {
                    std::unique_lock<std::mutex> lock(m_);
                    cv_.wait(lock, [&] { return stop_ || !free_records_.empty(); });
                    if (stop_ || next_claim_ == blocks_.size()) break;
                    p = free_records_.back();
                    free_records_.pop_back();
                    slot = next_claim_++;
                }
                const std::int64_t block = blocks_[slot];
                const std::int64_t first = first_photon(block), last = last_photon(block, run_.nphot);
                mine.begin_block(first);
                double inidist = 0.0;  // each block starts as the run does
                if (run_photon_range(run_, lc_, worker, first, last, &stream, &stop_, nullptr, inidist) <
                    last - first + 1) {
                    std::lock_guard<std::mutex> lock(m_);
                    free_records_.push_back(p);
                    break;
                }
                gather_search_counts(mine, searches);
                p->block = block;
                mine.take(p->sums);
                p->lines.swap(lines);
                p->trace.swap(trace);
                {
                    std::lock_guard<std::mutex> lock(m_);
                    done_[slot] = p;
                }
                cv_.notify_all();
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(m_);
            if (!error_) error_ = std::current_exception();
            stop_ = true;
        }
        cv_.notify_all();
        say_capture = nullptr;
    }

    const engine_run& run_;
    const launch_constants lc_;
    const tally_sizes sizes_;
    std::vector<std::int64_t> blocks_;  // this process's blocks, in order

    std::mutex m_;
    std::condition_variable cv_;
    std::size_t next_claim_ = 0;                // index in blocks_ of the next block to run
    std::size_t taken_ = 0;                     // ... and of the next the main thread takes
    std::vector<block_partial*> done_;          // finished blocks by index, until taken
    std::vector<block_partial*> free_records_;  // pool of block records not in use
    std::vector<std::unique_ptr<block_partial>> storage_;
    std::atomic<bool> stop_{false};
    std::exception_ptr error_;
    std::vector<std::jthread> threads_;  // last: joined before the members they use go
};

// The first process of a distributed run: every block of the run in order,
// this process's from its workers, the others' from their processes; then
// the other processes' CPU seconds.
void gather_blocks(const engine_run& run, worker_team& team, std::int64_t first_block, progress_line& progress,
                   block_sink& sink) {
    const std::int64_t nblocks = block_count(run.nphot);
    const std::int32_t ranks = run.options->parallel.ranks;
    block_partial remote;
    remote.sums = tallies(block_sizes(run));
    std::string message;
    for (std::int64_t b = first_block; b < nblocks; ++b) {
        const std::int64_t done = std::min<std::int64_t>(b * photons_per_block, run.nphot);
        if (b % ranks == 0) {
            block_partial& p = team.next(progress, done, [&] {
                return interrupted_text(run, run_mode::blocks, done, b, 0.0);
            });
            sink.put(p);
            team.release(p);
            continue;
        }
        const int from = int(b % ranks);
        process_group::receive(from, message);
        deserialize(message, remote, "distributed run: message of process " + std::to_string(from));
        if (remote.block != b)
            throw run_error("distributed run: process " + std::to_string(from) + " sent block " +
                            std::to_string(remote.block) + " where block " + std::to_string(b) +
                            " was due (are all processes running the same deck?)");
        sink.put(remote);
    }
    for (int r = 1; r < ranks; ++r) {
        process_group::receive(r, message);
        double cpu[2];
        if (message.size() != sizeof cpu)
            throw run_error("distributed run: process " + std::to_string(r) +
                            " sent a CPU-time message of the wrong length");
        std::memcpy(cpu, message.data(), sizeof cpu);
        run.session->remote_cpu.loop += cpu[0];
        run.session->remote_cpu.engine += cpu[1];
    }
}

// This process's blocks in order to the sink (a part's blocks to its partial
// file, a helper process's to the first process); `done_before`: the photons
// done when the first came (counted in the interruption message).
void pass_own_blocks(const engine_run& run, worker_team& team, progress_line& progress, block_sink& sink) {
    std::int64_t done = 0;
    for (const std::int64_t b : team.blocks()) {
        block_partial& p =
            team.next(progress, done, [&] { return interrupted_text(run, run_mode::blocks, done, b, 0.0); });
        sink.put(p);
        team.release(p);
        done += last_photon(b, run.nphot) - first_photon(b) + 1;
    }
}

}  // namespace

void replay_photon(const particle_field& field, const engine_run& run, std::int64_t n) {
    if (n > run.nphot)
        throw limit_error("--photon " + std::to_string(n) + ": the run launches " + std::to_string(run.nphot) +
                          " photons");
    const launch_constants lc(field, run);
    photon_worker worker(run.peel, *run.totals, *run.searches);
    photon_stream stream;
    double inidist = 0.0;
    const std::int64_t first = first_photon((n - 1) / photons_per_block);
    if (first < n) {
        // Their report lines and trace records are left out.
        std::string left_out;
        struct capture {
            capture(std::string& s, search_scratch& searches) : before(say_capture), trace(searches.trace) {
                say_capture = &s;
                trace.capture = &s;
            }
            ~capture() {
                say_capture = before;
                trace.capture = nullptr;
            }
            std::string* before;
            slice_trace& trace;
        } quiet(left_out, *run.searches);
        run_photon_range(run, lc, worker, first, n - 1, &stream, nullptr, nullptr, inidist);
    }
    run_photon_range(run, lc, worker, n, n, &stream, nullptr, nullptr, inidist);
}

void run_photons_parallel(const particle_field& field, const engine_run& run) {
    const parallel_options& po = run.options->parallel;
    const run_state_options& so = run.options->state;
    double cpu_loop = 0.0;
    tim(cpu_loop);
    if (!so.merge.empty()) {
        progress_line progress(run.nphot, 0, run.options->quiet);
        merge_partial_files(run, progress);
        progress.clear();
        run.exact->round_into_total();
        return;
    }
    const std::int64_t nblocks = block_count(run.nphot);
    std::int64_t first_block = 0, end_block = nblocks;
    std::int64_t photons_before = 0;
    if (so.parts > 0) {
        first_block = part_first_block(nblocks, so.part, so.parts);
        end_block = part_first_block(nblocks, so.part + 1, so.parts);
    } else if (po.rank == 0 && !so.resume.empty()) {
        const resume_point at = resume_run(run, run_mode::blocks);
        first_block = at.next_block;
        photons_before = at.photons_done;
    }
    if (po.ranks > 1) {
        // The first process alone reads the checkpoint: the others start where it says.
        std::string start = std::to_string(first_block);
        process_group::broadcast(start);
        first_block = std::stoll(start);
    }

    worker_team team(field, run, first_block, end_block);
    if (so.parts > 0) {
        const std::int64_t part_photons =
            end_block > first_block ? last_photon(end_block - 1, run.nphot) - first_photon(first_block) + 1 : 0;
        progress_line progress(part_photons, 0, run.options->quiet);
        partial_file_sink sink(run, first_block, end_block);
        pass_own_blocks(run, team, progress, sink);
        team.join();
        progress.clear();
        sink.finish();
    } else if (po.rank == 0) {
        progress_line progress(run.nphot, photons_before, run.options->quiet);
        totals_sink sink(run, progress);
        gather_blocks(run, team, first_block, progress, sink);
        team.join();
        sink.finish();
        run.exact->round_into_total();
    } else {
        progress_line progress(run.nphot, 0, true);
        first_process_sink sink(run, cpu_loop);
        pass_own_blocks(run, team, progress, sink);
        team.join();
        sink.finish();
    }
}

}  // namespace quillet
