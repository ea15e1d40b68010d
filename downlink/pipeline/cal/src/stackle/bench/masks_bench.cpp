// The masking pass and the DCE weights over a stack of N frames of 1024 x 1024 pixels with
// BMASK, PMASK and FMASK planes, as a weighted run does them once each.
#include "stackle.h"

#include <cmath>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

constexpr size_t kPixels = 1024 * 1024;

struct Stack {
    std::vector<std::vector<float>> data;
    std::vector<std::vector<int16_t>> bmask, pmask;
    std::vector<int16_t> fmask = std::vector<int16_t>(kPixels);
    std::vector<float*> data_ptr;
    std::vector<const int16_t*> bmask_ptr, pmask_ptr;
    control_settings cs{};

    explicit Stack(int n) {
        unsigned state = 12345u;
        for (int i = 0; i < n; ++i) {
            data.emplace_back(kPixels);
            bmask.emplace_back(kPixels);
            pmask.emplace_back(kPixels);
            for (size_t p = 0; p < kPixels; ++p) {
                state = state * 1103515245u + 12345u;
                data.back()[p] = 100.0f + static_cast<float>((state >> 16) & 0xFF);
                bmask.back()[p] = (state >> 8) % 500 == 0 ? 128 : 0;
                pmask.back()[p] = (state >> 4) % 700 == 0 ? 64 : 0;
            }
        }
        for (size_t p = 0; p < kPixels; ++p)
            fmask[p] = p % 1024 < 600 ? 1 : 2;
        for (int i = 0; i < n; ++i) {
            data_ptr.push_back(data[static_cast<size_t>(i)].data());
            bmask_ptr.push_back(bmask[static_cast<size_t>(i)].data());
            pmask_ptr.push_back(pmask[static_cast<size_t>(i)].data());
        }
        clear_cs_flags(&cs);
        cs.bfatal = 128;
        cs.pfatal = 64;
        cs.use_weights = 1;
        cs.bit_for_wts = 1;
    }
    stack_view view() {
        return {data_ptr.data(),  nullptr,      bmask_ptr.data(),
                pmask_ptr.data(), fmask.data(), static_cast<int>(data.size()),
                kPixels};
    }
};

void BM_MaskingPass(benchmark::State& state) {
    Stack s(static_cast<int>(state.range(0)));
    stack_view v = s.view();
    std::vector<long> good(s.data.size());
    const float nan = std::nanf("");
    for (auto _ : state) {
        masking_pass(&v, &s.cs, good.data(), nan); // removes on the first round only
        benchmark::DoNotOptimize(good.data());
    }
}

void BM_DceWeights(benchmark::State& state) {
    Stack s(static_cast<int>(state.range(0)));
    stack_view v = s.view();
    std::vector<long> good(s.data.size());
    std::vector<float> weight(s.data.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(dce_weights(&v, &s.cs, weight.data(), good.data()));
    }
}

} // namespace

BENCHMARK(BM_MaskingPass)->Arg(5)->Arg(25)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DceWeights)->Arg(5)->Arg(25)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
