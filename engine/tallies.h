// The result tables of a run, owned by one value: the per-direction sums, the
// sums by scattering order and by numbers of ring and haze scatterings (each
// with the sum of every photon's squared contribution, for its error), the
// run's counters, the escape records, the escape histogram and the images.
// A worker of a threaded run scores into its own tallies and hands them over
// per block; the run adds the blocks to its exact totals (exact_totals.h), in
// any order. Every table is named once, in visit_tables: clearing, adding,
// encoding and decoding walk that list, so a table added there is handled
// everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_records.h"
#include "trace/search_scratch.h"

namespace quillet {

// A hit into the images or the histogram that a worker keeps instead of
// adding it straight in; the exact totals add each when the block is added
// (the serial run's single-precision images add them in photon order). Image
// plane 1..10: test_image of that plane gets c; plane 0: ill_image counts
// one; plane -1: vis_image counts one.
struct image_hit {
    std::int32_t plane;
    std::int32_t cell;  // tallies::cell(ix, iy)
    double c;
};
struct hist_hit {
    std::int32_t plane, lat, fii;
    double w;
};

// What a run's tallies hold, decided at the set-up.
struct tally_sizes {
    std::int32_t ntest = 0;
    std::int32_t nxpix = 0, nypix = 0;  // images kept when nxpix >= 1
    bool hist = false;                  // escape histogram kept
    std::int64_t escapes = 0;           // escape records held (0: none)
    // Rows n_haze = 0..haze_rows - 1 of the haze table: 1 for a field
    // without haze particles, where every photon's n_haze is 0.
    std::int32_t haze_rows = max_haze_count + 1;
    // A worker's: image and histogram hits are kept as lists for the total
    // (which alone holds the images and the histogram).
    bool collect = false;
};

class tallies {
public:
    tallies() = default;
    explicit tallies(const tally_sizes& s);

    tally_sizes sizes;

    // Per direction, entries k = 1..ntest (entry 0 unused).
    std::vector<double> testw;      // sum of the peel-off contributions
    std::vector<double> testw_sig;  // sum of their squares, per contribution
    std::vector<double> testw_n;    // number of contributions
    // Sums of each photon's brightness (after its first scattering and at its
    // end) and of their squares.
    std::vector<double> sum_all, sumsq_all, sum_first, sumsq_first;
    // By scattering order 1..max_order (the last: all orders from it up),
    // element order_at(order, k); and the sum of each photon's squared
    // contribution to that order.
    std::vector<double> testw_order, testw_order_sq;
    // By numbers of ring (0..max_ring_count) and haze (0..sizes.haze_rows -
    // 1) scatterings of the photon so far, element haze_at(n_haze, n_ring, k).
    std::vector<double> testw_haze, testw_haze_sq;

    std::int64_t nsearch = 0;  // path searches of all photons
    std::int64_t ndirect = 0;  // photons that crossed the layer unscattered
    // The searches' counters (gathered from com11 of the thread that searched).
    std::int64_t npot_sum = 0, ntab_calls = 0, nseg_calls = 0, nbox_sum = 0;

    // Images of nxpix x nypix cells, element cell(ix, iy): the first
    // scatterings at each photon's entry pixel (visible from direction 1, and
    // all of them), and the maps of where the light toward direction 1 was
    // scattered, planes 1..n_image_planes one after the other.
    std::vector<std::int32_t> vis_image, ill_image;
    std::vector<float> test_image;
    // Escape histogram, element hist_at(plane, lat, fii) (single precision).
    std::vector<float> esc_hist;
    // Escape records of photons esc_first, esc_first + 1, ... (single precision).
    std::int64_t esc_first = 1;
    std::vector<float> esc_lat, esc_fii, esc_weight, esc_sca;
    // A worker's hits, in photon order.
    std::vector<image_hit> image_hits;
    std::vector<hist_hit> hist_hits;

    // Pixel-centre coordinates of the images: set up once, written into the
    // test-image file's header; not a sum.
    std::vector<float> ximage, yimage;

    // The list of tables, by role:
    //   sums    - doubles, added value by value;
    //   counts  - 64-bit counters;
    //   cells   - image and histogram cells of the total;
    //   escapes - per-photon records, placed at their photon numbers;
    //   hits    - a worker's image or histogram hits.
    // The visitor receives pointers to members.
    template <class V>
    static void visit_tables(V&& v) {
        v.sums("testw", &tallies::testw);
        v.sums("testw_sig", &tallies::testw_sig);
        v.sums("testw_n", &tallies::testw_n);
        v.sums("sum_all", &tallies::sum_all);
        v.sums("sumsq_all", &tallies::sumsq_all);
        v.sums("sum_first", &tallies::sum_first);
        v.sums("sumsq_first", &tallies::sumsq_first);
        v.sums("testw_order", &tallies::testw_order);
        v.sums("testw_order_sq", &tallies::testw_order_sq);
        v.sums("testw_haze", &tallies::testw_haze);
        v.sums("testw_haze_sq", &tallies::testw_haze_sq);
        v.counts("nsearch", &tallies::nsearch);
        v.counts("ndirect", &tallies::ndirect);
        v.counts("npot_sum", &tallies::npot_sum);
        v.counts("ntab_calls", &tallies::ntab_calls);
        v.counts("nseg_calls", &tallies::nseg_calls);
        v.counts("nbox_sum", &tallies::nbox_sum);
        v.cells("ill_image", &tallies::ill_image);
        v.cells("vis_image", &tallies::vis_image);
        v.cells("test_image", &tallies::test_image);
        v.cells("esc_hist", &tallies::esc_hist);
        v.escapes("esc_lat", &tallies::esc_lat);
        v.escapes("esc_fii", &tallies::esc_fii);
        v.escapes("esc_weight", &tallies::esc_weight);
        v.escapes("esc_sca", &tallies::esc_sca);
        v.hits("image_hits", &tallies::image_hits);
        v.hits("hist_hits", &tallies::hist_hits);
    }

