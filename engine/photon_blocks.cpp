#include "engine/photon_blocks.h"

#include <algorithm>
#include <cstring>

#include "engine/exact_totals.h"
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
    run_.exact->add(p.sums);
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
    run_.exact->add(p.sums);
    lines_ += p.lines;
}

void partial_file_sink::finish() {
    const run_state_options& o = run_.options->state;
    const std::int64_t nblocks = block_count(run_.nphot);
    const std::int64_t photons = end_ > first_ ? last_photon(end_ - 1, run_.nphot) - first_photon(first_) + 1 : 0;
    state_contents c = partial_header(run_, nblocks, first_, end_);
    std::string sums;
    run_.exact->encode(sums, first_photon(first_), photons);
    c.sections.push_back({"SUMS", std::move(sums)});
    c.sections.push_back({"LINE", std::move(lines_)});
    write_state_file(o.partial, c);
    say("partial: part,parts,blocks,photons", o.part, o.parts, end_ - first_, photons);
}

void merge_partial_files(const engine_run& run, progress_line& progress) {
    const std::int64_t nblocks = block_count(run.nphot);
    for (const partial_part& part : read_partial_files(run, nblocks)) {
        const state_contents& c = part.contents;
        const std::string what =
            part.file + " (part " + std::to_string(c.part) + " of " + std::to_string(c.parts) + ")";
        const std::int64_t first = part_first_block(nblocks, std::int32_t(c.part), std::int32_t(c.parts));
        const std::int64_t end = part_first_block(nblocks, std::int32_t(c.part) + 1, std::int32_t(c.parts));
        const std::int64_t photons = end > first ? last_photon(end - 1, run.nphot) - first_photon(first) + 1 : 0;
        const std::string& sums = c.section("SUMS", part.file);
        std::size_t at = 0;
        try {
            run.exact->add_encoded(sums, at, what + ": section SUMS", first_photon(first), photons);
        } catch (const run_error& e) {
            throw input_error(std::string(e.what()) + " (the part does not fit this run)");
        }
        if (at != sums.size()) throw input_error(what + ": section SUMS is longer than its totals");
        say_text(c.section("LINE", part.file));
        if (end > first && end < nblocks) progress.update(last_photon(end - 1, run.nphot));
        if (*run.options->stop != 0)
            throw run_interrupted("interrupted by " + signal_text(*run.options->stop) + " while merging; no result file "
                                  "was written");
    }
}

}  // namespace quillet
