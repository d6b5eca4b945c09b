// The step computations of the registration step modules on the shared images (as doubles):
// all outputs, and the first only, per template sample.
#include "bench/fixture.h"
#include "steps/tools/mistep.h"
#include "steps/tools/ssdstep.h"

namespace {

struct StepImages {
    CImg<double> T, I, p;
};

const StepImages& stepImages()
{
    static const StepImages s = [] {
        const benchfix::Images& im = benchfix::images();
        StepImages r;
        r.I.assign(im.ref.width(), im.ref.height(), 1, 1, 0.0);
        cimg_forXY(r.I, x, y) r.I(x, y) = im.ref(x, y);
        r.T.assign(im.tw, im.th, 1, 1, 0.0);
        cimg_forXY(r.T, x, y) r.T(x, y) = im.tmp(x + 1, y + 1);
        // The warp grid's origin lies 63 pixels into the template, 127 into the reference.
        const double p[6] = {0.01, -0.005, 0.004, -0.008, 127.3, 127.8};
        r.p.assign(1, 6);
        for (int k = 0; k < 6; ++k) r.p[k] = p[k];
        return r;
    }();
    return s;
}

void BM_SsdStep(benchmark::State& state, StepSide side, int count)
{
    const StepImages& s = stepImages();
    CImg<double> out[4];
    for (auto _ : state) {
        SsdStep(side, s.T, s.I, s.p, count, out);
        benchmark::DoNotOptimize(out[0][0]);
    }
    benchfix::perSample(state, double(s.T.size()));
}

void BM_MiStep(benchmark::State& state, StepSide side, int count)
{
    const StepImages& s = stepImages();
    const CImg<double> K(1, 1, 1, 1, 1.0);
    const double maxT = s.T.max(), maxI = s.I.max();
    CImg<double> out[5];
    for (auto _ : state) {
        MiStep(side, s.T, s.I, s.p, K, maxT, maxI, count, out);
        benchmark::DoNotOptimize(out[0][0]);
    }
    benchfix::perSample(state, double(s.T.size()));
}

}  // namespace

BENCHMARK_CAPTURE(BM_SsdStep, template_value, StepSide::Template, 1);
BENCHMARK_CAPTURE(BM_SsdStep, template_all, StepSide::Template, 4);
BENCHMARK_CAPTURE(BM_SsdStep, image_value, StepSide::Image, 1);
BENCHMARK_CAPTURE(BM_SsdStep, image_all, StepSide::Image, 4);
BENCHMARK_CAPTURE(BM_MiStep, template_value, StepSide::Template, 1);
BENCHMARK_CAPTURE(BM_MiStep, template_all, StepSide::Template, 5);
BENCHMARK_CAPTURE(BM_MiStep, image_value, StepSide::Image, 1);
BENCHMARK_CAPTURE(BM_MiStep, image_all, StepSide::Image, 4);
