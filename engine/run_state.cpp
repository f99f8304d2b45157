// Checkpoints, resumed runs and partial files: what the main thread's records
// hold after the photons done, written into and read back from the state file
// of format/state_file.h, and the checks that a saved state belongs to this
// deck, these inputs and this kind of run.
#include "engine/run_state.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/engine_records.h"
#include "engine/engine_run.h"
#include "engine/exact_totals.h"
#include "engine/tallies.h"
#include "engine/run_interrupt.h"
#include "format/free_writer.h"
#include "format/run_error.h"
#include "numeric/ran1.h"
#include "numeric/tim.h"

namespace quillet {

namespace {

std::string mode_text(run_mode m) {
    return m == run_mode::serial ? "the serial run (no --threads)" : "a threaded run (--threads N, any N)";
}

// The run's results as they stand, the searches' counters of this thread
// gathered into them first: the serial run's tallies (section TALY), or the
// exact totals of a run in blocks with the escape records of its photons
// done (section SUMS).
state_section save_results(const engine_run& run, run_mode mode, std::int64_t photons_done) {
    gather_search_counts(*run.totals, *run.searches);
    std::string out;
    if (mode == run_mode::serial) {
        run.totals->encode(out);
        return {"TALY", std::move(out)};
    }
    run.exact->encode(out, 1, photons_done);
    return {"SUMS", std::move(out)};
}

// ... in place of the cleared results of the set-up.
void load_results(const engine_run& run, run_mode mode, std::int64_t photons_done, const state_contents& c,
                  const std::string& file) {
    const std::string tag = mode == run_mode::serial ? "TALY" : "SUMS";
    const std::string& bytes = c.section(tag, file);
    const std::string what = file + ": section " + tag;
    std::size_t at = 0;
    try {
        if (mode == run_mode::serial) run.totals->decode(bytes, at, what);
        else run.exact->add_encoded(bytes, at, what, 1, photons_done);
    } catch (const input_error&) {
        throw;
    } catch (const run_error& e) {
        throw input_error(e.what());
    }
    if (at != bytes.size()) throw input_error(what + ": longer than its results");
}

// The CPU seconds of the work a state holds, photon loops and engine calls:
// this process's so far and those it took over (the earlier segments of a
// resumed run), so that a checkpoint counts every segment before it.
state_section cpu_section(const engine_run& run) {
    double now = 0.0;
    tim(now);
    byte_writer w;
    w.put(now - run.cpu_loop + run.session->remote_cpu.loop);
    w.put(now - run.cpu_entry + run.session->remote_cpu.engine);
    return {"CPU ", std::move(w.out)};
}

// ... added to those of this run (remote_cpu).
void add_saved_cpu(const state_contents& c, const std::string& file, remote_cpu_t& remote_cpu) {
    byte_reader r(c.section("CPU ", file), file + ": section CPU");
    const auto loop = r.get<double>();
    const auto engine = r.get<double>();
    r.finish();
    if (!(loop >= 0.0 && loop < 1e15 && engine >= 0.0 && engine < 1e15))
        throw input_error(file + ": section CPU: expected the CPU seconds of the photon loops and of the engine "
                          "calls, found " + free_format(loop) + " and " + free_format(engine));
    remote_cpu.loop += loop;
    remote_cpu.engine += engine;
}

std::string resume_hint(const run_state_options& o, run_mode mode) {
    const std::string& f = o.checkpoint;
    return "quillet --resume " + f + (mode == run_mode::blocks ? " --threads N" : "") + " < deck";
}

}  // namespace

void note_run_inputs(const engine_run& run, const text80& parfile) {
    std::vector<state_input>& inputs = run.session->inputs;
    inputs.clear();
    inputs.push_back({"deck", "standard input", sha256_of(run.options->state.deck_text)});
    auto file = [&](const char* role, const std::string& name) {
        inputs.push_back({role, name, sha256_of_file(name)});
    };
    file("particle position file", std::string(run.posfile.trimmed()));
    if (!parfile.is_junk()) file("engine parameter file", std::string(parfile.trimmed()));
    if (!run.posfile_haze.is_junk()) {
        file("haze particle file", std::string(run.posfile_haze.trimmed()));
        if (run.method_haze == 15 || run.method_haze == 16) file("haze phase-function table", "mcphase_haze.dat");
    }
    if (run.method == 15 || run.method == 16) file("phase-function table", "mcphase.dat");
}

// Writes the checkpoints of a run on a thread of its own, so that the photons
// go on while a checkpoint is flushed to disk (two fsync calls, about 2 ms
// each here against 2.5 to 5 ms of photons per block: written in line, a
// checkpoint after every block cost 20 to 34 % of the photons/s). One
// checkpoint is written at a time; one that is taken while the previous is
// still being written waits in its place, and a newer one replaces it there.
// A write that fails is reported at the next hand-over or at the end.
class checkpoint_writer {
public:
    explicit checkpoint_writer(const run_options& options) : options_(options) {}
    ~checkpoint_writer() {
        {
            std::lock_guard<std::mutex> lock(m_);
            quit_ = true;
        }
        cv_.notify_all();
    }

