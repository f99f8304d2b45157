#include "engine/photon_blocks.h"

#include <algorithm>
#include <cstring>

#include "engine/process_group.h"
#include "engine/run_interrupt.h"
#include "format/free_writer.h"
#include "format/run_error.h"
#include "numeric/tim.h"
#include "trace/path_slice.h"

namespace quillet {

tally_sizes block_sizes(const engine_run& run) {
    tally_sizes s = run.totals->sizes;
    s.collect = true;
    s.escapes = run.escape_on ? std::min<std::int64_t>(photons_per_block, run.nphot) : 0;
    return s;
}

std::string serialize(const block_partial& p) {
    std::string out;
    const std::int64_t head[2] = {p.block, std::int64_t(p.lines.size())};
    out.append(reinterpret_cast<const char*>(head), sizeof head);
    out += p.lines;
    p.sums.encode(out);
    return out;
}

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

totals_sink::totals_sink(const engine_run& run, progress_line& progress)
    : run_(run), progress_(progress), checkpoints_(run.options->state) {}

void totals_sink::put(const block_partial& p) {
    run_.totals->add(p.sums);
    if (!p.lines.empty()) {
        say_text(p.lines);
        if (checkpoints_.on()) run_.session->photon_lines += p.lines;
    }
    append_slice_trace(*run_.searches, p.trace);
    const std::int64_t done = last_photon(p.block, run_.nphot);
    if (done < run_.nphot) progress_.update(done);
    if (p.block + 1 < block_count(run_.nphot) && checkpoints_.due()) {
        submit_checkpoint(run_, run_mode::blocks, done, p.block + 1, 0.0);
        checkpoints_.mark();
    }
}

void totals_sink::finish() {
    if (checkpoints_.on()) finish_checkpoints(run_);
}

void first_process_sink::put(const block_partial& p) { process_group::send(0, serialize(p)); }

void first_process_sink::finish() {
    double now = 0.0;
    tim(now);
    const double cpu[2] = {now - cpu_loop_, now - run_.cpu_entry};
    process_group::send(0, std::string(reinterpret_cast<const char*>(cpu), sizeof cpu));
}

void partial_file_sink::put(const block_partial& p) {
    const std::string bytes = serialize(p);
    blocks_.put(std::uint64_t(bytes.size()));
    blocks_.out += bytes;
}

void partial_file_sink::finish() {
    const run_state_options& o = run_.options->state;
    const std::int64_t nblocks = block_count(run_.nphot);
    state_contents c = partial_header(run_, nblocks, first_, end_);
    c.sections.push_back({"BLKS", std::move(blocks_.out)});
    write_state_file(o.partial, c);
    const std::int64_t photons = end_ > first_ ? last_photon(end_ - 1, run_.nphot) - first_photon(first_) + 1 : 0;
    say("partial: part,parts,blocks,photons", o.part, o.parts, end_ - first_, photons);
}

void merge_partial_files(const engine_run& run, block_sink& sink) {
    const std::int64_t nblocks = block_count(run.nphot);
    const std::vector<state_contents> parts = read_partial_files(run, nblocks);
    block_partial p;
    p.sums = tallies(block_sizes(run));
    std::int64_t b = 0;
    for (const state_contents& part : parts) {
        const std::string what = "part " + std::to_string(part.part) + " of " + std::to_string(part.parts);
        byte_reader r(part.section("BLKS", what), what + ": section BLKS");
        const std::int64_t end = part_first_block(nblocks, std::int32_t(part.part) + 1, std::int32_t(part.parts));
        for (; b < end; ++b) {
            const auto n = r.get<std::uint64_t>();
            if (n > r.left()) throw input_error(what + ": block " + std::to_string(b) + " is cut short");
            std::string bytes(std::size_t(n), '\0');
            r.get_array(bytes.data(), bytes.size());
            try {
                deserialize(bytes, p, what + ": section BLKS");
                if (p.block != b) throw run_error("block " + std::to_string(p.block) + " where block " +
                                                  std::to_string(b) + " was due");
            } catch (const run_error& e) {
                throw input_error(what + ": section BLKS: block " + std::to_string(b) + " does not fit this run (" +
                                  e.what() + ")");
            }
            sink.put(p);
            if (*run.options->stop != 0)
                throw run_interrupted("interrupted by " + signal_text(*run.options->stop) + " while merging; no result file "
                                      "was written");
        }
        r.finish();
    }
    sink.finish();
}

}  // namespace quillet
