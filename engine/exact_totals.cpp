// The exact totals: each operation a walk over the list of tables in
// tallies.h, in the order of the list.
#include "engine/exact_totals.h"

#include <cstring>
#include <type_traits>

#include "engine/engine_records.h"
#include "engine/tally_codec.h"
#include "format/run_error.h"

namespace quillet {

// The tables of the totals that the visitors reach.
struct exact_tables {
    tallies& total;
    std::vector<std::vector<fixed256>>& sums;
    std::vector<fixed128>& image;
    std::vector<fixed128>& hist;

    // The sums of a single-precision cell table (test_image, esc_hist).
    std::vector<fixed128>& cells_of(std::vector<float> tallies::*m) { return m == &tallies::test_image ? image : hist; }
};

namespace {

using tally_codec::byte_source;
using tally_codec::ignore_roles;
using tally_codec::put;

constexpr char exact_tag[8] = {'Q', 'L', 'E', 'X', 'A', 'C', 'T', '1'};

[[noreturn]] void out_of_range(const std::string& what, const char* table) {
    throw run_error(what + "the sum of table " + table +
                    " takes a value that is not a finite number or reaches 2^63 in magnitude");
}

template <class M>
constexpr bool float_cells = std::is_same_v<M, std::vector<float> tallies::*>;

struct check_visitor : ignore_roles {
    const tallies& a;
    const tallies& b;
    std::string bad;
    check_visitor(const tallies& x, const tallies& y) : a(x), b(y) {}
    template <class M>
    void same(const char* n, M m) {
        if (bad.empty() && (a.*m).size() != (b.*m).size())
            bad = std::string(n) + " of " + std::to_string((b.*m).size()) + " values where " +
                  std::to_string((a.*m).size()) + " belong";
    }
    template <class M>
    void sums(const char* n, M m) { same(n, m); }
    template <class M>
    void cells(const char* n, M m) {
        // A block of a worker holds no cells (its hits stand for them).
        if ((b.*m).empty()) return;
        same(n, m);
    }
    template <class M>
    void hits(const char* n, M m) {
        for (const auto& h : b.*m)
            if (bad.empty() && !fits(h)) bad = std::string(n) + " outside the images or the histogram";
    }
    bool fits(const image_hit& h) const {
        return h.plane >= -1 && h.plane <= n_image_planes && h.cell >= 0 && h.cell < a.image_cells() &&
               !a.vis_image.empty();
    }
    bool fits(const hist_hit& h) const {
        return !a.esc_hist.empty() && h.plane >= 1 && h.plane <= n_hist_planes && h.lat >= 1 && h.lat <= n_hist_lat &&
               h.fii >= 1 && h.fii <= n_hist_fii;
    }
};

struct add_visitor : ignore_roles {
    exact_tables x;
    const tallies& b;
    std::size_t table = 0;
    template <class M>
    void sums(const char* n, M m) {
        std::vector<fixed256>& acc = x.sums[table++];
        const auto& y = b.*m;
        for (std::size_t i = 0; i < acc.size(); ++i)
            if (y[i] != 0.0 && !acc[i].add(y[i])) out_of_range("", n);
    }
    template <class M>
    void counts(const char*, M m) { x.total.*m += b.*m; }
    template <class M>
    void cells(const char* n, M m) {
        const auto& y = b.*m;
        if (y.empty()) return;
        if constexpr (float_cells<M>) {
            std::vector<fixed128>& acc = x.cells_of(m);
            for (std::size_t i = 0; i < acc.size(); ++i)
                if (y[i] != 0.0f && !acc[i].add(double(y[i]))) out_of_range("", n);
        } else {
            auto& t = x.total.*m;
            for (std::size_t i = 0; i < t.size(); ++i) t[i] += y[i];
        }
    }
    template <class M>
    void escapes(const char*, M m) {
        // Placed at their photon numbers; a last block's records past the
        // run's last photon are none.
        auto& t = x.total.*m;
        const auto& y = b.*m;
        for (std::size_t i = 0; i < y.size(); ++i) {
            const std::int64_t at = b.esc_first + std::int64_t(i) - x.total.esc_first;
            if (at >= 0 && at < std::int64_t(t.size())) t[std::size_t(at)] = y[i];
        }
    }
    void hit(const image_hit& h, const char* n) {
        tallies& t = x.total;
        if (h.plane == 0) {
            t.ill_image[std::size_t(h.cell)] += 1;
        } else if (h.plane < 0) {
            t.vis_image[std::size_t(h.cell)] += 1;
        } else if (!x.image[t.plane_at(h.plane, h.cell)].add(h.c)) {
            out_of_range("", n);
        }
    }
    void hit(const hist_hit& h, const char* n) {
        if (!x.hist[tallies::hist_at(h.plane, h.lat, h.fii)].add(h.w)) out_of_range("", n);
    }
    template <class M>
    void hits(const char* n, M m) {
        for (const auto& h : b.*m) hit(h, n);
    }
};

struct round_visitor : ignore_roles {
    exact_tables x;
    std::size_t table = 0;
    template <class M>
    void sums(const char*, M m) {
        const std::vector<fixed256>& acc = x.sums[table++];
        auto& t = x.total.*m;
        for (std::size_t i = 0; i < acc.size(); ++i) t[i] = acc[i].to_double();
    }
    template <class M>
    void cells(const char*, M m) {
        if constexpr (float_cells<M>) {
            const std::vector<fixed128>& acc = x.cells_of(m);
            auto& t = x.total.*m;
            for (std::size_t i = 0; i < acc.size(); ++i) t[i] = acc[i].to_float();
        }
    }
};

template <int N>
void put_sums(std::string& out, const std::vector<fixed_sum<N>>& v) {
    put(out, std::int64_t(v.size()));
    for (const fixed_sum<N>& s : v) out.append(reinterpret_cast<const char*>(s.limb), sizeof s.limb);
}

struct encode_visitor : ignore_roles {
    exact_tables x;
    std::string& out;
    std::size_t first, count;  // escape records: index in the total's and number
    std::size_t table = 0;
    template <class M>
    void sums(const char*, M) { put_sums(out, x.sums[table++]); }
    template <class M>
    void counts(const char*, M m) { put(out, std::int64_t(x.total.*m)); }
    template <class M>
    void cells(const char*, M m) {
        if constexpr (float_cells<M>) {
            put_sums(out, x.cells_of(m));
        } else {
            const auto& v = x.total.*m;
            put(out, std::int64_t(v.size()));
            out.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(v[0]));
        }
    }
    template <class M>
    void escapes(const char*, M m) {
        if (count > 0) out.append(reinterpret_cast<const char*>((x.total.*m).data() + first), count * sizeof(float));
    }
};

struct decode_visitor : ignore_roles {
    exact_tables x;
    byte_source in;
    std::size_t first, count;
    std::size_t table = 0;
    // The number of values of table n: `size`, or 0 as well when `none_too`.
    std::size_t count_of(const char* n, std::size_t size, bool none_too) {
        const auto c = in.get<std::int64_t>(n);
        if (c != std::int64_t(size) && !(none_too && c == 0))
            throw run_error(in.what + ": table " + n + " holds " + std::to_string(c) + " values, expected " +
                            std::to_string(size) + (none_too && size != 0 ? " or none" : ""));
        return std::size_t(c);
    }
    template <int N>
    void add_sums(const char* n, std::vector<fixed_sum<N>>& acc, bool none_too) {
        const std::size_t c = count_of(n, acc.size(), none_too);
        for (std::size_t i = 0; i < c; ++i) {
            fixed_sum<N> s;
            in.take(s.limb, sizeof s.limb, n);
            if (!acc[i].add(s)) out_of_range(in.what + ": ", n);
        }
    }
    template <class M>
    void sums(const char* n, M) { add_sums(n, x.sums[table++], false); }
    // Counts from a file add modulo 2^64 (2^32): a damaged file cannot
    // overflow them.
    template <class T>
    static T wrapping_sum(T a, T b) {
        using U = std::make_unsigned_t<T>;
        return T(U(a) + U(b));
    }
    template <class M>
    void counts(const char* n, M m) {
        x.total.*m = wrapping_sum<std::int64_t>(x.total.*m, in.get<std::int64_t>(n));
    }
    template <class M>
    void cells(const char* n, M m) {
        if constexpr (float_cells<M>) {
            add_sums(n, x.cells_of(m), true);
        } else {
            auto& v = x.total.*m;
            const std::size_t c = count_of(n, v.size(), true);
            for (std::size_t i = 0; i < c; ++i) v[i] = wrapping_sum<std::int32_t>(v[i], in.get<std::int32_t>(n));
        }
    }
    template <class M>
    void escapes(const char* n, M m) {
        if (count > 0) in.take((x.total.*m).data() + first, count * sizeof(float), n);
    }
};

struct size_visitor : ignore_roles {
    const tallies& t;
    std::vector<std::vector<fixed256>>& s;
    template <class M>
    void sums(const char*, M m) { s.emplace_back((t.*m).size()); }
};

}  // namespace