    void submit(state_contents c) {
        std::unique_lock<std::mutex> lock(m_);
        rethrow_error(lock);
        pending_ = std::move(c);
        if (!thread_.joinable()) thread_ = std::jthread([this] { loop(); });
        cv_.notify_all();
    }

    // Waits until every checkpoint handed over is on disk.
    void drain() {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return !pending_ && !busy_; });
        rethrow_error(lock);
    }

private:
    void rethrow_error(std::unique_lock<std::mutex>&) {
        if (!error_) return;
        std::exception_ptr e = error_;
        error_ = nullptr;
        pending_.reset();
        std::rethrow_exception(e);
    }

    void loop() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            cv_.wait(lock, [&] { return quit_ || pending_; });
            if (!pending_) return;
            state_contents c = std::move(*pending_);
            pending_.reset();
            busy_ = true;
            lock.unlock();
            try {
                write_state_file(options_.state.checkpoint, c);
            } catch (...) {
                lock.lock();
                error_ = std::current_exception();
                busy_ = false;
                cv_.notify_all();
                continue;
            }
            lock.lock();
            busy_ = false;
            cv_.notify_all();
        }
    }

    const run_options& options_;
    std::mutex m_;
    std::condition_variable cv_;
    std::optional<state_contents> pending_;
    bool busy_ = false, quit_ = false;
    std::exception_ptr error_;
    std::jthread thread_;  // last: joined before the members it uses go
};

run_session::run_session(const run_options& o) : options(o) {}
run_session::~run_session() = default;

checkpoint_writer& run_session::writer() {
    if (!writer_) writer_ = std::make_unique<checkpoint_writer>(options);
    return *writer_;
}

void submit_checkpoint(const engine_run& run, run_mode mode, std::int64_t photons_done, std::int64_t next_block,
                       double inidist) {
    run.session->writer().submit(checkpoint_contents(run, mode, photons_done, next_block, inidist));
}

void finish_checkpoints(const engine_run& run) { run.session->writer().drain(); }

void write_checkpoint(const engine_run& run, run_mode mode, std::int64_t photons_done, std::int64_t next_block,
                      double inidist) {
    run.session->writer().drain();
    write_state_file(run.options->state.checkpoint, checkpoint_contents(run, mode, photons_done, next_block, inidist));
}

state_contents checkpoint_contents(const engine_run& run, run_mode mode, std::int64_t photons_done,
                                   std::int64_t next_block, double inidist) {
    state_contents c;
    c.version = run.options->state.version;
    c.kind = state_kind::checkpoint;
    c.inputs = run.session->inputs;
    {
        byte_writer w;
        w.put(std::uint32_t(mode));
        w.put(std::int64_t(run.nphot));
        w.put(run.ntest);
        w.put(photons_done);
        w.put(next_block);
        c.sections.push_back({"MODE", std::move(w.out)});
    }
    c.sections.push_back(save_results(run, mode, photons_done));
    c.sections.push_back({"LINE", run.session->photon_lines});
    c.sections.push_back(cpu_section(run));
    if (mode == run_mode::serial) {
        byte_writer w;
        w.put(*run.serial_draws);
        w.put(inidist);
        // The launch-grid column and row of the last photon done (0 and 1
        // before any, and without a launch grid): kept in the file for its
        // layout, never needed to resume.
        const bool grid = run.isquare >= 1 && photons_done >= 1;
        w.put(grid ? std::int32_t((photons_done - 1) % run.nxphot + 1) : std::int32_t(0));
        w.put(grid ? std::int32_t((photons_done - 1) / run.nxphot + 1) : std::int32_t(1));
        c.sections.push_back({"SERL", std::move(w.out)});
    }
    return c;
}

