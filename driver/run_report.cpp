#include "driver/run_report.h"

#include <cmath>

#include "driver/fixed_layout.h"
#include "format/free_writer.h"

namespace quillet {

std::string date_time_line(const std::tm& t) {
    return " " + fortran_i(t.tm_year + 1900LL, 4) + "-" + fortran_i(t.tm_mon + 1, 2) + "-" + fortran_i(t.tm_mday, 2) +
           "  " + fortran_i(t.tm_hour, 2) + ":" + fortran_i(t.tm_min, 2) + ":" + fortran_i(t.tm_sec, 2);
}

void print_date_time() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    say(date_time_line(local));
}

std::int32_t nphot_after_isquare(std::int32_t isquare, std::int32_t nphot) {
    if (isquare == 1) {
        if (nphot <= 0) return 0;
        auto root = std::int32_t(std::sqrt(double(nphot)));
        return root * root;
    }
    if (isquare >= 10) return isquare * isquare;  // isquare <= max_isquare: checked with the deck
    return nphot;
}

void print_header(run_parameters& p) {
    say(report_banner);
    say(report_version);
    print_date_time();
    say(report_banner);
    say("POSFILE=     ", p.posfile);
    say("BSUN, LONSUN=", p.bsun, p.lonsun);
    say("NTEST        ", p.ntest);
    say("NPHOT,MX,MY= ", p.nphot, p.mx, p.my);
    say("PARTICLES:");
    say(" POSFILE=    ", p.posfile);
    say(" METHOD    = ", p.method, "  ", p.method_name);
    say(" PPAR 1,2,3= ", p.ppar1, p.ppar2, p.ppar3);
    say(" SSCA      = ", p.ssca_part);
    say("HAZE:     ");
    say(" POSFILE=    ", p.posfile_haze);
    say(" METHOD    = ", p.method_haze, "  ", p.method_name_haze);
    say(" PPAR 1,2,3= ", p.ppar1_haze, p.ppar2_haze, p.ppar3_haze);
    say(" SSCA      = ", p.ssca_haze);
    say("SEED       = ", p.idum);
    say("parfile,outfile,epsfile,wfile=");
    say("-> ", p.parfile);
    say("-> ", p.outfile);
    say("-> ", p.epsfile);
    say("-> ", p.wfile);
    say("sredu,zredu", p.sredu, p.zredu);
    say("sizemin ", p.sizemin);
    say("s20,f20 ", p.s20, p.f20);
    const planet_settings& sat = p.planet;
    switch (sat.isat) {
        case 0: say("ILLUMINATION BY SUN"); break;
        case 1: say("ILLUMINATION BY SATURN"); break;
        case 2: say("ILLUMINATION BY SATURN-SOUTH"); break;
        case 3: say("ILLUMINATION BY SATURN-NORTH"); break;
        default: break;
    }
    if (sat.isat >= 1) {
        say("MODEL_SAT=", sat.model_sat, p.model_sat_name);
        say("DISTANCE =", sat.distance, sat.distance / sat.rsat);
        say("NLAT,NFII=", sat.nlat_sat, sat.nfii_sat);
    }
    say("FIIOBS intepreted as alpha (unless fiiobs > 180)");
    say("50 orders of scattering stored");
    say(report_banner);
    say("irot=    ", p.irot, "(1-rot, 0-no)");
    if (p.irot == 1) say("particle field rotated randomly");
    say("isquare= ", p.isquare, "(1-grid, 0-rnd)");
    p.nphot = nphot_after_isquare(p.isquare, p.nphot);
    if (p.isquare == 1)
        say("isquare=1 -> new nphot=", p.nphot);
    else if (p.isquare >= 10)
        say("isquare=>10 -> new nphot=", p.nphot);
    say("idebug=  ", p.idebug);
    say("iemulate=", p.iemulate);
    say("testimage= ", p.testimage);
    say("nxpix,nypix   = ", p.nxpix, p.nypix);
    say("nxphot,nyphot = ", p.nxphot, p.nyphot);
}

run_summary summarize(double bsun, std::int32_t ndirect, std::int32_t nphot, double cpu1, double cpu2) {
    run_summary s;
    const std::int32_t n = nphot < 1 ? 1 : nphot;
    s.mu0 = std::cos(1.57079637 - 0.017453293 * bsun);
    s.fdir = double(ndirect) / double(n);
    if (s.fdir > 1.0e-40) {
        s.tau_p = -std::log(s.fdir + 1.0e-43);
        s.tau_n = s.tau_p * s.mu0;
    } else {
        s.tau_p = 9999.0;
        s.tau_n = 9999.0;
    }
    s.cpu = cpu2 - cpu1;
    const float kphot = float(n) * 0.001f;  // single precision, as the timing always was
    s.cpu_comp = s.cpu / double(kphot);
    return s;
}

void print_closing(const run_parameters& p, const engine_result& e, const run_summary& s) {
    say("NORI,TAU  = ", e.npartori, e.tau);
    say("SREDU, ZREDU = ", p.sredu, p.zredu);
    say("cpu, cpu_comp", s.cpu, s.cpu_comp);
    say("npart,npot,nbox,iscat", e.npart, e.npot_mean, e.nbox_mean, e.iscat_mean);
    say("fdir,mu0,tau_p,tau_n", s.fdir, s.mu0, s.tau_p, s.tau_n);
    say("sizemin ", p.sizemin);
    say("s20,f20 ", p.s20, p.f20);
    say(report_banner);
    print_date_time();
    say(report_banner);
}

}  // namespace quillet