// The visitors read the sums of a const object too (rounding and encoding).
exact_tables exact_totals::tables() const {
    auto& self = const_cast<exact_totals&>(*this);
    return {total_, self.sums_, self.image_, self.hist_};
}

exact_totals::exact_totals(tallies& total) : total_(total) {
    tallies::visit_tables(size_visitor{{}, total_, sums_});
    image_.resize(total_.test_image.size());
    hist_.resize(total_.esc_hist.size());
}

void exact_totals::add(const tallies& block) {
    check_visitor c(total_, block);
    tallies::visit_tables(c);
    if (block.sizes.ntest != total_.sizes.ntest || !c.bad.empty())
        throw run_error("tallies of " + std::to_string(block.sizes.ntest) + " directions" +
                        (c.bad.empty() ? "" : " (" + c.bad + ")") + " do not fit a run of " +
                        std::to_string(total_.sizes.ntest) + " directions");
    tallies::visit_tables(add_visitor{{}, tables(), block});
}

void exact_totals::round_into_total() const {
    tallies::visit_tables(round_visitor{{}, tables()});
}

void exact_totals::encode(std::string& out, std::int64_t esc_first, std::int64_t esc_count) const {
    esc_count = escapes_of(esc_count);
    if (esc_count > 0 && (esc_first < total_.esc_first ||
                          esc_first - total_.esc_first + esc_count > std::int64_t(total_.esc_lat.size())))
        throw run_error("escape records of photons " + std::to_string(esc_first) + " and on are not held");
    out.append(exact_tag, sizeof exact_tag);
    put(out, std::int64_t(total_.sizes.ntest));
    put(out, esc_first);
    put(out, esc_count);
    tallies::visit_tables(encode_visitor{{}, tables(), out,
                                         std::size_t(esc_first - total_.esc_first), std::size_t(esc_count)});
}

void exact_totals::add_encoded(std::string_view bytes, std::size_t& at, const std::string& what,
                               std::int64_t esc_first, std::int64_t esc_count) {
    esc_count = escapes_of(esc_count);
    byte_source in{bytes, at, what, "totals"};
    in.expect_head(exact_tag, total_.sizes.ntest);
    const auto first = in.get<std::int64_t>("(escape records)");
    const auto count = in.get<std::int64_t>("(escape records)");
    if (count != esc_count || (count > 0 && first != esc_first))
        throw run_error(what + ": escape records of " + std::to_string(count) + " photons from photon " +
                        std::to_string(first) + ", expected " + std::to_string(esc_count) +
                        (esc_count > 0 ? " from photon " + std::to_string(esc_first) : ""));
    if (count > 0 && (esc_first < total_.esc_first ||
                      esc_first - total_.esc_first + count > std::int64_t(total_.esc_lat.size())))
        throw run_error(what + ": escape records of photons " + std::to_string(esc_first) + " and on are not held");
    tallies::visit_tables(decode_visitor{{}, tables(), {bytes, at, what, "totals"},
                                         std::size_t(count > 0 ? esc_first - total_.esc_first : 0),
                                         std::size_t(count)});
}

}  // namespace quillet
