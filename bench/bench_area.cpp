// Area-based mutual information on the shared images: affine warp, ns per template cell;
// the level rows at 64, 256 and 1024 intensity levels.
#include <cmath>
#include <memory>

#include "bench/fixture.h"
#include "similarity/area/CostFnMItri.h"

namespace {

template <class M> std::unique_ptr<M> makeArea(int order, int levels = 64)
{
    const benchfix::Images& im = benchfix::images(levels);
    CImgI<float> ref(im.ref), tmp(im.tmp);
    std::unique_ptr<M> m(new M(ref, tmp, 6));
    m->setInterpAndOrder(1, order, true);
    m->setSampleRate(1.f);
    return m;
}

// Reports nanoseconds per template cell in the counter "ns/cell".
void perCell(benchmark::State& state)
{
    const benchfix::Images& im = benchfix::images();
    const double cells = double(im.tw - 1) * double(im.th - 1);
    state.counters["ns/cell"] =
        benchmark::Counter(cells, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

template <class M> void runArea(benchmark::State& state, int order, const CImg<float>& p, int levels = 64)
{
    auto m = makeArea<M>(order, levels);
    for (auto _ : state) benchmark::DoNotOptimize(m->eval(p));
    perCell(state);
}

// The template four times larger, turned by 0.3 rad about the reference's centre: some
// sixteen reference positions per cell, half of the template beyond the reference.
CImg<float> zoom4()
{
    const float c = 4.f * std::cos(0.3f), s = 4.f * std::sin(0.3f);
    const float p[6] = {c - 1.f, -s, s, c - 1.f, 127.5f, 127.5f};
    return CImg<float>(p, 6, 1, 1, 1);
}

void BM_MItri_order2(benchmark::State& state) { runArea<CCostFnMItri>(state, 2, benchfix::images().affine); }
void BM_MItri_order3(benchmark::State& state) { runArea<CCostFnMItri>(state, 3, benchfix::images().affine); }
void BM_MItri_order1(benchmark::State& state) { runArea<CCostFnMItri>(state, 1, benchfix::images().affine); }
void BM_MItrigrid(benchmark::State& state) { runArea<CCostFnMItrigrid>(state, 1, benchfix::images().affine); }
void BM_MItrigrid_zoom4(benchmark::State& state) { runArea<CCostFnMItrigrid>(state, 1, zoom4()); }
void BM_MItri_levels(benchmark::State& state)
{
    runArea<CCostFnMItri>(state, 2, benchfix::images().affine, (int)state.range(0));
}
void BM_MItrigrid_levels(benchmark::State& state)
{
    runArea<CCostFnMItrigrid>(state, 1, benchfix::images().affine, (int)state.range(0));
}

}  // namespace

BENCHMARK(BM_MItri_order2);
BENCHMARK(BM_MItri_order3);
BENCHMARK(BM_MItri_order1);
BENCHMARK(BM_MItrigrid);
BENCHMARK(BM_MItrigrid_zoom4);
BENCHMARK(BM_MItri_levels)->ArgName("levels")->Arg(64)->Arg(256)->Arg(1024);
BENCHMARK(BM_MItrigrid_levels)->ArgName("levels")->Arg(64)->Arg(256)->Arg(1024);
