// The threaded photon loop. Workers claim the blocks of this process in
// increasing order, trace each photon with its own stream, and hand the
// block's tallies over; the main thread adds the blocks to the run's total in
// block order (the first process of a distributed run also receives the
// other processes' blocks, which they send in their own block order). A
// bounded pool of block records keeps the memory fixed while a slow block
// holds up the ones after it.
#include "engine/parallel_run.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/engine_records.h"
#include "engine/photon_loop.h"
#include "engine/process_group.h"
#include "engine/run_interrupt.h"
#include "engine/run_state.h"
#include "engine/tallies.h"
#include "field/field_records.h"
#include "format/free_writer.h"
#include "format/run_error.h"
#include "numeric/ran1.h"
#include "numeric/tim.h"
#include "trace/trace_records.h"

namespace quillet {

parallel_options_t parallel_options = {false, 1, 0, 1, 0};
remote_cpu_t remote_cpu;

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

// One block's tallies as the worker that ran it left them.
struct block_partial {
    std::int64_t block = 0;
    tallies sums;       // the block's tables, its image and histogram hits in photon order
    std::string lines;  // report lines of the block's photons
};

// A block record for the messages between processes and the partial files:
// int64 block number, int64 length of the report lines, the lines, then the
// tallies (tallies::encode).
std::string serialize(const block_partial& p) {
    std::string out;
    const std::int64_t head[2] = {p.block, std::int64_t(p.lines.size())};
    out.append(reinterpret_cast<const char*>(head), sizeof head);
    out += p.lines;
    p.sums.encode(out);
    return out;
}

// ... and back, into a record whose tallies have the sizes of a worker's.
void deserialize(const std::string& in, block_partial& p, const std::string& what) {
    std::int64_t head[2];
    if (in.size() < sizeof head) throw run_error(what + ": cut short (no block number and line length)");
    std::memcpy(head, in.data(), sizeof head);
    std::size_t at = sizeof head;
    if (head[1] < 0 || std::uint64_t(head[1]) > in.size() - at)
        throw run_error(what + ": block " + std::to_string(head[0]) + ": its report lines (" +
                        std::to_string(head[1]) + " bytes) are cut short");
    p.block = head[0];
    p.lines.assign(in, at, std::size_t(head[1]));
    at += std::size_t(head[1]);
    p.sums.decode(in, at, what + ": block " + std::to_string(p.block));
    if (at != in.size()) throw run_error(what + ": block " + std::to_string(p.block) + " is longer than its contents");
}

std::int64_t first_photon(std::int64_t block) { return block * photons_per_block + 1; }
std::int64_t last_photon(std::int64_t block, std::int64_t nphot) {
    const std::int64_t last = (block + 1) * photons_per_block;
    return last < nphot ? last : nphot;
}

// The state the workers and the main thread share.
struct shared_run {
    const engine_run& run;
    const launch_constants lc;
    const std::int32_t ntest;
    const std::int64_t nphot;
    const std::int32_t rank, ranks;
    const tally_sizes worker_sizes;  // the tallies of one block
    std::vector<std::int64_t> blocks;  // this process's blocks, in order

    std::mutex m;
    std::condition_variable cv;
    std::size_t next_claim = 0;               // index in blocks of the next block to run
    std::vector<block_partial*> done;         // finished blocks by index, until added
    std::vector<block_partial*> free_records; // pool of block records not in use
    std::vector<std::unique_ptr<block_partial>> storage;
    std::atomic<bool> stop{false};
    std::exception_ptr error;

