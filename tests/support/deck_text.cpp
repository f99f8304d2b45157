#include "support/deck_text.h"

#include <cstdio>
#include <sstream>

namespace quillet::test_support {

std::string deck_number(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::string deck_values::text(int upto) const {
    std::ostringstream s;
    auto line = [&](int n, const std::string& values, const std::string& comment) {
        if (n > upto) return;
        s << values << "    " << comment << "\n";
    };
    auto num = deck_number;
    line(1, posfile, "posfile");
    line(2, num(bsun) + " " + num(lonsun), "bsun, lonsun");
    line(3, std::to_string(ntest), "ntest");
    if (ntest > 0) {
        for (const auto& d : directions) line(4, num(d.lat) + " " + num(d.fii), "latobs, fiiobs");
    } else if (ntest < 0) {
        line(5, std::to_string(nlat) + " " + std::to_string(nfii), "nlat, nfii");
        for (double v : latgrid) line(6, num(v), "latgrid");
        for (double v : fiigrid) line(7, num(v), "fiigrid");
    }
    line(8, std::to_string(nxphot) + " " + std::to_string(nyphot) + " " + std::to_string(mx) + " " + std::to_string(my),
         "nxphot, nyphot, mx, my");
    line(9, parfile, "parfile");
    line(10, outfile, "outfile");
    line(11, epsfile, "epsfile");
    line(12, wfile, "wfile");
    line(13, std::to_string(method), "method");
    line(14, num(ppar1) + " " + num(ppar2) + " " + num(ppar3), "ppar1, ppar2, ppar3");
    line(15, posfile_haze, "posfile_haze");
    line(16, std::to_string(method_haze), "method_haze");
    line(17, num(ppar1_haze) + " " + num(ppar2_haze) + " " + num(ppar3_haze), "ppar1_haze, ppar2_haze, ppar3_haze");
    line(18, num(ssca_part) + " " + num(ssca_haze), "ssca_part, ssca_haze");
    line(19, std::to_string(icheck), "icheck");
    line(20, std::to_string(idum), "idum");
    line(21, num(sredu) + " " + num(zredu), "sredu, zredu");
    line(22, num(sizemin), "sizemin");
    line(23, num(s20) + " " + num(f20), "s20, f20");
    line(24, std::to_string(isat), "isat");
    line(25, num(distance), "distance");
    line(26, std::to_string(nlat_sat) + " " + std::to_string(nfii_sat), "nlat_sat, nfii_sat");
    line(27, std::to_string(model_sat), "model_sat");
    line(28, std::to_string(irot), "irot");
    line(29, std::to_string(isquare), "isquare");
    line(30, testimage, "testimage");
    line(31, std::to_string(nxpix) + " " + std::to_string(nypix), "nxpix, nypix");
    line(32, std::to_string(idebug), "idebug");
    line(33, std::to_string(iemulate), "iemulate");
    return s.str();
}

}  // namespace quillet::test_support