resume_point resume_run(const engine_run& run, run_mode mode) {
    const run_state_options& o = run.options->state;
    run_session& session = *run.session;
    const std::string& file = o.resume;
    const state_contents c = read_state_file(file, o.version);
    if (c.kind != state_kind::checkpoint)
        throw input_error(file + ": a partial file (part " + std::to_string(c.part) + " of " +
                          std::to_string(c.parts) + "), not a checkpoint: partial files are combined with --merge");
    const std::string diff = input_difference(c.inputs, session.inputs);
    if (!diff.empty()) throw input_error(file + ": cannot resume this run: " + diff);

    resume_point at;
    {
        byte_reader r(c.section("MODE", file), file + ": section MODE");
        const auto saved_mode = run_mode(r.get<std::uint32_t>());
        const auto nphot = r.get<std::int64_t>();
        const auto ntest = r.get<std::int32_t>();
        at.photons_done = r.get<std::int64_t>();
        at.next_block = r.get<std::int64_t>();
        r.finish();
        if (saved_mode != mode)
            throw input_error(file + ": the checkpoint was made by " + mode_text(saved_mode) +
                              "; resume it the same way, not with " + mode_text(mode));
        if (nphot != run.nphot || ntest != run.ntest || at.photons_done < 0 || at.photons_done > nphot ||
            at.next_block < 0)
            throw input_error(file + ": its run (" + std::to_string(nphot) + " photons, " + std::to_string(ntest) +
                              " directions) is not this one (" + std::to_string(run.nphot) + " photons, " +
                              std::to_string(run.ntest) + " directions)");
        // A threaded run's checkpoint is taken after whole blocks: the next
        // block is the one after its photons (a resumed run starts there).
        const std::int64_t nblocks = block_count(nphot);
        if (mode == run_mode::blocks &&
            (at.next_block > nblocks ||
             at.photons_done != std::min<std::int64_t>(at.next_block * photons_per_block, nphot)))
            throw input_error(file + ": section MODE: " + std::to_string(at.photons_done) +
                              " photons done do not end where its next block (" + std::to_string(at.next_block) +
                              " of " + std::to_string(nblocks) + ") starts");
    }
    load_results(run, mode, at.photons_done, c, file);
    if (mode == run_mode::serial) {
        byte_reader r(c.section("SERL", file), file + ": section SERL");
        *run.serial_draws = r.get<ran1_state>();
        at.inidist = r.get<double>();
        r.get<std::int32_t>();  // launch-grid column and row of the last photon done
        r.get<std::int32_t>();
        r.finish();
        if (!ran1_state_valid(*run.serial_draws))
            throw input_error(file + ": section SERL: not a state of the random number generator");
        // The start distance is kept for the next photon when the source lies in the ring plane.
        if (!(std::isfinite(at.inidist) && at.inidist >= 0.0))
            throw input_error(file + ": section SERL: expected a start distance of 0 or more, found " +
                              free_format(at.inidist));
    }
    add_saved_cpu(c, file, session.remote_cpu);
    session.photon_lines = c.section("LINE", file);
    say_text(session.photon_lines);
    if (o.checkpoint.empty()) session.photon_lines.clear();
    return at;
}

std::string interrupted_text(const engine_run& run, run_mode mode, std::int64_t done, std::int64_t next_block,
                             double inidist) {
    std::string s = "interrupted by " + signal_text(*run.options->stop) + " after " + std::to_string(done) +
                    " of " + std::to_string(run.nphot) + " photons; no result file was written";
    const run_state_options& o = run.options->state;
    if (o.parts > 0) return s + " (run the part again)";
    if (o.checkpoint.empty())
        return s + " (quillet --checkpoint FILE keeps the work of an interrupted run)";
    try {
        write_checkpoint(run, mode, done, next_block, inidist);
    } catch (const output_error& e) {
        return s + "; " + e.what();
    }
    return s + "; the checkpoint " + o.checkpoint + " keeps them: continue with " + resume_hint(o, mode);
}