    // Blocks first_block .. end_block - 1 of the run, this process's share
    // of them (b mod ranks = rank).
    shared_run(const particle_field& field, const engine_run& r, std::int64_t first_block, std::int64_t end_block)
        : run(r), lc(field, r), ntest(r.ntest), nphot(r.nphot), rank(parallel_options.rank),
          ranks(parallel_options.ranks), worker_sizes(block_sizes(r)) {
        for (std::int64_t b = first_block; b < end_block; ++b)
            if (b % ranks == rank) blocks.push_back(b);
        done.assign(blocks.size(), nullptr);
    }
    static tally_sizes block_sizes(const engine_run& r) {
        tally_sizes s = r.totals->sizes;
        s.collect = true;
        s.escapes = r.escape_on ? std::min<std::int64_t>(photons_per_block, r.nphot) : 0;
        return s;
    }
};

// Runs one block on this worker; false when the run was stopped part-way.
bool run_block(shared_run& sh, photon_worker& worker, std::int64_t block, photon_stream& stream, tallies& own) {
    const std::int64_t first = first_photon(block), last = last_photon(block, sh.nphot);
    own.begin_block(first);
    double inidist = 0.0;  // each block starts as the run does
    return run_photon_range(sh.run, sh.lc, worker, first, last, &stream, &sh.stop, nullptr, inidist) ==
           last - first + 1;
}

void worker_main(shared_run& sh) {
    std::string lines;
    photon_stream stream;
    try {
        tallies mine(sh.worker_sizes);
        search_scratch searches = sh.run.searches->for_worker();
        photon_worker worker(sh.run.peel, mine, searches);
        say_capture = &lines;
        for (;;) {
            block_partial* p = nullptr;
            std::size_t slot = 0;
            {
                std::unique_lock<std::mutex> lock(sh.m);
                sh.cv.wait(lock, [&] { return sh.stop || !sh.free_records.empty(); });
                if (sh.stop || sh.next_claim == sh.blocks.size()) break;
                p = sh.free_records.back();
                sh.free_records.pop_back();
                slot = sh.next_claim++;
            }
            const std::int64_t block = sh.blocks[slot];
            if (!run_block(sh, worker, block, stream, mine)) {
                std::lock_guard<std::mutex> lock(sh.m);
                sh.free_records.push_back(p);
                break;
            }
            gather_search_counts(mine, searches);
            p->block = block;
            mine.take(p->sums);
            p->lines.swap(lines);
            {
                std::lock_guard<std::mutex> lock(sh.m);
                sh.done[slot] = p;
            }
            sh.cv.notify_all();
        }
    } catch (...) {
        std::lock_guard<std::mutex> lock(sh.m);
        if (!sh.error) sh.error = std::current_exception();
        sh.stop = true;
    }
    sh.cv.notify_all();
    say_capture = nullptr;
}

// The workers of this process: ordinary threads with default stacks (the
// large per-photon tables of each worker live on the heap).
class worker_team {
public:
    worker_team(shared_run& sh, std::int32_t n) : sh_(sh) {
        threads_.reserve(std::size_t(n));
        for (std::int32_t i = 0; i < n; ++i) {
            try {
                threads_.emplace_back([&sh] { worker_main(sh); });
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

    void join() {
        {
            std::lock_guard<std::mutex> lock(sh_.m);
            sh_.stop = sh_.stop || sh_.error != nullptr;
        }
        sh_.cv.notify_all();
        for (std::jthread& t : threads_)
            if (t.joinable()) t.join();
        threads_.clear();
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(sh_.m);
            sh_.stop = true;
        }
        sh_.cv.notify_all();
        join();
    }

private:
    shared_run& sh_;
    std::vector<std::jthread> threads_;
};

// Adds one block to the run's tallies (replaying its image and histogram
// hits in photon order) and prints its report lines.
void add_block(const shared_run& sh, const block_partial& p) {
    sh.run.totals->add(p.sums);
    if (!p.lines.empty()) {
        say_text(p.lines);
        if (!run_state_options.checkpoint.empty()) photon_lines += p.lines;
    }
}

// A remote block that is not the one due (a peer started on another deck)
// would be added out of place.
void check_remote(const shared_run& sh, const block_partial& p, std::int64_t expected) {
    if (p.block != expected)
        throw run_error("distributed run: process " + std::to_string(expected % sh.ranks) + " sent block " +
                        std::to_string(p.block) + " where block " + std::to_string(expected) +
                        " was due (are all processes running the same deck?)");
}

}  // namespace

namespace {

std::int64_t block_count(std::int64_t nphot) { return (nphot + photons_per_block - 1) / photons_per_block; }

// --merge: every block of the partial files, added in block order as the
// one-process threaded run adds them.
void merge_partial_files(const particle_field& field, const engine_run& run) {
    const std::int64_t nblocks = block_count(run.nphot);
    const std::vector<state_contents> parts = read_partial_files(run, nblocks);
    shared_run sh(field, run, 0, 0);
    progress_line progress(run.nphot);
    block_partial p;
    p.sums = tallies(sh.worker_sizes);
    std::int64_t b = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string what = "part " + std::to_string(parts[i].part) + " of " + std::to_string(parts[i].parts);
        byte_reader r(parts[i].section("BLKS", what), what + ": section BLKS");
        const std::int64_t end = part_first_block(nblocks, std::int32_t(parts[i].part) + 1, std::int32_t(parts[i].parts));
        for (; b < end; ++b) {
            const auto n = r.get<std::uint64_t>();
            if (n > r.left()) throw input_error(what + ": block " + std::to_string(b) + " is cut short");
            std::string bytes(std::size_t(n), '\0');
            r.get_array(bytes.data(), bytes.size());
            try {
                deserialize(bytes, p, what + ": section BLKS");
                check_remote(sh, p, b);
            } catch (const run_error& e) {
                // The checks speak of block messages; this block comes from the file.
                throw input_error(what + ": section BLKS: block " + std::to_string(b) + " does not fit this run (" +
                                  e.what() + ")");
            }
            add_block(sh, p);
            if (stop_signal != 0)
                throw run_interrupted("interrupted by " + signal_text(stop_signal) + " while merging; no result file "
                                      "was written");
            progress.update(last_photon(b, run.nphot));
        }
        r.finish();
    }
}

}  // namespace

// --photon N: photon N of the threaded run alone, on this thread, from its
// own stream. The photons of its block before it run first with their report
// lines left out, so that it starts as it does in the whole run (a block
// carries the start distance from photon to photon when the source lies in
// the ring plane).
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
        std::string left_out;
        struct capture {
            explicit capture(std::string& s) { say_capture = &s; }
            ~capture() { say_capture = nullptr; }
        } quiet(left_out);
        run_photon_range(run, lc, worker, first, n - 1, &stream, nullptr, nullptr, inidist);
    }
    run_photon_range(run, lc, worker, n, n, &stream, nullptr, nullptr, inidist);
}

