#include "driver/run_driver.h"

#include "driver/parameter_deck.h"
#include "driver/run_parameters.h"
#include "driver/run_report.h"
#include "engine/mcnew_sub_2pos_image.h"
#include "engine/parallel_run.h"
#include "engine/run_state.h"
#include "format/run_error.h"
#include "format/free_reader.h"
#include "format/free_writer.h"
#include "numeric/tim.h"
#include "planet/planet_records.h"
#include "planet/saturn_illumination.h"

namespace quillet {

namespace {

// The run's parameters and the storage the engine fills; static because the
// tables are large (the haze table alone holds 107,100 doubles).
run_parameters params;
double testw[max_dir_args + 1];
double testd_corr[max_dir_args + 1];
double testw_n[max_dir_args + 1];
order_table w_order;
haze_table w_haze;

}  // namespace

void run_quillet(std::FILE* deck, const std::string& source) {
    run_parameters& p = params;
    p = run_parameters{};

    free_reader in(deck, source);
    read_deck(in, p);
    check_capacities(p, source);
    check_input_files(p, source);
    if (parallel_options.on && (p.icheck >= 1 || p.idebug >= 1))
        throw limit_error(source + ": --threads runs the photons in parallel, but " +
                          (p.icheck >= 1 ? "deck record 19 (icheck = " + std::to_string(p.icheck) + ")"
                                         : "deck record 32 (idebug = " + std::to_string(p.idebug) + ")") +
                          " asks for per-photon traces, which only the serial run writes: run without --threads, "
                          "or set icheck and idebug to 0");
    if ((!run_state_options.checkpoint.empty() || !run_state_options.resume.empty()) &&
        (p.icheck >= 1 || p.idebug >= 1))
        throw limit_error(source + ": a checkpoint keeps the run's sums, but " +
                          (p.icheck >= 1 ? "deck record 19 (icheck = " + std::to_string(p.icheck) + ")"
                                         : "deck record 32 (idebug = " + std::to_string(p.idebug) + ")") +
                          " asks for per-photon traces, which it does not keep: leave out --checkpoint and "
                          "--resume, or set icheck and idebug to 0");
    p.nphot = p.nxphot * p.nyphot;  // at most max_phot: checked above
    p.nphot_ori = p.nxphot * p.nyphot;

    print_header(p);

    double flux_sat = 0.0;
    double sun_bsun = p.bsun;
    double sun_lonsun = p.lonsun;
    if (satcom1.isat >= 1) {
        std::int32_t nphot_sat = 0;
        saturn_illumination(sun_bsun, sun_lonsun, p.nphot_ori, nphot_sat, flux_sat);
        p.nphot = nphot_sat;
    }
    say("flux_sat,nphot", flux_sat, p.nphot);

    engine_totals e;
    double cpu1 = 0.0, cpu2 = 0.0;
    tim(cpu1);
    mcnew_sub_2pos_image(p.nxphot, p.nyphot, p.posfile, p.parfile, p.outfile, sun_lonsun, sun_bsun, p.ntest,
                         p.fiiobs, p.latobs, testw, testd_corr, testw_n, w_order, p.idum, p.icheck, p.mx, p.my,
                         e.npart, e.npartori, e.npot_mean, e.nbox_mean, e.iscat_mean, p.method, p.epsfile, p.wfile,
                         p.sredu, e.tau, e.ndirect, p.zredu, p.ppar1, p.ppar2, p.ppar3, p.posfile_haze,
                         p.method_haze, p.ssca_part, p.ssca_haze, p.ppar1_haze, p.ppar2_haze, p.ppar3_haze, w_haze,
                         p.irot, p.isquare, p.idebug, p.iemulate, p.testimage, p.nxpix, p.nypix);
    tim(cpu2);
    cpu2 += remote_cpu.engine;  // the other processes of a distributed run

    // A partial run ends with its partial file; the merge prints the summary.
    if (run_state_options.parts > 0) {
        say("partial file written:", run_state_options.partial);
        return;
    }
    print_closing(p, e, summarize(sun_bsun, e.ndirect, p.nphot, cpu1, cpu2));
}

}  // namespace quillet
