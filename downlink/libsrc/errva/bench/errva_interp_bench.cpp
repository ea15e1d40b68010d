// Cost of one interpolation with uncertainty: linear and natural spline, on
// short and medium tables.
#include "errva.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

struct Table {
    std::vector<double> xa, ya, sa;
    explicit Table(int n) : xa(n), ya(n), sa(n) {
        for (int i = 0; i < n; ++i) {
            xa[i] = i + 0.1 * (i % 3);
            ya[i] = std::sin(0.3 * i);
            sa[i] = 0.05 + 0.01 * (i % 4);
        }
    }
};

template <bool UseSpline> void interpolate(benchmark::State& state) {
    const int n = int(state.range(0));
    Table t(n);
    errvaclass* g = errva_globptr();
    double x = 0.37, y = 0, ys = 0;
    int flags = 0;
    for (auto _ : state) {
        if (UseSpline)
            g->spline_interp(y, ys, flags, x, n, t.xa.data(), t.ya.data(), t.sa.data());
        else
            g->linear_interp(y, ys, flags, x, n, t.xa.data(), t.ya.data(), t.sa.data());
        benchmark::DoNotOptimize(y);
        benchmark::DoNotOptimize(ys);
        x += 0.61;
        if (x > t.xa[n - 1])
            x -= t.xa[n - 1];
    }
}

void BM_linear_interp(benchmark::State& state) {
    interpolate<false>(state);
}
void BM_spline_interp(benchmark::State& state) {
    interpolate<true>(state);
}

} // namespace

BENCHMARK(BM_linear_interp)->Arg(8)->Arg(64);
BENCHMARK(BM_spline_interp)->Arg(8)->Arg(64);
BENCHMARK_MAIN();
