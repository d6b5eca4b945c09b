// Normalised correlation, partial-volume and Parzen-window mutual information on the shared
// images: affine warp, bilinear sampling, rate 1; the level rows (partial volume of order 1,
// Parzen window of order 3) at 64, 256 and 1024 intensity levels.
#include <memory>

#include "bench/fixture.h"
#include "similarity/CostFnMIpv.h"
#include "similarity/CostFnMIpz.h"
#include "similarity/CostFnNC.h"

namespace {

template <class M> std::unique_ptr<M> build(CImgI<float>& ref, CImgI<float>& tmp) { return std::unique_ptr<M>(new M(ref, tmp, 6)); }
template <> std::unique_ptr<CCostFnMIpv> build(CImgI<float>& ref, CImgI<float>& tmp)
{
    return std::unique_ptr<CCostFnMIpv>(new CCostFnMIpv(ref, tmp, 6, CImg<float>()));
}
template <> std::unique_ptr<CCostFnMIpz> build(CImgI<float>& ref, CImgI<float>& tmp)
{
    return std::unique_ptr<CCostFnMIpz>(new CCostFnMIpz(ref, tmp, 6, CImg<float>()));
}

template <class M> std::unique_ptr<M> make(int order, int levels = 64)
{
    const benchfix::Images& im = benchfix::images(levels);
    CImgI<float> ref(im.ref), tmp(im.tmp);
    std::unique_ptr<M> m = build<M>(ref, tmp);
    m->setInterpAndOrder(1, order, true);
    m->setSampleRate(1.f);
    return m;
}

template <class M> void evalBench(benchmark::State& state)
{
    auto m = make<M>((int)state.range(0));
    const CImg<float>& p = benchfix::images().affine;
    for (auto _ : state) benchmark::DoNotOptimize(m->eval(p));
    benchfix::perSample(state, m->nSamples);
}

template <class M> void evalDBench(benchmark::State& state)
{
    auto m = make<M>((int)state.range(0));
    const CImg<float>& p = benchfix::images().affine;
    CImg<float> g(6, 1, 1, 1, 0.f);
    for (auto _ : state) benchmark::DoNotOptimize(m->evalD(p, g));
    benchfix::perSample(state, m->nSamples);
}

// Level rows: range(0) the order, range(1) the levels.
template <class M> void levelsEval(benchmark::State& state)
{
    auto m = make<M>((int)state.range(0), (int)state.range(1));
    const CImg<float>& p = benchfix::images().affine;
    for (auto _ : state) benchmark::DoNotOptimize(m->eval(p));
    benchfix::perSample(state, m->nSamples);
}

template <class M> void levelsEvalD(benchmark::State& state)
{
    auto m = make<M>((int)state.range(0), (int)state.range(1));
    const CImg<float>& p = benchfix::images().affine;
    CImg<float> g(6, 1, 1, 1, 0.f);
    for (auto _ : state) benchmark::DoNotOptimize(m->evalD(p, g));
    benchfix::perSample(state, m->nSamples);
}

template <class M> void levelsEvalDD(benchmark::State& state)
{
    auto m = make<M>((int)state.range(0), (int)state.range(1));
    const CImg<float>& p = benchfix::images().affine;
    CImg<float> g(6, 1, 1, 1, 0.f);
    CImgE<float> H(6, 6, 1, 1, 0.f);
    for (auto _ : state) benchmark::DoNotOptimize(m->evalDD(p, g, H));
    benchfix::perSample(state, m->nSamples);
}

// A whole one-warp use as the gateway makes it.
template <class M> void levelsCall(benchmark::State& state)
{
    benchfix::oneWarpCall<M>(state, (int)state.range(0), (int)state.range(1));
}

void BM_NC_evalDD(benchmark::State& state)
{
    auto m = make<CCostFnNC>(1);
    const CImg<float>& p = benchfix::images().affine;
    CImg<float> g(6, 1, 1, 1, 0.f);
    CImgE<float> H(6, 6, 1, 1, 0.f);
    for (auto _ : state) benchmark::DoNotOptimize(m->evalDD(p, g, H));
    benchfix::perSample(state, m->nSamples);
}

}  // namespace

BENCHMARK_TEMPLATE(evalBench, CCostFnNC)->Name("BM_NC_eval")->Arg(1);
BENCHMARK_TEMPLATE(evalDBench, CCostFnNC)->Name("BM_NC_evalD")->Arg(1);
BENCHMARK(BM_NC_evalDD);
BENCHMARK_TEMPLATE(evalBench, CCostFnMIpv)->Name("BM_MIpv_eval/order")->Arg(1)->Arg(3);
BENCHMARK_TEMPLATE(evalDBench, CCostFnMIpv)->Name("BM_MIpv_evalD/order")->Arg(1)->Arg(3);
BENCHMARK_TEMPLATE(evalBench, CCostFnMIpz)->Name("BM_MIpz_eval/order")->Arg(1)->Arg(3);
BENCHMARK_TEMPLATE(evalDBench, CCostFnMIpz)->Name("BM_MIpz_evalD/order")->Arg(1)->Arg(3);
BENCHMARK_TEMPLATE(levelsEval, CCostFnMIpv)->Name("BM_MIpv_levels_eval")->ArgNames({"order", "levels"})
    ->Args({1, 64})->Args({1, 256})->Args({1, 1024});
BENCHMARK_TEMPLATE(levelsEvalD, CCostFnMIpv)->Name("BM_MIpv_levels_evalD")->ArgNames({"order", "levels"})
    ->Args({1, 64})->Args({1, 256})->Args({1, 1024});
BENCHMARK_TEMPLATE(levelsEvalDD, CCostFnMIpv)->Name("BM_MIpv_levels_evalDD")->ArgNames({"order", "levels"})
    ->Args({1, 64})->Args({1, 256})->Args({1, 1024});
BENCHMARK_TEMPLATE(levelsCall, CCostFnMIpv)->Name("BM_MIpv_levels_call")->ArgNames({"order", "levels"})
    ->Args({1, 64})->Args({1, 256})->Args({1, 1024})->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(levelsEval, CCostFnMIpz)->Name("BM_MIpz_levels_eval")->ArgNames({"order", "levels"})
    ->Args({3, 64})->Args({3, 256})->Args({3, 1024});
BENCHMARK_TEMPLATE(levelsEvalD, CCostFnMIpz)->Name("BM_MIpz_levels_evalD")->ArgNames({"order", "levels"})
    ->Args({3, 64})->Args({3, 256})->Args({3, 1024});
BENCHMARK_TEMPLATE(levelsEvalDD, CCostFnMIpz)->Name("BM_MIpz_levels_evalDD")->ArgNames({"order", "levels"})
    ->Args({3, 64})->Args({3, 256})->Args({3, 1024});
BENCHMARK_TEMPLATE(levelsCall, CCostFnMIpz)->Name("BM_MIpz_levels_call")->ArgNames({"order", "levels"})
    ->Args({3, 64})->Args({3, 256})->Args({3, 1024})->Unit(benchmark::kMicrosecond);
