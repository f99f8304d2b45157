// The threaded photon loop. Workers claim the blocks of this process in
// increasing order, trace each photon with its own stream, and hand the
// block's sums over; the main thread adds the blocks to the run's sums in
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
#include <type_traits>
#include <vector>

#include "engine/engine_records.h"
#include "engine/photon_loop.h"
#include "engine/photon_state.h"
#include "engine/process_group.h"
#include "engine/run_interrupt.h"
#include "engine/run_state.h"
#include "field/field_records.h"
#include "format/free_writer.h"
#include "format/run_error.h"
#include "numeric/ran1.h"
#include "numeric/tim.h"
#include "scatter/scatter_records.h"
#include "trace/trace_records.h"

namespace quillet {

parallel_options_t parallel_options = {false, 1, 0, 1, 0};
thread_local constinit worker_hits_t* worker_hits = nullptr;
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

// One block's sums as the worker that ran it left them.
struct block_partial {
    std::int64_t block = 0;
    block_sums sums;                    // in the order of the per-photon state
    std::vector<image_hit> image;       // in photon order
    std::vector<hist_hit> hist;         // in photon order
    std::string lines;                  // report lines of the block's photons
    std::vector<float> escapes;         // lat, fii, weight, sca per photon (sent by helper processes only)

    void clear() {
        sums.sums.clear();
        sums.counts.clear();
        image.clear();
        hist.clear();
        lines.clear();
        escapes.clear();
    }
};

// Byte image of a block record, for the transfer between processes.
template <class T>
void put_raw(std::string& out, const T* p, std::size_t n) {
    out.append(reinterpret_cast<const char*>(p), n * sizeof(T));
}

std::string serialize(const block_partial& p) {
    std::string out;
    const std::int64_t head[5] = {p.block, std::int64_t(p.image.size()), std::int64_t(p.hist.size()),
                                  std::int64_t(p.lines.size()), std::int64_t(p.escapes.size())};
    put_raw(out, head, 5);
    write_block_sums(p.sums, out);
    put_raw(out, p.image.data(), p.image.size());
    put_raw(out, p.hist.data(), p.hist.size());
    put_raw(out, p.lines.data(), p.lines.size());
    put_raw(out, p.escapes.data(), p.escapes.size());
    return out;
}

void deserialize(const std::string& in, block_partial& p) {
    std::size_t at = 0;
    auto take = [&](auto* dst, std::int64_t n) {
        using T = std::remove_pointer_t<decltype(dst)>;
        const std::size_t bytes = std::size_t(n) * sizeof(T);
        if (n < 0 || bytes > in.size() - at) throw run_error("distributed run: a block message is cut short");
        std::memcpy(static_cast<void*>(dst), in.data() + at, bytes);
        at += bytes;
    };
    std::int64_t head[5];
    take(head, 5);
    for (int i = 1; i < 5; ++i)
        if (head[i] < 0 || head[i] > std::int64_t(in.size())) throw run_error("distributed run: a garbled block message");
    p.block = head[0];
    read_block_sums(in, at, p.sums, "distributed run: block message");
    p.image.resize(std::size_t(head[1]));
    p.hist.resize(std::size_t(head[2]));
    p.lines.resize(std::size_t(head[3]));
    p.escapes.resize(std::size_t(head[4]));
    take(p.image.data(), head[1]);
    take(p.hist.data(), head[2]);
    take(p.lines.data(), head[3]);
    take(p.escapes.data(), head[4]);
    if (at != in.size()) throw run_error("distributed run: a block message is longer than its contents");
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
    const photon_state_copy start;
    const std::int32_t ntest;
    const std::int64_t nphot;
    const std::int32_t rank, ranks;
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
    shared_run(const particle_field& field, const engine_run& r, std::int64_t first_block, std::int64_t end_block,
               bool keep_escapes)
        : run(r), lc(field, r), ntest(r.ntest), nphot(r.nphot), rank(parallel_options.rank),
          ranks(parallel_options.ranks), send_escapes(keep_escapes) {
        for (std::int64_t b = first_block; b < end_block; ++b)
            if (b % ranks == rank) blocks.push_back(b);
        done.assign(blocks.size(), nullptr);
    }
    const bool send_escapes;  // the blocks carry their escape records (a helper process, a partial run)
};

// Runs one block on this worker; false when the run was stopped part-way.
bool run_block(shared_run& sh, std::int64_t block, photon_stream& stream) {
    const std::int64_t first = first_photon(block), last = last_photon(block, sh.nphot);
    double inidist = 0.0;  // each block starts as the run does
    return run_photon_range(sh.run, sh.lc, first, last, &stream, &sh.stop, nullptr, inidist) == last - first + 1;
}

// Moves this worker's block sums into p and clears them for the next block.
void take_block(shared_run& sh, std::int64_t block, worker_hits_t& hits, std::string& lines, block_partial& p) {
    p.block = block;
    take_block_sums(sh.ntest, p.sums);
    p.image.swap(hits.image);
    p.hist.swap(hits.hist);
    p.lines.swap(lines);
    if (sh.send_escapes && sh.run.escape_on) {
        const std::int64_t last = last_photon(block, sh.nphot);
        for (std::int64_t iphot = first_photon(block); iphot <= last; ++iphot)
            p.escapes.insert(p.escapes.end(),
                             {com5.esc_lat[iphot], com5.esc_fii[iphot], com5.esc_weight[iphot], com5.esc_sca[iphot]});
    }
}

void worker_main(shared_run& sh) {
    worker_hits_t hits;
    std::string lines;
    photon_stream stream;
    try {
        worker_records own;
        sh.start.adopt();
        worker_hits = &hits;
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
            if (!run_block(sh, block, stream)) {
                std::lock_guard<std::mutex> lock(sh.m);
                sh.free_records.push_back(p);
                break;
            }
            take_block(sh, block, hits, lines, *p);
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
    worker_hits = nullptr;
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

// Adds one block to the run's sums (the main thread's records), replaying its
// image and histogram entries and printing its report lines.
void add_block(const shared_run& sh, const block_partial& p) {
    add_block_sums(sh.ntest, p.sums);
    for (const image_hit& h : p.image) apply_hit(h);
    for (const hist_hit& h : p.hist) apply_hit(h);
    if (!p.lines.empty()) {
        say_text(p.lines);
        if (!run_state_options.checkpoint.empty()) photon_lines += p.lines;
    }
    if (!p.escapes.empty()) {
        std::size_t e = 0;
        const std::int64_t last = last_photon(p.block, sh.nphot);
        for (std::int64_t iphot = first_photon(p.block); iphot <= last && e + 4 <= p.escapes.size(); ++iphot) {
            com5.esc_lat[iphot] = p.escapes[e++];
            com5.esc_fii[iphot] = p.escapes[e++];
            com5.esc_weight[iphot] = p.escapes[e++];
            com5.esc_sca[iphot] = p.escapes[e++];
        }
    }
}

// A remote block whose sums do not fit this run (a peer started on another
// deck) would be added out of place.
void check_remote(const shared_run& sh, const block_partial& p, std::int64_t expected) {
    if (p.block != expected || p.sums.ntest != sh.ntest)
        throw run_error("distributed run: process " + std::to_string(expected % sh.ranks) + " sent block " +
                        std::to_string(p.block) + " where block " + std::to_string(expected) +
                        " was due (are all processes running the same deck?)");
    for (const image_hit& h : p.image)
        if (h.plane < -1 || h.plane > n_image_planes || h.cell < 1 || h.cell > image_cells)
            throw run_error("distributed run: a block message names an image cell outside the image");
    for (const hist_hit& h : p.hist)
        if (h.plane < 1 || h.plane > n_hist_planes || h.lat < 1 || h.lat > n_hist_lat || h.fii < 1 || h.fii > n_hist_fii)
            throw run_error("distributed run: a block message names a histogram cell outside the histogram");
}

}  // namespace

namespace {

std::int64_t block_count(std::int64_t nphot) { return (nphot + photons_per_block - 1) / photons_per_block; }

// --merge: every block of the partial files, added in block order as the
// one-process threaded run adds them.
void merge_partial_files(const particle_field& field, const engine_run& run) {
    const std::int64_t nblocks = block_count(run.nphot);
    const std::vector<state_contents> parts = read_partial_files(run, nblocks);
    shared_run sh(field, run, 0, 0, false);
    progress_line progress(run.nphot);
    block_partial p;
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
            deserialize(bytes, p);
            check_remote(sh, p, b);
            add_block(sh, p);
            p.clear();
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
    photon_stream stream;
    double inidist = 0.0;
    const std::int64_t first = first_photon((n - 1) / photons_per_block);
    if (first < n) {
        std::string left_out;
        struct capture {
            explicit capture(std::string& s) { say_capture = &s; }
            ~capture() { say_capture = nullptr; }
        } quiet(left_out);
        run_photon_range(run, lc, first, n - 1, &stream, nullptr, nullptr, inidist);
    }
    run_photon_range(run, lc, n, n, &stream, nullptr, nullptr, inidist);
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

    shared_run sh(field, run, first_block, end_block, parallel_options.rank != 0 || partial);
    const std::int32_t nworkers =
        std::int32_t(std::min<std::size_t>(std::size_t(parallel_options.threads), sh.blocks.size()));
    const std::size_t pool = std::size_t(2 * nworkers + 2);
    for (std::size_t i = 0; i < pool; ++i) {
        sh.storage.push_back(std::make_unique<block_partial>());
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
        p->clear();
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
                deserialize(message, remote);
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
