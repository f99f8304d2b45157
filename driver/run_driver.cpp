#include "driver/run_driver.h"

#include <cstdio>
#include <optional>

#include "driver/parameter_deck.h"
#include "driver/run_parameters.h"
#include "driver/run_report.h"
#include "engine/mcnew_sub_2pos_image.h"
#include "engine/run_memory.h"
#include "format/run_error.h"
#include "format/free_reader.h"
#include "format/free_writer.h"
#include "numeric/tim.h"
#include "planet/saturn_illumination.h"

namespace quillet {

void run_quillet(std::FILE* deck, const std::string& source, const run_options& options) {
    run_parameters p;

    free_reader in(deck, source);
    read_deck(in, p);
    check_capacities(p, source);
    check_input_files(p, source);
    if ((options.parallel.ranks > 1 || options.state.parts > 0) && p.idebug >= 1)
        throw limit_error(source + ": " +
                          (options.parallel.ranks > 1 ? "a distributed run spreads the photons over processes"
                                                      : "--part writes its blocks to a partial file") +
                          ", but deck record 32 (idebug = " + std::to_string(p.idebug) +
                          ") asks for the trace file of every search, which one process writes in one run: run "
                          "in one process without --part, or set idebug to 0");
    if ((!options.state.checkpoint.empty() || !options.state.resume.empty()) &&
        (p.icheck >= 1 || p.idebug >= 1))
        throw limit_error(source + ": a checkpoint keeps the run's sums, but " +
                          (p.icheck >= 1 ? "deck record 19 (icheck = " + std::to_string(p.icheck) + ")"
                                         : "deck record 32 (idebug = " + std::to_string(p.idebug) + ")") +
                          " asks for per-photon traces, which it does not keep: leave out --checkpoint and "
                          "--resume, or set icheck and idebug to 0");
    p.nphot = p.nxphot * p.nyphot;  // a 32-bit count: checked above
    p.nphot_ori = p.nxphot * p.nyphot;

    // The run's tables from the deck's sizes, before the planet's photons
    // (the particle field is weighed too once its files are counted).
    require_memory(run_memory(run_sizes_of(p, options)));

    print_header(p);

    std::optional<planet_photons> planet;
    if (p.planet.isat >= 1) {
        planet = saturn_illumination(p.bsun, p.lonsun, p.nphot_ori, p.planet);
        p.nphot = planet->nphot_sat;
    }
    say("flux_sat,nphot", planet ? planet->flux_sat : 0.0, p.nphot);

    double cpu1 = 0.0, cpu2 = 0.0;
    tim(cpu1);
    const engine_result e = mcnew_sub_2pos_image(p, planet ? &*planet : nullptr, options);
    tim(cpu2);
    cpu2 += e.cpu_elsewhere;  // the other processes of a distributed run

    // A partial run ends with its partial file; the merge prints the summary.
    if (options.state.parts > 0) {
        say("partial file written:", options.state.partial);
        return;
    }
    if (options.parallel.photon > 0) {
        say("photon replayed, no result file written: iphot", options.parallel.photon);
        return;
    }
    print_closing(p, e, summarize(p.bsun, e.ndirect, p.nphot, cpu1, cpu2));
}

void run_quillet_text(std::string deck, const run_options& options) {
    std::FILE* f = ::fmemopen(deck.data(), deck.size() > 0 ? deck.size() : 1, "r");
    if (!f) throw input_error("standard input: cannot hold the deck in memory");
    if (deck.empty()) std::fgetc(f);  // an empty deck reads as empty
    try {
        run_quillet(f, "standard input", options);
    } catch (...) {
        std::fclose(f);
        throw;
    }
    std::fclose(f);
}

}  // namespace quillet
