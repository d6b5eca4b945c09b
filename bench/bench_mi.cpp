// Mutual information (operator 3) on the shared images: affine warp, bilinear sampling,
// rate 1, no smoothing window; the level rows (value, gradient, second-order matrix, a whole
// one-warp use) at 64, 256 and 1024 intensity levels.
#include <memory>

#include "bench/fixture.h"
#include "similarity/CostFnMI.h"

namespace {

std::unique_ptr<CCostFnMI> makeMI(int code = 6, int levels = 64)
{
    const benchfix::Images& im = benchfix::images(levels);
    CImgI<float> ref(im.ref), tmp(im.tmp);
    std::unique_ptr<CCostFnMI> m(new CCostFnMI(ref, tmp, code, CImg<float>()));
    m->setInterpAndOrder(1, 1, true);
    m->setSampleRate(1.f);
    return m;
}

void BM_MI_eval(benchmark::State& state)
{
    auto m = makeMI();
    const CImg<float>& p = benchfix::images().affine;
    for (auto _ : state) benchmark::DoNotOptimize(m->eval(p));
    benchfix::perSample(state, m->nSamples);
}

void BM_MI_evalD(benchmark::State& state)
{
    auto m = makeMI();
    const CImg<float>& p = benchfix::images().affine;
    CImg<float> g(6, 1, 1, 1, 0.f);
    for (auto _ : state) benchmark::DoNotOptimize(m->evalD(p, g));
    benchfix::perSample(state, m->nSamples);
}

void BM_MI_evalDD(benchmark::State& state)
{
    auto m = makeMI();
    const CImg<float>& p = benchfix::images().affine;
    CImg<float> g(6, 1, 1, 1, 0.f);
    CImgE<float> H(6, 6, 1, 1, 0.f);
    for (auto _ : state) benchmark::DoNotOptimize(m->evalDD(p, g, H));
    benchfix::perSample(state, m->nSamples);
}

// The other warp types at the same placement: translation, and rotation / scale near 0.
void BM_MI_evalD_warp(benchmark::State& state)
{
    const int code = (int)state.range(0);
    auto m = makeMI(code);
    const CImg<float>& a = benchfix::images().affine;
    CImg<float> p(code, 1, 1, 1, 0.f);
    if (code == 6) p = a;
    else {
        p[0] = a[4]; p[1] = a[5];
        if (code > 2) p[2] = 0.006f;
        if (code > 3) p[3] = -0.004f;
    }
    CImg<float> g(code, 1, 1, 1, 0.f);
    for (auto _ : state) benchmark::DoNotOptimize(m->evalD(p, g));
    benchfix::perSample(state, m->nSamples);
}

void BM_MI_levels_eval(benchmark::State& state)
{
    auto m = makeMI(6, (int)state.range(0));
    const CImg<float>& p = benchfix::images().affine;
    for (auto _ : state) benchmark::DoNotOptimize(m->eval(p));
    benchfix::perSample(state, m->nSamples);
}

void BM_MI_levels_evalD(benchmark::State& state)
{
    auto m = makeMI(6, (int)state.range(0));
    const CImg<float>& p = benchfix::images().affine;
    CImg<float> g(6, 1, 1, 1, 0.f);
    for (auto _ : state) benchmark::DoNotOptimize(m->evalD(p, g));
    benchfix::perSample(state, m->nSamples);
}

void BM_MI_levels_evalDD(benchmark::State& state)
{
    auto m = makeMI(6, (int)state.range(0));
    const CImg<float>& p = benchfix::images().affine;
    CImg<float> g(6, 1, 1, 1, 0.f);
    CImgE<float> H(6, 6, 1, 1, 0.f);
    for (auto _ : state) benchmark::DoNotOptimize(m->evalDD(p, g, H));
    benchfix::perSample(state, m->nSamples);
}

// A whole one-warp use as the gateway makes it.
void BM_MI_levels_call(benchmark::State& state) { benchfix::oneWarpCall<CCostFnMI>(state, 1, (int)state.range(0)); }

}  // namespace

BENCHMARK(BM_MI_eval);
BENCHMARK(BM_MI_evalD);
BENCHMARK(BM_MI_evalDD);
BENCHMARK(BM_MI_evalD_warp)->ArgName("code")->Arg(2)->Arg(3)->Arg(4)->Arg(6);
BENCHMARK(BM_MI_levels_eval)->ArgName("levels")->Arg(64)->Arg(256)->Arg(1024);
BENCHMARK(BM_MI_levels_evalD)->ArgName("levels")->Arg(64)->Arg(256)->Arg(1024);
BENCHMARK(BM_MI_levels_evalDD)->ArgName("levels")->Arg(64)->Arg(256)->Arg(1024);
BENCHMARK(BM_MI_levels_call)->ArgName("levels")->Arg(64)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);
