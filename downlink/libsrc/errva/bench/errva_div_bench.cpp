// Cost of one uncertainty quotient: the plain entry points against a loop that
// forms the same quotient and second-order sigma inline, over a large array.
//
// BM_div_vs_inline_* runs both loops in every iteration and reports their CPU
// times per element and their ratio (entry point / inline loop) as counters;
// the other benchmarks time each loop on its own.
#include "errva.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <ctime>
#include <vector>

namespace {

constexpr std::size_t kCount = 1 << 20;

template <class T> struct Operands {
    std::vector<T> a, as, b, bs, out, out_sigma;
    std::vector<int> flags;
    Operands() : a(kCount), as(kCount), b(kCount), bs(kCount), out(kCount), out_sigma(kCount) {
        flags.assign(kCount, 0);
        for (std::size_t i = 0; i < kCount; ++i) {
            a[i] = T(100 + i % 97);
            as[i] = T(3 + i % 5);
            b[i] = T(1 + (i % 13) * 0.01);
            bs[i] = T(0.01 + (i % 7) * 0.002);
        }
    }
};

template <class T> Operands<T>& operands() {
    static Operands<T> ops;
    return ops;
}

int entry_point(float* r, float* rs, int* rf, float a, float as, float b, float bs) {
    return errva_div(r, rs, rf, a, as, 0, b, bs, 0);
}
int entry_point(double* r, double* rs, int* rf, double a, double as, double b, double bs) {
    return errva_ddiv(r, rs, rf, a, as, 0, b, bs, 0);
}

// Both loops work on plain pointers, as a caller over its image planes would.
template <class T> struct Planes {
    const T *a, *as, *b, *bs;
    T *out, *out_sigma;
    int* flags;
    explicit Planes(Operands<T>& o)
        : a(o.a.data()), as(o.as.data()), b(o.b.data()), bs(o.bs.data()), out(o.out.data()),
          out_sigma(o.out_sigma.data()), flags(o.flags.data()) {}
};

template <class T> void library_loop(Operands<T>& o) {
    const Planes<T> p(o);
    for (std::size_t i = 0; i < kCount; ++i)
        entry_point(&p.out[i], &p.out_sigma[i], &p.flags[i], p.a[i], p.as[i], p.b[i], p.bs[i]);
    benchmark::DoNotOptimize(p.out);
    benchmark::ClobberMemory();
}

// The normal-case variance with the library's rounding steps: single
// precision forms the squares, b^4, a^2 bs^2 and as^2/b^2 in float and the
// rest of the variance in double.
inline float variance(float a, float as, float b, float bs) {
    const float as2 = as * as, b2 = b * b, bs2 = bs * bs;
    const float b4 = b2 * b2, a2bs2 = (a * a) * bs2, ratio = as2 / b2;
    return float(((double(as2) * 3.0) * double(bs2) + double(a2bs2)) / double(b4) + ratio);
}
inline double variance(double a, double as, double b, double bs) {
    const double as2 = as * as, b2 = b * b, bs2 = bs * bs;
    return as2 / b2 + ((as2 * 3.0) * bs2 + (a * a) * bs2) / (b2 * b2);
}

// The quotient and its second-order sigma without screening, states or flags.
template <class T> void inline_loop(Operands<T>& o) {
    const Planes<T> p(o);
    for (std::size_t i = 0; i < kCount; ++i) {
        p.out[i] = p.a[i] / p.b[i];
        p.out_sigma[i] = std::sqrt(variance(p.a[i], p.as[i], p.b[i], p.bs[i]));
    }
    benchmark::DoNotOptimize(p.out);
    benchmark::ClobberMemory();
}

double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

template <class T> void div_vs_inline(benchmark::State& state) {
    Operands<T>& o = operands<T>();
    double library = 0, inline_time = 0;
    for (auto _ : state) {
        const double t0 = thread_seconds();
        library_loop(o);
        const double t1 = thread_seconds();
        inline_loop(o);
        inline_time += thread_seconds() - t1;
        library += t1 - t0;
    }
    const double n = double(state.iterations()) * double(kCount);
    state.counters["entry_ns"] = 1e9 * library / n;
    state.counters["inline_ns"] = 1e9 * inline_time / n;
    state.counters["ratio"] = inline_time > 0 ? library / inline_time : 0.0;
}

template <class T> void entry_point_only(benchmark::State& state) {
    Operands<T>& o = operands<T>();
    for (auto _ : state)
        library_loop(o);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kCount));
}

template <class T> void inline_only(benchmark::State& state) {
    Operands<T>& o = operands<T>();
    for (auto _ : state)
        inline_loop(o);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kCount));
}

void BM_div_vs_inline_float(benchmark::State& state) {
    div_vs_inline<float>(state);
}
void BM_div_vs_inline_double(benchmark::State& state) {
    div_vs_inline<double>(state);
}
void BM_errva_div(benchmark::State& state) {
    entry_point_only<float>(state);
}
void BM_errva_ddiv(benchmark::State& state) {
    entry_point_only<double>(state);
}
void BM_inline_quotient_float(benchmark::State& state) {
    inline_only<float>(state);
}
void BM_inline_quotient_double(benchmark::State& state) {
    inline_only<double>(state);
}

} // namespace

BENCHMARK(BM_div_vs_inline_float)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_div_vs_inline_double)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_errva_div)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_errva_ddiv)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_inline_quotient_float)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_inline_quotient_double)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
