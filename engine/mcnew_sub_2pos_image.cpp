// The imaging engine, start to end: set-up (engine parameter file, seed, run
// records, observer directions, particle field, test-image file, search grid,
// scattering-law tables), the photon loop, then the statistics, the summary
// lines, the result files and the totals handed back to the caller.
#include "engine/mcnew_sub_2pos_image.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <optional>
#include <string>

#include "engine/engine_output.h"
#include "engine/engine_records.h"
#include "engine/engine_run.h"
#include "engine/exact_totals.h"
#include "engine/run_options.h"
#include "engine/run_photons.h"
#include "engine/run_memory.h"
#include "engine/run_state.h"
#include "engine/tallies.h"
#include "field/field_records.h"
#include "field/particle_field.h"
#include "field/part_read_2pos.h"
#include "field/tab_init.h"
#include "format/free_reader.h"
#include "format/free_writer.h"
#include "format/run_error.h"
#include "numeric/ran1.h"
#include "numeric/tim.h"
#include "planet/saturn_illumination.h"
#include "scatter/scatter.h"
#include "trace/path_slice.h"
#include "trace/trace_records.h"

namespace quillet {

namespace {

constexpr double deg_to_rad = 0.017453292519943295;

// The limits that 32-bit counts set, checked before anything is read or
// written (what the machine can hold is checked once the field is counted).
void check_run_limits(std::int32_t nxphot, std::int32_t nyphot, std::int32_t ntest, std::int32_t nxpix,
                      std::int32_t nypix) {
    if (ntest > direction_number_limit)
        throw limit_error("engine: ntest = " + std::to_string(ntest) + " observer directions; at most " +
                          std::to_string(direction_number_limit) + " (a 32-bit direction number)");
    if (nxpix >= 1 && std::int64_t(nxpix) * nypix > image_cell_limit)
        throw limit_error("engine: test image of " + std::to_string(nxpix) + " x " + std::to_string(nypix) +
                          " pixels; at most " + std::to_string(image_cell_limit) + " pixels (a 32-bit cell number)");
    std::int64_t n = std::int64_t(nxphot) * std::int64_t(nyphot);
    if (n > photon_number_limit)
        throw limit_error("engine: nxphot * nyphot = " + std::to_string(n) + " photons; at most " +
                          std::to_string(photon_number_limit) + " per run (a 32-bit photon number)");
}

// Pixel-centre coordinates over the cell; the pixel index minus 0.5 is formed
// in single precision and each coordinate is stored in single precision.
void make_coordinate_images(const particle_field& field, tallies& t) {
    const double xl = field.xl, yl = field.yl;
    const std::int32_t nxpix = t.sizes.nxpix, nypix = t.sizes.nypix;
    t.ximage.assign(std::size_t(t.image_cells()), 0.0f);
    t.yimage.assign(std::size_t(t.image_cells()), 0.0f);
    for (std::int32_t iy = 1; iy <= nypix; ++iy)
        for (std::int32_t ix = 1; ix <= nxpix; ++ix) {
            double fx = double(float(ix) - 0.5f);
            double fy = double(float(iy) - 0.5f);
            t.ximage[std::size_t(t.cell(ix, iy))] = float((2.0 * fx * xl) / nxpix - xl);
            t.yimage[std::size_t(t.cell(ix, iy))] = float((1.0 / nypix) * (fy * 2.0 * yl) - yl);
        }
}

// Warns when rays toward the observers (and from the Sun) cross more than
// max_cell_crossings copies of the periodic cell inside the layer: such a
// ray meets the same particles again and again, and the in- and outgoing
// paths of a scattering stop being independent (measured: order-1 I/F off by
// 1 to 3 % at two cell widths, up to 19 % at four and a half without shear).
// The way that matters is the horizontal distance over the layer thickness,
// but at most over three mean free paths along the ray (deeper light hardly
// comes back).
void warn_periodic_cell(const particle_field& field, const engine_run& run) {
    constexpr double max_cell_crossings = 1.0;
    const double width = 2.0 * std::min(field.xl, field.yl);
    const double thick = field.zmax - field.zmin;
    if (!(width > 0.0) || !(thick > 0.0)) return;
    const double free_path = field.tau > 0.0 ? thick / field.tau : 0.0;
    double worst_lat = 0.0, worst = 0.0;
    auto consider = [&](double lat_deg) {
        const double e = std::abs(lat_deg) * deg_to_rad;
        const double s = std::sin(e), c = std::cos(e);
        if (!(s > 0.0)) return;  // a ray in the ring plane has no I/F to spoil
        double way = thick * c / s;
        if (free_path > 0.0) way = std::min(way, 3.0 * free_path * c);
        if (way / width > worst) {
            worst = way / width;
            worst_lat = lat_deg;
        }
    };
    if (!run.planet_source) consider(run.bsun);
    for (std::int32_t k = 1; k <= run.ntest; ++k) consider(run.latobs[k]);
    if (worst > max_cell_crossings)
        say("warning: periodic cell narrower than the way of a ray through the layer (widen the cell): lat,cells",
            worst_lat, worst);
}

// The run configuration's values that the photons and the output read.
void take_configuration(const run_config& cfg, engine_run& run) {
    run.nxphot = cfg.nxphot;
    run.nyphot = cfg.nyphot;
    run.posfile = cfg.posfile;
    run.outfile = cfg.outfile;
    run.epsfile = cfg.epsfile;
    run.wfile = cfg.wfile;
    run.posfile_haze = cfg.posfile_haze;
    run.testimage = cfg.testimage;
    run.lonsun = cfg.lonsun;
    run.bsun = cfg.bsun;
    run.ntest = cfg.ntest;
    run.fiiobs = cfg.fiiobs.data();
    run.latobs = cfg.latobs.data();
    run.icheck = cfg.icheck;
    run.mx = cfg.mx;
    run.my = cfg.my;
    run.method = cfg.method;
    run.method_haze = cfg.method_haze;
    run.ppar1 = cfg.ppar1;
    run.ppar2 = cfg.ppar2;
    run.ppar3 = cfg.ppar3;
    run.ppar1_haze = cfg.ppar1_haze;
    run.ppar2_haze = cfg.ppar2_haze;
    run.ppar3_haze = cfg.ppar3_haze;
    run.ssca_part = cfg.ssca_part;
    run.ssca_haze = cfg.ssca_haze;
    run.sredu = cfg.sredu;
    run.zredu = cfg.zredu;
    run.irot = cfg.irot;
    run.isquare = cfg.isquare;
    run.nxpix = cfg.nxpix;
    run.nypix = cfg.nypix;
    run.sizemin = cfg.sizemin;
    run.s20 = cfg.s20;
    run.f20 = cfg.f20;
    run.ntest_image = cfg.ntest > 1 ? 1 : cfg.ntest;
    run.idebug = cfg.idebug;
    set_emulation(cfg.iemulate, run);
    run.escape_on = !cfg.outfile.is_junk();
    run.hist_on = !cfg.epsfile.is_junk();
}

// The photon source: the Sun, nxphot * nyphot photons; or the planet, exactly
// the photons that saturn_illumination made.
void set_photon_source(const run_config& cfg, const planet_photons* planet, engine_run& run) {
    run.planet_source = cfg.planet.isat >= 1;
    if (run.planet_source) {
        if (!planet)
            throw limit_error("engine: the planet is the source (isat = " + std::to_string(cfg.planet.isat) +
                              "), but no planet photons were given");
        run.planet = planet;
        run.nphot = planet->nphot_sat;
        if (run.nphot < 1 && !planet_model_sends_light(cfg.planet.model_sat))
            throw limit_error("engine: the planet illumination gave no photon (nphot = 0): the planet model "
                              "model_sat = " + std::to_string(cfg.planet.model_sat) +
                              " has no brightness factor (the models are 1 to 6 and 11 to 14), so the planet "
                              "sends no light; nothing to launch");
        if (run.nphot < 1)
            throw limit_error(
                "engine: the planet illumination gave no photon (nphot = 0): the planet sends no light "
                "onto the particle field with this zone grid, model and photon budget; nothing to launch");
    } else {
        run.nphot = cfg.nxphot * cfg.nyphot;
    }
}

// The per-direction results and totals of the finished run.
void hand_back(const engine_run& run, const engine_stats& st, engine_result& out) {
    const std::int32_t ntest = run.ntest;
    const std::size_t row = std::size_t(ntest) + 1;
    out.ntest = ntest;
    out.testw.assign(row, 0.0);
    out.testd_corr.assign(row, 0.0);
    out.testw_n.assign(row, 0.0);
    for (std::int32_t k = 1; k <= ntest; ++k) {
        out.testw[k] = run.totals->testw[k];
        out.testd_corr[k] = st.testd_corr[k];
        out.testw_n[k] = run.totals->testw_n[k];
    }
    out.order_sums = run.totals->testw_order;
    out.haze_sums = run.totals->testw_haze;
    out.haze_rows = run.totals->sizes.haze_rows;
    out.order_spread = st.order_spread;
    out.npot_mean = st.npot_mean;
    out.nbox_mean = st.nbox_mean;
    out.iscat_mean = st.iscat_mean;
    out.ndirect = std::int32_t(run.totals->ndirect);
    out.cpu_elsewhere = run.session->remote_cpu.engine;
}

}  // namespace

void set_emulation(std::int32_t iemulate, engine_run& run) {
    run.emulate_a = (iemulate == 1 || iemulate == 3) ? 1 : 0;
    run.emulate_b = (iemulate == 2 || iemulate == 3) ? 1 : 0;
}

void read_engine_parameters(const text80& parfile, engine_run& run) {
    run.ssca = 1.0;
    run.maxscat = 100;
    run.nbox = 10000;
    run.nboxvis = 10000;
    if (parfile.is_junk()) return;
    free_reader in{std::string(parfile.trimmed())};
    in.begin_record("engine parameter file record 1 (ssca)");
    if (!in.read(run.ssca)) in.fail("expected ssca, a real, found no value");
    // An albedo factor: the fraction of the light each scattering keeps.
    if (!(run.ssca >= 0.0 && run.ssca <= 1.0))
        in.fail("expected an albedo factor ssca from 0 to 1, found " + free_format(run.ssca));
    in.begin_record("engine parameter file record 2 (maxscat)");
    if (!in.read(run.maxscat)) in.fail("expected maxscat, an integer, found no value");
    // The photon loop counts its searches up to maxscat + 1.
    if (run.maxscat < 0 || run.maxscat == INT32_MAX)
        in.fail("expected a number of scatterings maxscat from 0 to 2147483646, found " +
                std::to_string(run.maxscat));
    in.begin_record("engine parameter file record 3 (nbox, nboxvis)");
    if (!in.read(run.nbox)) in.fail("expected nbox, an integer, found no value");
    if (!in.read(run.nboxvis)) in.fail("expected nboxvis, an integer, found no value");
    say("ssca,maxscat,nbox,nboxvis");
    say(run.ssca, run.maxscat, run.nbox, run.nboxvis);
    if (run.nboxvis < 0) run.nboxvis = run.nbox;
}

engine_result mcnew_sub_2pos_image(const run_config& cfg, const planet_photons* planet, const run_options& options) {
    const std::int32_t nxphot = cfg.nxphot, nyphot = cfg.nyphot, ntest = cfg.ntest;
    const std::int32_t nxpix = cfg.nxpix, nypix = cfg.nypix;
    const std::int32_t icheck = cfg.icheck, mx = cfg.mx, my = cfg.my;
    const std::int32_t method = cfg.method, method_haze = cfg.method_haze;
    const text80& posfile_haze = cfg.posfile_haze;
    check_run_limits(nxphot, nyphot, ntest, nxpix, nypix);
    if (std::int32_t(cfg.latobs.size()) != ntest + 1 || std::int32_t(cfg.fiiobs.size()) != ntest + 1)
        throw limit_error("engine: ntest = " + std::to_string(ntest) + " observer directions, but " +
                          std::to_string(cfg.latobs.size()) + " latitudes and " + std::to_string(cfg.fiiobs.size()) +
                          " azimuths (entry 0 included) are given");

    engine_run run;
    tim(run.cpu_entry);
    run_session session(options);
    run.options = &options;
    run.session = &session;
    take_configuration(cfg, run);

    // Engine parameter file, then the seed: one ran1 call with the caller's
    // seed starts the stream that the whole run draws from.
    read_engine_parameters(cfg.parfile, run);
    run.idum_deck = cfg.idum;
    ran1_state serial_draws;
    run.serial_draws = &serial_draws;
    std::int32_t seed = cfg.idum;
    float first = ran1(serial_draws, seed);
    say("idum,ran1", seed, first);
    run.idum = seed;

    // The particle field of the run, built below from the particle files and
    // read by every photon.
    particle_field field;

    field.sredu = cfg.sredu;
    field.zredu = cfg.zredu;
    check_law_codes(method, method_haze, !posfile_haze.is_junk());

    set_photon_source(cfg, planet, run);

    // Observer directions, and what the peel-off reads.
    run.peel = {observer_directions(ntest, run.latobs, run.fiiobs), run.nboxvis, icheck, nxpix >= 1,
                run.emulate_b != 1, nxpix, nypix};

    say("before calling part_read_2pos:");
    say("posfile_haze=", posfile_haze);
    field_build_options build{cfg.sizemin, cfg.s20, cfg.f20, icheck, cfg.idebug, cfg.testimage, options.files, {}};
    // What the machine cannot hold is refused once the particles are counted,
    // before their copies, the grids, the tallies and the images take room.
    run_memory_sizes memory = run_sizes_of(cfg, options);
    memory.planet_photons = run.planet_source ? std::int64_t(run.nphot) : 0;
    build.before_copies = [&memory](const particle_field& f, std::int64_t particles, std::int64_t copies) {
        memory.particles = particles;
        memory.copies = copies;
        memory.shadow_copies = shadow_copies_bound(f.xl, f.yl, f.zmax - f.zmin);
        require_memory(run_memory(memory));
    };
    part_read_2pos(field, cfg.posfile, posfile_haze, build);
    if (icheck >= 0) warn_periodic_cell(field, run);

    // The run's result tables, sized for this run and cleared; this thread's
    // photons (the serial run's) score into them.
    tally_sizes sizes;
    sizes.ntest = ntest;
    sizes.nxpix = nxpix >= 1 ? nxpix : 0;
    sizes.nypix = nxpix >= 1 ? nypix : 0;
    sizes.hist = run.hist_on;
    sizes.escapes = run.escape_on ? run.nphot : 0;
    sizes.haze_rows = haze_table_rows(std::find(field.itype.begin(), field.itype.end(), 2) != field.itype.end());
    auto totals = std::make_shared<tallies>(sizes);
    run.totals = totals.get();
    // A run in blocks adds them to exact totals, the same bits in any order.
    std::optional<exact_totals> exact;
    if (options.parallel.on && options.parallel.photon == 0) {
        exact.emplace(*totals);
        run.exact = &*exact;
    }

    // The test-image file is opened now and completed at the end of the run;
    // a failed run leaves no part of it behind.
    std::optional<result_file> image_file;
    if (nxpix >= 1) {
        make_coordinate_images(field, *totals);
        image_file.emplace(cfg.testimage.prefix(60) + ".TESTIMAGE", options.files);
        write_test_image_header(field, image_file->stream(), run);
    }

    field.mx = mx;
    field.my = my;
    if (mx > 1 && my > 1) tab_init(field, build);
    // This thread's searches, made for the field (the workers' are made
    // from it).
    search_scratch searches(field, {run.nbox, run.nboxvis, icheck, options.full_scan});
    searches.idebug = cfg.idebug;
    searches.trace_prefix = cfg.testimage.prefix(60);
    run.searches = &searches;

    const scattering_laws laws({method, cfg.ppar1, cfg.ppar2, cfg.ppar3, method_haze, cfg.ppar1_haze,
                                cfg.ppar2_haze, cfg.ppar3_haze, cfg.ssca_part, cfg.ssca_haze,
                                !posfile_haze.is_junk(), icheck});
    run.laws = &laws;

    double cpu1 = 0.0;
    tim(cpu1);
    run.cpu_loop = cpu1;

    if (options.keeps_state()) note_run_inputs(run, cfg.parfile);

    run_photons(field, run);

    if (options.state.parts > 0 || options.parallel.photon > 0) {
        // A partial run writes its partial file instead of any result file; a
        // replayed photon writes none.
        close_slice_trace(searches);
        return {};
    }

    gather_search_counts(*totals, searches);
    engine_stats st = run_statistics(run, cpu1);
    if (icheck >= 0) {
        say("mean: testw,iscat", st.testw_mean, st.iscat_mean);
        say("mx,my,npart,npot", mx, my, field.npart, st.npot_mean);
        say("nbox,nboxvis,nbox_mean", run.nbox, run.nboxvis, st.nbox_mean);
        say("searches: nslice,nseg,npot_mean", totals->ntab_calls, totals->nseg_calls, st.npot_mean);
        print_reflectance_table(run, st);
    }
    engine_result out;
    out.npartori = field.npartori;
    out.npart = field.npart;
    out.tau = field.tau;
    if (run.escape_on) write_escape_file(field, run, st);
    if (run.hist_on) write_histogram_file(field, run, st);
    write_direction_file(field, run, st);
    write_order_error_file(run, st);

    hand_back(run, st, out);

    if (image_file) {
        write_test_image_maps(image_file->stream(), run);
        image_file->commit();
    }
    close_slice_trace(searches);
    out.totals = std::move(totals);
    return out;
}

}  // namespace quillet
