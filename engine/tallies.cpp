// The operations on a run's tallies, each a walk over the one list of tables
// in tallies.h.
#include "engine/tallies.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "engine/tally_codec.h"
#include "field/field_records.h"
#include "format/run_error.h"

namespace quillet {

namespace {

using tally_codec::byte_source;
using tally_codec::ignore_roles;
using tally_codec::put;

constexpr char tally_tag[8] = {'Q', 'L', 'T', 'A', 'L', 'L', 'Y', '1'};

template <class T>
void put_values(std::string& out, const std::vector<T>& v) {
    static_assert(std::is_arithmetic_v<T>);
    put(out, std::int64_t(v.size()));
    out.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}
void put_hit(std::string& out, const image_hit& h) {
    put(out, h.plane);
    put(out, h.cell);
    put(out, h.c);
}
void put_hit(std::string& out, const hist_hit& h) {
    put(out, h.plane);
    put(out, h.lat);
    put(out, h.fii);
    put(out, h.w);
}
constexpr std::size_t hit_bytes(const image_hit*) { return 4 + 4 + 8; }
constexpr std::size_t hit_bytes(const hist_hit*) { return 4 + 4 + 4 + 8; }

struct clear_visitor : ignore_roles {
    tallies& t;
    explicit clear_visitor(tallies& x) : t(x) {}
    template <class M>
    void zero(M m) {
        auto& v = t.*m;
        std::fill(v.begin(), v.end(), typename std::decay_t<decltype(v)>::value_type{});
    }
    template <class M>
    void sums(const char*, M m) { zero(m); }
    template <class M>
    void counts(const char*, M m) { t.*m = 0; }
    template <class M>
    void cells(const char*, M m) { zero(m); }
    template <class M>
    void escapes(const char*, M m) { zero(m); }
    template <class M>
    void hits(const char*, M m) { (t.*m).clear(); }
};

struct swap_visitor : ignore_roles {
    tallies& a;
    tallies& b;
    swap_visitor(tallies& x, tallies& y) : a(x), b(y) {}
    template <class M>
    void sw(M m) { std::swap(a.*m, b.*m); }
    template <class M>
    void sums(const char*, M m) { sw(m); }
    template <class M>
    void counts(const char*, M m) { sw(m); }
    template <class M>
    void cells(const char*, M m) { sw(m); }
    template <class M>
    void escapes(const char*, M m) { sw(m); }
    template <class M>
    void hits(const char*, M m) { sw(m); }
};

struct encode_visitor : ignore_roles {
    const tallies& t;
    std::string& out;
    encode_visitor(const tallies& x, std::string& o) : t(x), out(o) {}
    template <class M>
    void sums(const char*, M m) { put_values(out, t.*m); }
    template <class M>
    void counts(const char*, M m) { put(out, std::int64_t(t.*m)); }
    template <class M>
    void cells(const char*, M m) { put_values(out, t.*m); }
    template <class M>
    void escapes(const char*, M m) { put_values(out, t.*m); }
    template <class M>
    void hits(const char*, M m) {
        put(out, std::int64_t((t.*m).size()));
        for (const auto& h : t.*m) put_hit(out, h);
    }
};

struct decode_visitor : ignore_roles {
    tallies& t;
    byte_source in;
    decode_visitor(tallies& x, std::string_view bytes, std::size_t& at, const std::string& what)
        : t(x), in{bytes, at, what, "tallies"} {}
    std::size_t count(const char* n, std::size_t expected, bool exact) {
        const auto c = in.get<std::int64_t>(n);
        if (c < 0 || (exact && std::uint64_t(c) != expected) || (!exact && std::uint64_t(c) > expected))
            throw run_error(in.what + ": table " + n + " holds " + std::to_string(c) + " values, expected " +
                            (exact ? "" : "at most ") + std::to_string(expected));
        return std::size_t(c);
    }
    template <class M>
    void values(const char* n, M m, bool cells) {
        auto& v = t.*m;
        // A worker's block carries no cells; a total takes them as they are.
        const std::size_t c = count(n, v.size(), !cells);
        if (cells && c != 0 && c != v.size())
            throw run_error(in.what + ": table " + n + " holds " + std::to_string(c) + " values, expected " +
                            std::to_string(v.size()) + " or none");
        if (c == 0) return;
        in.take(v.data(), c * sizeof(v[0]), n);
    }
    template <class M>
    void sums(const char* n, M m) { values(n, m, false); }
    template <class M>
    void counts(const char* n, M m) { t.*m = in.get<std::int64_t>(n); }
    template <class M>
    void cells(const char* n, M m) { values(n, m, true); }
    template <class M>
    void escapes(const char* n, M m) { values(n, m, false); }
    void read_hit(image_hit& h, const char* n) {
        h.plane = in.get<std::int32_t>(n);
        h.cell = in.get<std::int32_t>(n);
        h.c = in.get<double>(n);
        if (h.plane < -1 || h.plane > n_image_planes || h.cell < 0 || h.cell >= t.image_cells())
            throw run_error(in.what + ": table " + n + " names image " + std::to_string(h.plane) + " cell " +
                            std::to_string(h.cell) + ", outside the " + std::to_string(t.image_cells()) +
                            " cells of the images");
    }
    void read_hit(hist_hit& h, const char* n) {
        h.plane = in.get<std::int32_t>(n);
        h.lat = in.get<std::int32_t>(n);
        h.fii = in.get<std::int32_t>(n);
        h.w = in.get<double>(n);
        if (!t.sizes.hist || h.plane < 1 || h.plane > n_hist_planes || h.lat < 1 || h.lat > n_hist_lat ||
            h.fii < 1 || h.fii > n_hist_fii)
            throw run_error(in.what + ": table " + n + " names a histogram cell outside the histogram");
    }
    template <class M>
    void hits(const char* n, M m) {
        auto& v = t.*m;
        using H = typename std::decay_t<decltype(v)>::value_type;
        const std::size_t left = in.at <= in.bytes.size() ? in.bytes.size() - in.at : 0;
        const std::size_t c = count(n, left / hit_bytes(static_cast<const H*>(nullptr)), false);
        v.resize(c);
        for (H& h : v) read_hit(h, n);
    }
};

}  // namespace

tallies::tallies(const tally_sizes& s) : sizes(s) {
    const std::size_t r = row();
    for (auto* v : {&testw, &testw_sig, &testw_n, &sum_all, &sumsq_all, &sum_first, &sumsq_first})
        v->assign(r, 0.0);
    testw_order.assign((max_order + 1) * r, 0.0);
    testw_order_sq.assign((max_order + 1) * r, 0.0);
    testw_haze.assign(std::size_t(s.haze_rows) * (max_ring_count + 1) * r, 0.0);
    testw_haze_sq.assign(testw_haze.size(), 0.0);
    photon_order_.assign(r, 0.0);
    photon_haze_.assign(r, 0.0);
    if (s.nxpix >= 1 && !s.collect) {
        const std::size_t cells = std::size_t(image_cells());
        vis_image.assign(cells, 0);
        ill_image.assign(cells, 0);
        test_image.assign(n_image_planes * cells, 0.0f);
    }
    if (s.hist && !s.collect) esc_hist.assign(std::size_t(n_hist_planes) * n_hist_lat * n_hist_fii, 0.0f);
    if (s.escapes > 0)
        for (auto* v : {&esc_lat, &esc_fii, &esc_weight, &esc_sca}) v->assign(std::size_t(s.escapes), 0.0f);
}

void tallies::clear() {
    visit_tables(clear_visitor(*this));
    std::fill(photon_order_.begin(), photon_order_.end(), 0.0);
    std::fill(photon_haze_.begin(), photon_haze_.end(), 0.0);
    open_order_ = open_haze_ = closed;
}

void tallies::apply(const image_hit& h) {
    if (h.plane == 0) {
        ill_image[std::size_t(h.cell)] += 1;
    } else if (h.plane < 0) {
        vis_image[std::size_t(h.cell)] += 1;
    } else {
        float& cell = test_image[plane_at(h.plane, h.cell)];
        cell = float(double(cell) + h.c);
    }
}

void tallies::apply(const hist_hit& h) {
    float& cell = esc_hist[hist_at(h.plane, h.lat, h.fii)];
    cell = float(double(cell) + h.w);
}

void tallies::take(tallies& block) {
    block.clear();
    visit_tables(swap_visitor(*this, block));
    block.esc_first = esc_first;
}

void tallies::encode(std::string& out) const {
    out.append(tally_tag, sizeof tally_tag);
    put(out, std::int64_t(sizes.ntest));
    put(out, std::int64_t(esc_first));
    visit_tables(encode_visitor(*this, out));
}

void tallies::decode(std::string_view bytes, std::size_t& at, const std::string& what) {
    byte_source in{bytes, at, what, "tallies"};
    in.expect_head(tally_tag, sizes.ntest);
    esc_first = in.get<std::int64_t>("(esc_first)");
    visit_tables(decode_visitor(*this, bytes, at, what));
    open_order_ = open_haze_ = closed;
}

void gather_search_counts(tallies& t, search_scratch& s) {
    t.npot_sum += s.npot_sum;
    t.ntab_calls += s.ntab_calls;
    t.nseg_calls += s.nseg_calls;
    t.nbox_sum += s.nbox_sum;
    s.npot_sum = s.ntab_calls = s.nseg_calls = s.nbox_sum = 0;
}

double sum_spread(double s, double q, std::int64_t nphot) {
    const double dn = double(nphot < 1 ? 1 : nphot);
    const double m = s / dn;
    const double v = (q / dn - m * m) * dn;
    return v >= 0.0 ? std::sqrt(v) : 0.0;
}

}  // namespace quillet
