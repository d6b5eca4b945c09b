// Shared benchmark images: a smooth textured 256 x 256 reference quantised to 64 levels
// (0 .. 63), a 128 x 128 template cut from its centre (padded as the measures expect), and
// a near-identity affine warp that places the template back over the cut. images(L) gives
// the same scene quantised to L levels (0 .. L - 1), as 8- to 12-bit images are.
#pragma once

#include <benchmark/benchmark.h>

#include <cmath>
#include <map>
#include <memory>

#include "similarity/CImgI.h"

namespace benchfix {

struct Images {
    CImgI<float> ref;   // 256 x 256
    CImgI<float> tmp;   // 131 x 131: the 128 x 128 template at (1, 1) in a zero border
    CImg<float> affine; // (a, b, c, d, tx, ty)
    int tw = 128, th = 128;
};

inline Images makeImages(int levels)
{
    Images m;
    const int W = 256, H = 256;
    const double pi = 3.14159265358979323846, scale = levels / 64.0;
    m.ref.assign(W, H, 1, 1, 0.f);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const double v = 31.5 + 13 * std::sin(2 * pi * x / 37) * std::cos(2 * pi * y / 53) +
                             10 * std::sin(2 * pi * (x + y) / 23) + 7 * std::cos(2 * pi * (x - 2 * y) / 71);
            const double q = std::floor(v * scale);
            m.ref(x, y) = float(q < 0 ? 0 : (q > levels - 1 ? levels - 1 : q));
        }
    m.ref.setLast();
    m.tmp.assign(m.tw + 3, m.th + 3, 1, 1, 0.f);
    for (int y = 0; y < m.th; ++y)
        for (int x = 0; x < m.tw; ++x) m.tmp(x + 1, y + 1) = m.ref(x + 64, y + 64);
    m.tmp.setLast();
    // The cut's centre is at 64 + 63.5 in both axes.
    const float p[6] = {0.01f, -0.005f, 0.004f, -0.008f, 127.8f, 127.3f};
    m.affine.assign(6, 1, 1, 1, 0.f);
    for (int k = 0; k < 6; ++k) m.affine[k] = p[k];
    return m;
}

inline const Images& images(int levels = 64)
{
    static std::map<int, std::unique_ptr<Images>> cache;
    std::unique_ptr<Images>& m = cache[levels];
    if (!m) m.reset(new Images(makeImages(levels)));
    return *m;
}

// A whole one-warp use of a histogram measure M as the gateway makes it, at `levels`: build
// over images handed over, configure (bilinear, `order`), evalD, delete.
template <class M> void oneWarpCall(benchmark::State& state, int order, int levels)
{
    const Images& im = images(levels);
    CImg<float> g(6, 1, 1, 1, 0.f);
    for (auto _ : state) {
        state.PauseTiming();
        CImgI<float> ref(im.ref), tmp(im.tmp);
        ref.handOver = tmp.handOver = true;
        state.ResumeTiming();
        M m(ref, tmp, 6, CImg<float>(1, 1, 1, 1, 0.f));
        m.setInterpAndOrder(1, order, true);
        m.setSampleRate(1.f);
        benchmark::DoNotOptimize(m.evalD(im.affine, g));
    }
}

// Reports nanoseconds per template sample in the counter "ns/sample".
inline void perSample(benchmark::State& state, double samplesPerIteration)
{
    state.counters["ns/sample"] = benchmark::Counter(
        samplesPerIteration, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace benchfix