void run_photons_parallel(const particle_field& field, const engine_run& run) {
    if (parallel_options.photon > 0) return replay_photon(field, run, parallel_options.photon);
    double cpu_loop = 0.0;
    tim(cpu_loop);
    if (!run_state_options.merge.empty()) return merge_partial_files(field, run);
    const std::int64_t nblocks = block_count(run.nphot);
    const bool partial = run_state_options.parts > 0;
    std::int64_t first_block = 0, end_block = nblocks;
    std::int64_t photons_added = 0;
    if (partial) {
        first_block = part_first_block(nblocks, run_state_options.part, run_state_options.parts);
        end_block = part_first_block(nblocks, run_state_options.part + 1, run_state_options.parts);
    } else if (parallel_options.rank == 0 && !run_state_options.resume.empty()) {
        const resume_point at = resume_run(run, run_mode::blocks);
        first_block = at.next_block;
        photons_added = at.photons_done;
    }
    if (parallel_options.ranks > 1) {
        // The first process alone reads the checkpoint: the others start where it says.
        std::string start = std::to_string(first_block);
        process_group::broadcast(start);
        first_block = std::stoll(start);
    }

    shared_run sh(field, run, first_block, end_block);
    const std::int32_t nworkers =
        std::int32_t(std::min<std::size_t>(std::size_t(parallel_options.threads), sh.blocks.size()));
    const std::size_t pool = std::size_t(2 * nworkers + 2);
    for (std::size_t i = 0; i < pool; ++i) {
        sh.storage.push_back(std::make_unique<block_partial>());
        sh.storage.back()->sums = tallies(sh.worker_sizes);
        sh.free_records.push_back(sh.storage.back().get());
    }
    const std::int64_t part_photons =
        end_block > first_block ? last_photon(end_block - 1, sh.nphot) - first_photon(first_block) + 1 : 0;
    progress_line progress(partial ? part_photons : sh.nphot, partial ? 0 : photons_added);
    checkpoint_clock checkpoints;
    worker_team team(sh, nworkers);

    // The next finished block of this process, waiting while it runs.
    auto wait_local = [&](std::size_t slot, std::int64_t block) -> block_partial* {
        std::unique_lock<std::mutex> lock(sh.m);
        for (;;) {
            if (sh.error) {
                std::exception_ptr e = sh.error;
                lock.unlock();
                team.stop();
                progress.clear();
                std::rethrow_exception(e);
            }
            if (stop_signal != 0) {
                lock.unlock();
                team.stop();
                progress.clear();
                throw run_interrupted(interrupted_text(run, run_mode::blocks, photons_added, block, 0.0));
            }
            if (sh.done[slot]) return sh.done[slot];
            sh.cv.wait_for(lock, std::chrono::milliseconds(100));
            if (photons_added < sh.nphot) progress.update(photons_added);
        }
    };
    auto release = [&](std::size_t slot, block_partial* p) {
        p->lines.clear();
        {
            std::lock_guard<std::mutex> lock(sh.m);
            sh.done[slot] = nullptr;
            sh.free_records.push_back(p);
        }
        sh.cv.notify_all();
    };

    if (partial) {
        // This part's blocks, each kept apart for the merge.
        byte_writer blocks;
        for (std::size_t slot = 0; slot < sh.blocks.size(); ++slot) {
            block_partial* p = wait_local(slot, sh.blocks[slot]);
            const std::string bytes = serialize(*p);
            blocks.put(std::uint64_t(bytes.size()));
            blocks.out += bytes;
            photons_added += last_photon(sh.blocks[slot], sh.nphot) - first_photon(sh.blocks[slot]) + 1;
            release(slot, p);
        }
        team.join();
        if (sh.error) std::rethrow_exception(sh.error);
        progress.clear();
        state_contents c = partial_header(run, nblocks, first_block, end_block);
        c.sections.push_back({"BLKS", std::move(blocks.out)});
        write_state_file(run_state_options.partial, c);
        say("partial: part,parts,blocks,photons", run_state_options.part, run_state_options.parts,
            end_block - first_block, part_photons);
        return;
    }

    if (sh.rank == 0) {
        // Every block of the run in order: this process's from its workers,
        // the others' from their processes.
        block_partial remote;
        remote.sums = tallies(sh.worker_sizes);
        std::string message;
        std::size_t slot = 0;
        for (std::int64_t b = first_block; b < nblocks; ++b) {
            if (b % sh.ranks == 0) {
                block_partial* p = wait_local(slot, b);
                add_block(sh, *p);
                release(slot, p);
                ++slot;
            } else {
                process_group::receive(int(b % sh.ranks), message);
                deserialize(message, remote, "distributed run: message of process " + std::to_string(b % sh.ranks));
                check_remote(sh, remote, b);
                add_block(sh, remote);
            }
            photons_added = last_photon(b, sh.nphot);
            if (photons_added < sh.nphot) progress.update(photons_added);
            if (b + 1 < nblocks && checkpoints.due()) {
                submit_checkpoint(run, run_mode::blocks, photons_added, b + 1, 0.0);
                checkpoints.mark();
            }
        }
        for (int r = 1; r < sh.ranks; ++r) {
            process_group::receive(r, message);
            double cpu[2];
            if (message.size() != sizeof cpu)
                throw run_error("distributed run: process " + std::to_string(r) +
                                " sent a CPU-time message of the wrong length");
            std::memcpy(cpu, message.data(), sizeof cpu);
            remote_cpu.loop += cpu[0];
            remote_cpu.engine += cpu[1];
        }
    } else {
        // This process's blocks, in order, to the first process; then its CPU time.
        for (std::size_t slot = 0; slot < sh.blocks.size(); ++slot) {
            block_partial* p = wait_local(slot, sh.blocks[slot]);
            process_group::send(0, serialize(*p));
            release(slot, p);
        }
        team.join();
        if (sh.error) std::rethrow_exception(sh.error);
        double now = 0.0;
        tim(now);
        const double cpu[2] = {now - cpu_loop, now - run.cpu_entry};
        process_group::send(0, std::string(reinterpret_cast<const char*>(cpu), sizeof cpu));
    }
    team.join();
    if (sh.error) std::rethrow_exception(sh.error);
    if (checkpoints.on()) finish_checkpoints();
}

}  // namespace quillet
