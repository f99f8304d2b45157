#include "support/physics_run.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>


namespace quillet::physics {

using testing_support::engine_call;
using testing_support::temp_dir;

std::vector<std::vector<double>> labelled_lines(const std::string& text, const std::string& label) {
    std::vector<std::vector<double>> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, label.size(), label) != 0) continue;
        if (line.size() > label.size() && line[label.size()] != ' ') continue;
        std::istringstream values(line.substr(label.size()));
        std::vector<double> row;
        std::string item;
        while (values >> item) row.push_back(std::stod(item));
        rows.push_back(row);
    }
    return rows;
}

physics_run_result run_field(const physics_run_request& req) {
    if (req.field == nullptr) throw std::invalid_argument("run_field: no field");
    temp_dir dir;
    testing_support::write_field_file(dir.file("field.pos"), *req.field);
    engine_call c(dir);
    std::ostringstream par;
    par << "1.0\n" << req.maxscat << "\n10000 10000\n";
    testing_support::write_text_file(dir.file("engine.par"), par.str());
    c.parfile = text80(dir.file("engine.par"));
    c.nxphot = 100;
    c.nyphot = req.nphot / 100 < 1 ? 1 : req.nphot / 100;
    c.bsun = req.bsun;
    c.lonsun = req.lonsun;
    c.ntest = std::int32_t(req.views.size());
    for (std::size_t k = 0; k < req.views.size(); ++k)
        c.set_direction(int(k) + 1, req.views[k].lat, req.lonsun + req.views[k].dfii);
    c.method = req.method;
    c.ppar1 = req.ppar1;
    c.ppar2 = req.ppar2;
    c.ppar3 = req.ppar3;
    c.ssca_part = req.albedo;
    c.mx = req.mx;
    c.my = req.my;
    c.irot = req.irot;
    c.isquare = 0;
    c.idum = req.seed;
    c.icheck = 0;
    // QUILLET_TEST_THREADS = N runs the validation in the threaded mode.
    const char* threads = std::getenv("QUILLET_TEST_THREADS");
    if (threads && std::atoi(threads) >= 1) c.options.parallel = {true, std::atoi(threads), 0, 1, 0};
    c.run();

    physics_run_result r;
    r.nphot = c.nxphot * c.nyphot;
    r.ndirect = c.ndirect;
    r.tau = c.tau;
    r.out = c.out;
    auto head = labelled_lines(c.out, "I/F: mu0,nphot");
    if (head.size() != 1 || head[0].size() != 2) throw std::runtime_error("run_field: no \"I/F: mu0,nphot\" line");
    r.mu0_line = head[0][0];
    auto rows = labelled_lines(c.out, "I/F: k,lat,fii,i_f,err,i_f_1,err_1");
    if (rows.size() != req.views.size()) throw std::runtime_error("run_field: one I/F line per direction expected");
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const auto& v = rows[k];
        if (v.size() != 7 || v[0] != double(k + 1)) throw std::runtime_error("run_field: malformed I/F line");
        r.i_f.push_back(v[3]);
        r.err.push_back(v[4]);
        r.i_f_1.push_back(v[5]);
        r.err_1.push_back(v[6]);
        r.testw.push_back(c.testw[k + 1]);
        r.testd_corr.push_back(c.testd_corr[k + 1]);
        r.order1.push_back(c.w_order[1][k + 1]);
    }
    return r;
}

}  // namespace quillet::physics
