// Trimming of one pixel column of N values (with a few outliers) through the
// selection and through the sort, and the trimming and statistics passes over a
// stack of 25 frames of 512 x 512 in their plain forms and block-wise on each
// instruction set.
#include "stats_reference.h"

#include <vector>

#include <benchmark/benchmark.h>

namespace {

float noise(unsigned* state) {
    *state = *state * 1103515245u + 12345u;
    return static_cast<float>((*state >> 16) & 0x7FFF) / 32768.0f;
}

std::vector<data_struct> make_column(int n) {
    std::vector<data_struct> col(static_cast<size_t>(n));
    unsigned state = 12345u;
    for (int i = 0; i < n; ++i)
        col[static_cast<size_t>(i)] = {100.0f + noise(&state), i, 1.0f};
    col[0].value = 5000.0f; // a cosmic-ray hit
    col[static_cast<size_t>(n / 2)].value = -300.0f;
    return col;
}

// Scratch for columns of n values, or the benchmark skipped.
bool scratch_for(benchmark::State& state, stats_scratch* scratch, int n) {
    if (stats_scratch_init(scratch, n))
        return true;
    state.SkipWithError("no scratch");
    return false;
}

control_settings trim_settings() {
    control_settings cs;
    clear_cs_flags(&cs);
    cs.cut_frac = 0.2f;
    cs.cut_multiple = 5.0f;
    return cs;
}

void BM_TrimColumn(benchmark::State& state) {
    int n = static_cast<int>(state.range(0));
    control_settings cs = trim_settings();
    stats_scratch scratch;
    if (!scratch_for(state, &scratch, n))
        return;
    const std::vector<data_struct> original = make_column(n);
    std::vector<data_struct> col(original.size());
    for (auto _ : state) {
        col = original;
        int count = n;
        asymmetric_trimming(col.data(), &count, &cs, &scratch);
        benchmark::DoNotOptimize(count);
    }
    stats_scratch_free(&scratch);
}

void BM_TrimFiniteColumn(benchmark::State& state) {
    int n = static_cast<int>(state.range(0));
    control_settings cs = trim_settings();
    std::vector<float> original, values(static_cast<size_t>(n)), sorted(values.size());
    std::vector<int> dces(values.size());
    for (const data_struct& d : make_column(n))
        original.push_back(d.value);
    for (auto _ : state) {
        values = original;
        benchmark::DoNotOptimize(
            trim_finite_column(values.data(), dces.data(), n, &cs, sorted.data()));
    }
}

// A stack of 25 frames of 512 x 512 with uncertainties: noise, one hit in 50 pixels
// per frame.
struct BenchStack {
    static constexpr int kN = 25;
    static constexpr size_t kPix = 512 * 512;
    std::vector<std::vector<float>> original, planes, sdev;
    std::vector<float*> ptr, sdev_ptr;
    BenchStack() : original(kN, std::vector<float>(kPix)), sdev(kN, std::vector<float>(kPix)) {
        unsigned state = 99u;
        for (size_t j = 0; j < kN; ++j)
            for (size_t p = 0; p < kPix; ++p) {
                original[j][p] = (p * 7919u + j) % 50u == 0 ? 4000.0f : 100.0f + noise(&state);
                sdev[j][p] = 1.0f + noise(&state);
            }
        planes = original;
        for (size_t j = 0; j < kN; ++j) {
            ptr.push_back(planes[j].data());
            sdev_ptr.push_back(sdev[j].data());
        }
    }
    void reset() {
        for (int j = 0; j < kN; ++j)
            planes[static_cast<size_t>(j)] = original[static_cast<size_t>(j)];
    }
    stack_view view() { return {ptr.data(), nullptr, nullptr, nullptr, nullptr, kN, kPix}; }
    stack_view view_with_sdev() {
        return {ptr.data(), sdev_ptr.data(), nullptr, nullptr, nullptr, kN, kPix};
    }
};

// The paths of the passes a benchmark argument picks: the plain reference, then the
// block-wise pass capped at each instruction set (stats_limit_simd).
enum bench_path { path_reference, path_sse2, path_avx512, path_columns };

// Runs the block-wise passes of a scope on `path`; the reference ignores the cap.
struct PathCap {
    explicit PathCap(int path) {
        stats_limit_simd(path == path_avx512 ? stats_simd_avx512 : stats_simd_plain);
    }
    ~PathCap() { stats_limit_simd(stats_simd_avx512); }
};

// Trimming and statistics in one pass, as a run without DCE weighting makes them.
void BM_TrimmingStatisticsPass(benchmark::State& state) {
    PathCap cap(static_cast<int>(state.range(0)));
    BenchStack stack;
    control_settings cs = trim_settings();
    stats_scratch scratch;
    if (!scratch_for(state, &scratch, BenchStack::kN))
        return;
    std::vector<float> weight(BenchStack::kN, 1.0f), means(BenchStack::kPix),
        sdevs(BenchStack::kPix);
    std::vector<int16_t> amask(BenchStack::kPix);
    std::vector<data_struct> column(BenchStack::kN);
    stack_view view = stack.view_with_sdev();
    stats_products out{weight.data(), means.data(), sdevs.data(), amask.data()};
    for (auto _ : state) {
        state.PauseTiming();
        stack.reset();
        state.ResumeTiming();
        float nan = __builtin_nanf("");
        benchmark::DoNotOptimize(
            trimming_statistics_pass(&view, &cs, column.data(), &scratch, &out, nan));
    }
    stats_scratch_free(&scratch);
}

// Trimming pass: path_columns trims every column on its own (trim_finite_column,
// no tile sort), the others sort the tiles with SSE or in AVX-512 registers.
void BM_TrimmingPass(benchmark::State& state) {
    const int path = static_cast<int>(state.range(0));
    PathCap cap(path == path_columns ? path_avx512 : path);
    BenchStack stack;
    control_settings cs = trim_settings();
    stats_scratch scratch;
    if (!scratch_for(state, &scratch, BenchStack::kN))
        return;
    if (path == path_columns)
        scratch.network_size = 0; // as for stacks too deep for the tile
    std::vector<data_struct> column(BenchStack::kN);
    stack_view view = stack.view();
    for (auto _ : state) {
        state.PauseTiming();
        stack.reset();
        state.ResumeTiming();
        float nan = __builtin_nanf("");
        benchmark::DoNotOptimize(path == path_reference
                                     ? trimming_pass_plain(&view, &cs, column.data(), &scratch, nan)
                                     : trimming_pass(&view, &cs, column.data(), &scratch, nan));
    }
    stats_scratch_free(&scratch);
}

void BM_StatisticsPass(benchmark::State& state) {
    const int path = static_cast<int>(state.range(0));
    PathCap cap(path);
    BenchStack stack;
    control_settings cs = trim_settings();
    std::vector<float> weight(BenchStack::kN, 1.0f), means(BenchStack::kPix),
        sdevs(BenchStack::kPix);
    std::vector<int16_t> amask(BenchStack::kPix);
    std::vector<data_struct> column(BenchStack::kN);
    stack_view view = stack.view_with_sdev();
    float nan = __builtin_nanf("");
    stats_scratch scratch; // the pass sums planes trimmed first, with their NaNs
    if (!scratch_for(state, &scratch, BenchStack::kN))
        return;
    trimming_pass(&view, &cs, column.data(), &scratch, nan);
    stats_scratch_free(&scratch);
    for (auto _ : state) {
        if (path == path_reference)
            statistics_pass_plain(&view, weight.data(), &cs, column.data(), means.data(),
                                  sdevs.data(), amask.data(), nan);
        else
            statistics_pass(&view, weight.data(), &cs, means.data(), sdevs.data(), amask.data(),
                            nan);
        benchmark::DoNotOptimize(means.data());
    }
}

} // namespace

BENCHMARK(BM_TrimColumn)->Arg(5)->Arg(25)->Arg(100);
BENCHMARK(BM_TrimFiniteColumn)->Arg(5)->Arg(25)->Arg(100);
// path: 0 the plain reference, 1 SSE2, 2 AVX-512, 3 columns one by one.
BENCHMARK(BM_TrimmingPass)->ArgName("path")->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StatisticsPass)->ArgName("path")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TrimmingStatisticsPass)
    ->ArgName("path")
    ->DenseRange(1, 2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
