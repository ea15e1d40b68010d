// Throughput of distribute_quad: quadrilaterals per second for footprints of
// about one pixel and about 3 x 3 pixels, slightly rotated and placed at
// varying sub-pixel offsets so that they straddle pixel borders.
#include "integrate.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

constexpr int NX = 64, NY = 64;

struct Quad {
    double c[8];
};

std::vector<Quad> make_quads(double size) {
    std::vector<Quad> quads;
    const double rot = 0.2, h = 0.5 * size;
    const double cs = std::cos(rot), sn = std::sin(rot);
    const double dx[4] = {-h, h, h, -h}, dy[4] = {-h, -h, h, h};
    for (int n = 0; n < 1024; ++n) {
        const double cx = 8.0 + (n % 40) * 1.137, cy = 8.0 + (n / 40) * 1.731;
        Quad q;
        for (int k = 0; k < 4; ++k) {
            q.c[2 * k] = cx + dx[k] * cs - dy[k] * sn;
            q.c[2 * k + 1] = cy + dx[k] * sn + dy[k] * cs;
        }
        quads.push_back(q);
    }
    return quads;
}

void BM_distribute_quad(benchmark::State& state) {
    const std::vector<Quad> quads = make_quads(static_cast<double>(state.range(0)));
    std::vector<double> image(NX * NY, 0.0);
    size_t n = 0;
    for (auto _ : state) {
        const double* c = quads[n++ % quads.size()].c;
        distribute_quad(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], 1.0, image.data(), NX, NY);
        benchmark::DoNotOptimize(image.data());
    }
    // One item is one quadrilateral: items_per_second is quadrilaterals per second.
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

} // namespace

BENCHMARK(BM_distribute_quad)->Arg(1)->Arg(3);

BENCHMARK_MAIN();
