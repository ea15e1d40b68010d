// Cost of one uncertainty quotient: the plain entry points against the same
// quotient and second-order sigma written inline, over a large array.
#include "errva.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
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

void BM_errva_div(benchmark::State& state) {
    Operands<float>& o = operands<float>();
    for (auto _ : state) {
        for (std::size_t i = 0; i < kCount; ++i)
            errva_div(&o.out[i], &o.out_sigma[i], &o.flags[i], o.a[i], o.as[i], 0, o.b[i], o.bs[i],
                      0);
        benchmark::DoNotOptimize(o.out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}

void BM_errva_ddiv(benchmark::State& state) {
    Operands<double>& o = operands<double>();
    for (auto _ : state) {
        for (std::size_t i = 0; i < kCount; ++i)
            errva_ddiv(&o.out[i], &o.out_sigma[i], &o.flags[i], o.a[i], o.as[i], 0, o.b[i], o.bs[i],
                       0);
        benchmark::DoNotOptimize(o.out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}

// The normal-case quotient and its second-order sigma, without screening or states.
template <class T> void inline_quotient(benchmark::State& state) {
    Operands<T>& o = operands<T>();
    for (auto _ : state) {
        for (std::size_t i = 0; i < kCount; ++i) {
            const T a = o.a[i], as2 = o.as[i] * o.as[i], b2 = o.b[i] * o.b[i];
            const T bs2 = o.bs[i] * o.bs[i];
            o.out[i] = a / o.b[i];
            o.out_sigma[i] = std::sqrt(as2 / b2 + (T(3) * as2 * bs2 + a * a * bs2) / (b2 * b2));
        }
        benchmark::DoNotOptimize(o.out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}

void BM_inline_quotient_float(benchmark::State& state) {
    inline_quotient<float>(state);
}
void BM_inline_quotient_double(benchmark::State& state) {
    inline_quotient<double>(state);
}

} // namespace

BENCHMARK(BM_errva_div)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_errva_ddiv)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_inline_quotient_float)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_inline_quotient_double)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