state_contents partial_header(const engine_run& run, std::int64_t nblocks, std::int64_t first, std::int64_t end) {
    state_contents c;
    const run_state_options& o = run.options->state;
    c.version = o.version;
    c.kind = state_kind::partial;
    c.part = std::uint32_t(o.part);
    c.parts = std::uint32_t(o.parts);
    c.inputs = run.session->inputs;
    byte_writer w;
    w.put(std::int64_t(run.nphot));
    w.put(run.ntest);
    w.put(nblocks);
    w.put(first);
    w.put(end);
    c.sections.push_back({"PART", std::move(w.out)});
    c.sections.push_back(cpu_section(run));
    return c;
}

std::vector<partial_part> read_partial_files(const engine_run& run, std::int64_t nblocks) {
    const std::vector<std::string>& files = run.options->state.merge;
    std::vector<state_contents> parts;
    std::vector<std::string> names;
    for (const std::string& file : files) {
        state_contents c = read_state_file(file, run.options->state.version);
        if (c.kind != state_kind::partial)
            throw input_error(file + ": a checkpoint, not a partial file: --merge takes the files that "
                              "--part K/M --partial FILE wrote (a checkpoint is continued with --resume)");
        const std::string diff = input_difference(c.inputs, run.session->inputs);
        if (!diff.empty()) throw input_error(file + ": not a part of this run: " + diff);
        if (!parts.empty() && c.parts != parts.front().parts)
            throw input_error(file + ": part " + std::to_string(c.part) + " of " + std::to_string(c.parts) + ", but " +
                              names.front() + " is part " + std::to_string(parts.front().part) + " of " +
                              std::to_string(parts.front().parts));
        // The part numbers are counted as int32 (part + 1 included).
        if (c.part < 1 || c.part > c.parts || c.parts > std::uint32_t(std::numeric_limits<std::int32_t>::max() - 1))
            throw input_error(file + ": names part " + std::to_string(c.part) + " of " + std::to_string(c.parts));
        for (std::size_t i = 0; i < parts.size(); ++i)
            if (parts[i].part == c.part)
                throw input_error(file + ": part " + std::to_string(c.part) + " of " + std::to_string(c.parts) +
                                  " is given twice (also " + names[i] + ")");
        byte_reader r(c.section("PART", file), file + ": section PART");
        const auto nphot = r.get<std::int64_t>();
        const auto ntest = r.get<std::int32_t>();
        const auto nb = r.get<std::int64_t>();
        const auto first = r.get<std::int64_t>();
        const auto end = r.get<std::int64_t>();
        r.finish();
        if (nphot != run.nphot || ntest != run.ntest || nb != nblocks ||
            first != part_first_block(nblocks, std::int32_t(c.part), std::int32_t(c.parts)) ||
            end != part_first_block(nblocks, std::int32_t(c.part) + 1, std::int32_t(c.parts)))
            throw input_error(file + ": its blocks (" + std::to_string(first) + " to " + std::to_string(end) + " of " +
                              std::to_string(nb) + ") are not part " + std::to_string(c.part) + " of " +
                              std::to_string(c.parts) + " of this run's " + std::to_string(nblocks) + " blocks");
        add_saved_cpu(c, file, run.session->remote_cpu);
        names.push_back(file);
        parts.push_back(std::move(c));
    }
    if (parts.empty()) throw limit_error("--merge needs the partial files of the run");
    const std::uint32_t m = parts.front().parts;
    for (std::uint32_t k = 1; k <= m; ++k) {
        bool found = false;
        for (const state_contents& c : parts) found = found || c.part == k;
        if (!found)
            throw input_error("--merge: part " + std::to_string(k) + " of " + std::to_string(m) +
                              " is missing (given: " + std::to_string(parts.size()) + " of " + std::to_string(m) +
                              " parts)");
    }
    std::vector<std::size_t> order(parts.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return parts[a].part < parts[b].part; });
    std::vector<partial_part> sorted;
    for (std::size_t i : order) sorted.push_back({names[i], std::move(parts[i])});
    return sorted;
}

}  // namespace quillet
