// Sum of squared differences on the shared images: affine warp, bilinear sampling, rate 1.
#include <memory>

#include "bench/fixture.h"
#include "similarity/CostFnSSD.h"

namespace {

template <class M> std::unique_ptr<M> make()
{
    const benchfix::Images& im = benchfix::images();
    CImgI<float> ref(im.ref), tmp(im.tmp);
    std::unique_ptr<M> m(new M(ref, tmp, 6));
    m->setInterpAndOrder(1, 1, true);
    m->setSampleRate(1.f);
    return m;
}

void BM_SSD_eval(benchmark::State& state)
{
    auto m = make<CCostFnSSDgn>();
    const CImg<float>& p = benchfix::images().affine;
    for (auto _ : state) benchmark::DoNotOptimize(m->eval(p));
    benchfix::perSample(state, m->nSamples);
}

void BM_SSD_evalD(benchmark::State& state)
{
    auto m = make<CCostFnSSDgn>();
    const CImg<float>& p = benchfix::images().affine;
    CImg<float> g(6, 1, 1, 1, 0.f);
    for (auto _ : state) benchmark::DoNotOptimize(m->evalD(p, g));
    benchfix::perSample(state, m->nSamples);
}

void BM_SSDgn_evalDD(benchmark::State& state)
{
    auto m = make<CCostFnSSDgn>();
    const CImg<float>& p = benchfix::images().affine;
    CImg<float> g(6, 1, 1, 1, 0.f);
    CImgE<float> H(6, 6, 1, 1, 0.f);
    for (auto _ : state) benchmark::DoNotOptimize(m->evalDD(p, g, H));
    benchfix::perSample(state, m->nSamples);
}

void BM_SSD_evalDD(benchmark::State& state)
{
    auto m = make<CCostFnSSD>();
    const CImg<float>& p = benchfix::images().affine;
    CImg<float> g(6, 1, 1, 1, 0.f);
    CImgE<float> H(6, 6, 1, 1, 0.f);
    for (auto _ : state) benchmark::DoNotOptimize(m->evalDD(p, g, H));
    benchfix::perSample(state, m->nSamples);
}

}  // namespace

BENCHMARK(BM_SSD_eval);
BENCHMARK(BM_SSD_evalD);
BENCHMARK(BM_SSDgn_evalDD);
BENCHMARK(BM_SSD_evalDD);
