// Cost of the per-photon random streams against the shared generator: one
// deviate from a long stream, one Philox4x64-10 block, and a whole photon's
// worth (start, then a few draws, as a photon with a few scatterings takes).
//
// Reported per benchmark: time per deviate ("per_draw") or per block.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "numeric/photon_stream.h"
#include "numeric/ran1.h"

using namespace quillet;

namespace {

void bm_stream_next(benchmark::State& state) {
    photon_stream s;
    s.start(-12345, 0);
    float sum = 0.0f;
    for (auto _ : state) {
        for (int i = 0; i < 1024; ++i) sum += s.next();
        benchmark::DoNotOptimize(sum);
    }
    state.counters["per_draw"] =
        benchmark::Counter(double(state.iterations()) * 1024, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(bm_stream_next);

void bm_ran1_draw(benchmark::State& state) {
    std::int32_t idum = -12345;
    ran1_state generator;
    ran1(generator, idum);
    random_draws draws(generator);
    double sum = 0.0;
    for (auto _ : state) {
        for (int i = 0; i < 1024; ++i) sum += draws.next();
        benchmark::DoNotOptimize(sum);
    }
    state.counters["per_draw"] =
        benchmark::Counter(double(state.iterations()) * 1024, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(bm_ran1_draw);

void bm_philox_block(benchmark::State& state) {
    philox4x64_ctr ctr{0, 7, 0, 0};
    const philox4x64_key key{0xFFFFCFC7u, photon_stream_tag};
    std::uint64_t acc = 0;
    for (auto _ : state) {
        const philox4x64_ctr w = philox4x64_10(ctr, key);
        acc ^= w[0] ^ w[3];
        ++ctr[0];
        benchmark::DoNotOptimize(acc);
    }
}
BENCHMARK(bm_philox_block);

// A photon: start, then `draws` deviates (1 for the rotation, 2 per scattering).
void bm_photon(benchmark::State& state) {
    const int draws = int(state.range(0));
    photon_stream s;
    std::int64_t p = 0;
    float sum = 0.0f;
    for (auto _ : state) {
        s.start(-12345, p++);
        for (int i = 0; i < draws; ++i) sum += s.next();
        benchmark::DoNotOptimize(sum);
    }
    state.counters["per_draw"] = benchmark::Counter(double(state.iterations()) * draws,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(bm_photon)->Arg(1)->Arg(3)->Arg(21);

}  // namespace

BENCHMARK_MAIN();
