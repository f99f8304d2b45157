// libFuzzer program for the checkpoint and partial file: the decoder and the
// restore of a run (fuzz/target_state_file.h).
//
// Almost every mutation of a state file breaks its checksum, which the
// decoder checks before anything else. A custom mutator therefore mutates
// and then seals the file again (its magic, total length and SHA-256), so
// that every input the fuzzer keeps (corpus, crash artifacts, the
// regressions) is itself a valid state file: exactly what the quillet
// program's --resume and --merge read. Half of the mutations work on one
// section's unpacked bytes and encode the file anew (the squeezing of zero
// runs would otherwise hide the sections' layout from byte mutations); one
// raw mutation in sixteen is left unsealed, for the decoder's own checks.
//
// With QUILLET_FUZZ_REFUSALS set, each input's refusals are printed on
// standard error, one per line: how a crafted input is shown to reach the
// check it was made for (fuzz_state_file -runs=1 FILE...).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "format/sha256.h"
#include "fuzz/target_state_file.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace {

bool show_refusals = false;

// Magic, total length and checksum made to fit the bytes.
void seal(std::uint8_t* data, std::size_t size) {
    constexpr std::size_t trailer = 32;
    if (size < 16 + trailer) return;
    static const char magic[8] = {char(0x89), 'Q', 'U', 'I', 'L', 'L', 'E', 'T'};
    std::memcpy(data, magic, sizeof magic);
    const std::uint64_t total = size;
    std::memcpy(data + 8, &total, sizeof total);
    const quillet::sha256_digest sum =
        quillet::sha256_of(std::string_view(reinterpret_cast<const char*>(data), size - trailer));
    std::memcpy(data + size - trailer, sum.data(), trailer);
}

// One section's bytes mutated, the file encoded again; 0 when the input is
// no state file or the result does not fit.
std::size_t mutate_section(std::uint8_t* data, std::size_t size, std::size_t max_size, std::minstd_rand& rng) {
    using namespace quillet;
    state_contents c;
    try {
        c = decode_state(std::string(reinterpret_cast<const char*>(data), size), "seed", fuzz::state_version);
    } catch (const run_error&) {
        return 0;
    }
    if (c.sections.empty()) return 0;
    std::string& bytes = c.sections[rng() % c.sections.size()].bytes;
    const std::size_t n = bytes.size();
    std::vector<std::uint8_t> buf(n + 64);
    std::memcpy(buf.data(), bytes.data(), n);
    buf.resize(LLVMFuzzerMutate(buf.data(), n, buf.size()));
    bytes.assign(reinterpret_cast<const char*>(buf.data()), buf.size());
    const std::string out = encode_state(c);
    if (out.size() > max_size) return 0;
    std::memcpy(data, out.data(), out.size());
    return out.size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    show_refusals = std::getenv("QUILLET_FUZZ_REFUSALS") != nullptr;
    // The restore prints the saved report lines on standard output: keep it quiet.
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    return 0;
}

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int seed) {
    std::minstd_rand rng(seed);
    if (rng() % 2 == 0)
        if (const std::size_t n = mutate_section(data, size, max_size, rng)) return n;
    size = LLVMFuzzerMutate(data, size, max_size);
    if (rng() % 16 != 0) seal(data, size);
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quillet::fuzz::state_file(data, size, QUILLET_STATE_RUN);
    if (show_refusals)
        for (const std::string& r : quillet::fuzz::refusals) std::fprintf(stderr, "refused: %s\n", r.c_str());
    return 0;
}
