// The totals of a run whose photons run in blocks (threads, processes, parts
// and their merge): every sum of doubles kept as a 256-bit fixed-point number
// and every single-precision image and histogram cell as a 128-bit one
// (numeric/fixed_sum.h), to which the blocks' sums and hits are added
// exactly. The totals are then the same bits in whatever order the blocks
// come, so a part keeps its one total and a merge adds the parts' totals; a
// checkpoint keeps the total of the blocks done. At the end the sums are
// rounded once into the run's tallies, which the result files read. The
// counters, the counted images (vis_image, ill_image) and the escape records
// are exact already and go straight into the run's tallies.
//
// A term's bits below the resolution (2^-192 for the sums, 2^-64 for the
// cells) are dropped; a sum that reaches 2^63 or a term that is not a finite
// number stops the run with a message naming the table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/tallies.h"
#include "numeric/fixed_sum.h"

namespace quillet {

struct exact_tables;

class exact_totals {
public:
    // Sums for the tables of `total` (a run's tallies, not a worker's), all zero.
    explicit exact_totals(tallies& total);
    exact_totals(const exact_totals&) = delete;
    exact_totals& operator=(const exact_totals&) = delete;

    tallies& total() const { return total_; }

    // Adds a block of a worker (its image and histogram hits included), or
    // any tallies of the run's tables. Throws run_error when the tables do not
    // fit the run's or a sum leaves the range.
    void add(const tallies& block);

    // Writes the sums, rounded to double, and the image and histogram cells,
    // rounded to float, into the run's tallies.
    void round_into_total() const;

    // The totals as bytes, with the escape records of photons
    // esc_first .. esc_first + esc_count - 1 (none when the run keeps
    // none). Layout (host byte order, no padding): 8 bytes "QLEXACT1";
    // int64 ntest, int64 esc_first, int64 number of escape records; per table
    // of the list (tallies::visit_tables): sums - int64 number of values and
    // each value's four 64-bit limbs, least significant first; counts - the
    // int64; cells - int64 number of values (0: none kept) and the values
    // (int32 counts, or the two limbs of a single-precision cell's sum);
    // escapes - the records (float). Hits: none.
    void encode(std::string& out, std::int64_t esc_first, std::int64_t esc_count) const;
    // Adds such bytes, from `at` (moved past them), to these totals. The
    // escape records must be those of the photons given. Throws run_error
    // naming `what` when the bytes are cut short, carry another tag, other
    // tables or other photons, or a sum leaves the range.
    void add_encoded(std::string_view bytes, std::size_t& at, const std::string& what, std::int64_t esc_first,
                     std::int64_t esc_count);

    // The number of escape records the run keeps of photons first .. first + n - 1.
    std::int64_t escapes_of(std::int64_t n) const { return total_.esc_lat.empty() ? 0 : n; }

private:
    exact_tables tables() const;
    tallies& total_;
    std::vector<std::vector<fixed256>> sums_;  // one per sums table, in the order of the list
    std::vector<fixed128> image_;              // test_image
    std::vector<fixed128> hist_;               // esc_hist
};

}  // namespace quillet