    std::size_t row() const { return std::size_t(sizes.ntest) + 1; }
    std::size_t order_at(int order, int k) const { return std::size_t(order) * row() + std::size_t(k); }
    std::size_t haze_at(int n_haze, int n_ring, int k) const {
        return (std::size_t(n_haze) * (max_ring_count + 1) + std::size_t(n_ring)) * row() + std::size_t(k);
    }
    std::int32_t image_cells() const { return sizes.nxpix >= 1 ? sizes.nxpix * sizes.nypix : 0; }
    std::int32_t cell(std::int32_t ix, std::int32_t iy) const { return (iy - 1) * sizes.nxpix + (ix - 1); }
    std::size_t plane_at(int plane, std::int32_t cell) const {
        return std::size_t(plane - 1) * std::size_t(image_cells()) + std::size_t(cell);
    }
    static std::size_t hist_at(int plane, int lat, int fii) {
        return (std::size_t(plane - 1) * n_hist_lat + std::size_t(lat - 1)) * n_hist_fii + std::size_t(fii - 1);
    }

    // Zeroes every table (sizes stay) and the photon in progress.
    void clear();

    // Scoring, in the order of a photon: begin_scattering once per scattering
    // that peels off, score for each direction it reaches, end_photon when
    // the photon has ended (escaped or dropped).
    void begin_scattering(int order, int n_haze, int n_ring) {
        const std::size_t o = order_at(order, 0), h = haze_at(n_haze, n_ring, 0);
        if (o != open_order_) open_cell(testw_order_sq, open_order_, o, photon_order_);
        if (h != open_haze_) open_cell(testw_haze_sq, open_haze_, h, photon_haze_);
    }
    void score(std::int32_t k, double c) {
        testw[k] += c;
        testw_sig[k] += c * c;
        testw_n[k] += 1.0;
        testw_order[open_order_ + std::size_t(k)] += c;
        testw_haze[open_haze_ + std::size_t(k)] += c;
        photon_order_[k] += c;
        photon_haze_[k] += c;
    }
    void end_photon() {
        close_cell(testw_order_sq, open_order_, photon_order_);
        close_cell(testw_haze_sq, open_haze_, photon_haze_);
    }
    void score_escape(std::int64_t iphot, float lat, float fii, float weight, float sca) {
        const std::int64_t i = iphot - esc_first;
        if (i < 0 || i >= std::int64_t(esc_lat.size())) return;
        esc_lat[std::size_t(i)] = lat;
        esc_fii[std::size_t(i)] = fii;
        esc_weight[std::size_t(i)] = weight;
        esc_sca[std::size_t(i)] = sca;
    }
    void record(const image_hit& h) {
        if (sizes.collect) image_hits.push_back(h);
        else apply(h);
    }
    void record(const hist_hit& h) {
        if (sizes.collect) hist_hits.push_back(h);
        else apply(h);
    }
    void apply(const image_hit& h);
    void apply(const hist_hit& h);

    // A worker's tables of one block move into `block` (cleared tables of the
    // same sizes come back); `first` is the block's first photon.
    void begin_block(std::int64_t first) { esc_first = first; }
    void take(tallies& block);

    // The tables as bytes and back, for the block messages between
    // processes and the serial run's checkpoints. Layout (host
    // byte order; no padding): 8 bytes "QLTALLY1"; int64 ntest, int64
    // esc_first; per table of the list, int64 number of values (of hits)
    // and the values (a hit field by field: image int32 plane, int32 cell,
    // double c; histogram int32 plane, lat, fii, double w). decode reads into
    // tallies made with the sizes the bytes must have, from `at`, and moves
    // `at` past them; it throws run_error naming `what` (the file or message)
    // when the bytes are cut short, carry another tag or other sizes, or a
    // hit lies outside the images or the histogram.
    void encode(std::string& out) const;
    void decode(std::string_view bytes, std::size_t& at, const std::string& what);

private:
    // The cell that the photon in progress adds to, and its contributions to
    // it so far: every cell of the order and haze tables is visited by one
    // unbroken run of a photon's scatterings (one scattering, except the last
    // order and the capped rows and columns), so the square of the photon's
    // contribution is taken when it moves to another cell or ends.
    void open_cell(std::vector<double>& sq, std::size_t& open, std::size_t now, std::vector<double>& photon) {
        close_cell(sq, open, photon);
        open = now;
    }
    void close_cell(std::vector<double>& sq, std::size_t& open, std::vector<double>& photon) {
        if (open == closed) return;
        for (std::size_t k = 1; k < photon.size(); ++k) {
            sq[open + k] += photon[k] * photon[k];
            photon[k] = 0.0;
        }
        open = closed;
    }
    static constexpr std::size_t closed = ~std::size_t(0);
    std::size_t open_order_ = closed, open_haze_ = closed;
    std::vector<double> photon_order_, photon_haze_;
};

// Moves the search counters of a worker's scratch s into t.
void gather_search_counts(tallies& t, search_scratch& s);

// The standard error of a sum over nphot photons whose per-photon values
// have the sum s and the sum of squares q: sqrt(N (q/N - (s/N)^2)), 0 when
// rounding makes the variance negative (the rule of the spread testd_corr).
double sum_spread(double s, double q, std::int64_t nphot);

}  // namespace quillet
