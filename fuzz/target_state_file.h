// Fuzz entry for the checkpoint and partial file: the container's decoder
// and the restore of a run from it; see fuzz_targets.h.
//
// The restore runs against the small run of fuzz/state_run (its deck and
// particle field, 1001 photons in two blocks, two directions, escape file
// and a 4 x 3 test image), set up once: the field read, the run's
// values and its tallies as the engine's set-up leaves them, the digests of
// its inputs. Each input is the file handed to --resume (a checkpoint:
// restored as the serial run and as the threaded run) or to --merge (a
// partial file: its totals added to the run's). The seeds
// (fuzz/corpus/state_file, made by fuzz/make-state-seeds.sh) are real files
// of that run under the version "fuzz".
#pragma once

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_run.h"
#include "engine/exact_totals.h"
#include "engine/parallel_run.h"
#include "engine/run_options.h"
#include "engine/run_state.h"
#include "engine/tallies.h"
#include "trace/search_scratch.h"
#include "field/field_records.h"
#include "field/part_read_2pos.h"
#include "field/particle_field.h"
#include "format/run_error.h"
#include "format/state_file.h"
#include "fuzz/fuzz_targets.h"
#include "numeric/ran1.h"

namespace quillet::fuzz {

// The version the seeds are stamped with.
inline const std::string state_version = "fuzz";

struct state_run_setup {
    particle_field field;
    engine_run run;
    ran1_state draws;
    tally_sizes sizes;
    tallies totals;  // the run's tallies: run.totals
    std::unique_ptr<exact_totals> exact;  // their exact totals (a threaded run's): run.exact
    search_scratch searches;  // the run's searches: run.searches
    run_options options;      // run.options: the resume or merge of each input
    std::unique_ptr<run_session> session;  // run.session
    double latobs[3] = {0.0, 30.0, 45.0};
    double fiiobs[3] = {0.0, 20.0, 1090.0};
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fault("cannot read the run of the state-file target");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Once: `run_dir` holds fz.deck and fz.pos; the field is copied into the
// current folder, where the inputs are read.
inline state_run_setup& state_run(const std::string& run_dir) {
    static state_run_setup* s = [&] {
        auto* p = new state_run_setup;
        const std::string field = slurp(run_dir + "/fz.pos");
        write_file("fz.pos", reinterpret_cast<const std::uint8_t*>(field.data()), field.size());
        p->field.sredu = p->field.zredu = 1.0;
        field_build_options build;
        build.icheck = -1;
        build.testimage = text80("fz");
        part_read_2pos(p->field, text80("fz.pos"), text80("junk"), build);
        engine_run& r = p->run;
        r.nxphot = 77;
        r.nyphot = 13;
        r.nphot = 77 * 13;
        r.posfile = text80("fz.pos");
        r.posfile_haze = text80("junk");
        r.bsun = 30.0;
        r.ntest = 2;
        r.latobs = p->latobs;
        r.fiiobs = p->fiiobs;
        r.idum_deck = -7;
        r.serial_draws = &p->draws;
        r.method = r.method_haze = 2;
        r.nxpix = 4;
        r.nypix = 3;
        r.escape_on = true;
        r.hist_on = false;
        // The tallies as the engine's set-up sizes them for this run.
        p->sizes.ntest = r.ntest;
        p->sizes.nxpix = r.nxpix;
        p->sizes.nypix = r.nypix;
        p->sizes.hist = r.hist_on;
        p->sizes.escapes = r.escape_on ? r.nphot : 0;
        p->totals = tallies(p->sizes);
        r.totals = &p->totals;
        p->exact = std::make_unique<exact_totals>(p->totals);
        r.exact = p->exact.get();
        p->searches = search_scratch(p->field);
        r.searches = &p->searches;
        p->options.state.version = state_version;
        p->options.state.deck_text = slurp(run_dir + "/fz.deck");
        p->options.quiet = true;
        r.options = &p->options;
        p->session = std::make_unique<run_session>(p->options);
        r.session = p->session.get();
        note_run_inputs(r, text80("junk"));
        return p;
    }();
    return *s;
}

inline bool same_contents(const state_contents& a, const state_contents& b) {
    if (a.version != b.version || a.kind != b.kind || a.part != b.part || a.parts != b.parts ||
        a.inputs.size() != b.inputs.size() || a.sections.size() != b.sections.size())
        return false;
    for (std::size_t i = 0; i < a.inputs.size(); ++i)
        if (a.inputs[i].role != b.inputs[i].role || a.inputs[i].file != b.inputs[i].file ||
            a.inputs[i].digest != b.inputs[i].digest)
            return false;
    for (std::size_t i = 0; i < a.sections.size(); ++i)
        if (a.sections[i].tag != b.sections[i].tag || a.sections[i].bytes != b.sections[i].bytes) return false;
    return true;
}

// What became of an input, and the messages of its refusals in order (a
// checkpoint is tried as the serial run's, then as the threaded run's).
enum class state_outcome { refused, restored };
inline std::vector<std::string> refusals;

// The state file's bytes: decoded (and the decoded contents encoded and
// decoded again, unchanged), then given to the restore. A restored run must
// be one the run can continue: the serial generator draws in [0, 1], the
// threaded run starts at the block after its photons.
inline state_outcome state_file(const std::uint8_t* data, std::size_t size, const std::string& run_dir) {
    state_run_setup& s = state_run(run_dir);
    const engine_run& run = s.run;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    state_contents c;
    refusals.clear();
    try {
        // Sections of up to 64 MB (the fuzzer's memory limit is 2 GB; the
        // seeds' sections are below 1 MB): a file stating more is refused
        // here and never reaches the restore.
        c = decode_state(bytes, "fuzz.state", state_version, std::uint64_t(64) << 20);
    } catch (const run_error& e) {
        refusals.push_back(e.what());
        return state_outcome::refused;
    }
    try {
        if (!same_contents(decode_state(encode_state(c), "again", state_version), c))
            fault("the decoded contents do not come back through the encoder");
    } catch (const run_error&) {
        fault("the encoder's bytes of decoded contents are refused");
    }
    write_file("fuzz.state", data, size);
    run_state_options& o = s.options.state;
    o.resume = "fuzz.state";
    o.merge.clear();
    state_outcome outcome = state_outcome::refused;
    auto restore = [&](auto body) {
        // Fresh tallies, as the set-up leaves them (a refused input may have
        // left some tables decoded).
        s.totals = tallies(s.sizes);
        s.exact = std::make_unique<exact_totals>(s.totals);
        s.run.exact = s.exact.get();
        s.session->remote_cpu = {};
        try {
            body();
            outcome = state_outcome::restored;
        } catch (const run_error& e) {
            // A refusal names the file, or for a merge the part it read it as
            // (or the set of parts: "--merge: part 1 of 2 is missing").
            const std::string what = e.what();
            refusals.push_back(what);
            if (what.find("fuzz.state") == std::string::npos && what.rfind("part ", 0) != 0 &&
                what.rfind("--merge: ", 0) != 0)
                fault(("a refusal that names no file: " + what).c_str());
        }
    };
    if (c.kind == state_kind::checkpoint) {
        restore([&] {
            const resume_point at = resume_run(run, run_mode::serial);
            if (at.photons_done < 0 || at.photons_done > run.nphot) fault("serial resume outside the run's photons");
            // The start distance kept from the last photon is a distance.
            if (!(std::isfinite(at.inidist) && at.inidist >= 0.0))
                fault("serial resume with a start distance not finite");
            for (int i = 0; i < 1000; ++i) {
                std::int32_t one = 1;
                const float u = ran1(*run.serial_draws, one);
                if (!(u >= 0.0f && u <= 1.0f)) fault("the restored generator draws outside [0, 1]");
            }
        });
        // A checkpoint the serial run refuses, as the threaded run's.
        if (outcome == state_outcome::refused) restore([&] {
            const resume_point at = resume_run(run, run_mode::blocks);
            const std::int64_t next = at.next_block * photons_per_block;
            if (at.photons_done != (next < run.nphot ? next : run.nphot))
                fault("threaded resume: the next block does not follow the photons done");
        });
    } else {
        o.resume.clear();
        o.merge = {"fuzz.state"};
        restore([&] { run_photons_parallel(s.field, run); });
        o.merge.clear();
    }
    o.resume.clear();
    return outcome;
}

}  // namespace quillet::fuzz
