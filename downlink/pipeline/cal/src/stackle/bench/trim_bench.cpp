// Trimming of one pixel column of N values (with a few outliers), as the
// trimming pass does it for every pixel.
#include "stackle.h"

#include <vector>

#include <benchmark/benchmark.h>

namespace {

std::vector<data_struct> make_column(int n) {
    std::vector<data_struct> col(static_cast<size_t>(n));
    unsigned state = 12345u;
    for (int i = 0; i < n; ++i) {
        state = state * 1103515245u + 12345u;
        float noise = static_cast<float>((state >> 16) & 0x7FFF) / 32768.0f;
        col[static_cast<size_t>(i)] = {100.0f + noise, i, 1.0f};
    }
    col[0].value = 5000.0f; // a cosmic-ray hit
    col[static_cast<size_t>(n / 2)].value = -300.0f;
    return col;
}

void BM_TrimColumn(benchmark::State& state) {
    int n = static_cast<int>(state.range(0));
    control_settings cs;
    clear_cs_flags(&cs);
    cs.cut_frac = 0.2f;
    cs.cut_multiple = 5.0f;
    stats_scratch scratch;
    if (!stats_scratch_init(&scratch, n)) {
        state.SkipWithError("no scratch");
        return;
    }
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

} // namespace

BENCHMARK(BM_TrimColumn)->Arg(5)->Arg(25)->Arg(100);
BENCHMARK_MAIN();
