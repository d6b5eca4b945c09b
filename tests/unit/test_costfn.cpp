// Cost-function base: construction, sample rate, sampler selection and switch, the template
// walk, and the reference resampling operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "similarity/CostFn.h"
#include "fixtures.h"

namespace {

typedef CImgI<float> Img;

// A measure that records the samples its walk visits.
class Probe : public CCostFn {
public:
    using CCostFn::CCostFn;
    std::vector<WalkSample> seen;
    int wideLo = -1, wideHi = -1;   // footprint of an extra, wider reader

    float eval(const CImg<float>& p) override {
        switchSamplers(p);
        seen.clear();
        walkValue(p, [&](const WalkSample& s) { seen.push_back(s); });
        return 0.f;
    }
    float evalD(const CImg<float>& p, CImg<float>&) override {
        switchSamplers(p);
        seen.clear();
        walkD(p, [&](const WalkSample& s) { seen.push_back(s); });
        return 0.f;
    }
    float evalDD(const CImg<float>& p, CImg<float>&, CImgE<float>&) override {
        switchSamplers(p);
        seen.clear();
        walkDD(p, [&](const WalkSample& s) { seen.push_back(s); });
        return 0.f;
    }
    void refFootprint(int& lo, int& hi) const override {
        CCostFn::refFootprint(lo, hi);
        if (wideLo >= 0) { lo = std::max(lo, wideLo); hi = std::max(hi, wideHi); }
    }
};

using fixtures::vec;

// A w x h template of distinct values 1 + i + 10 j, padded.
Img padded(int w, int h)
{
    return fixtures::padded(w, h, [](int i, int j) { return 1 + i + 10 * j; });
}

Img ramp(int w, int h)
{
    Img I(w, h, 1, 1, 0.f);
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) I(i, j) = 2.f * i + 3.f * j;
    return I;
}

// The double map of warp code with parameters q as (ox, oy) = (a0 + a1 x + a2 y, a3 + a4 x + a5 y).
std::vector<double> affineOf(int code, const std::vector<float>& p)
{
    const std::vector<double> q(p.begin(), p.end());
    double o[3][2];
    const double pts[3][2] = {{0, 0}, {1, 0}, {0, 1}};
    for (int k = 0; k < 3; ++k) fixtures::warpD(code, q, pts[k][0], pts[k][1], o[k][0], o[k][1]);
    return {o[0][0], o[1][0] - o[0][0], o[2][0] - o[0][0], o[0][1], o[1][1] - o[0][1], o[2][1] - o[0][1]};
}

// Largest distance of the walk's positions from the double warp of the exact centred
// coordinates (k r - tmpCx, l r - tmpCy), in units of 2^-23 M, M the largest magnitude
// among the half-sizes and the warped positions; also counts the samples and checks their
// order and template positions.
template <class F> double walkError(F& f, int code, const std::vector<float>& p, long& count)
{
    const std::vector<double> a = affineOf(code, p);
    const double r = f.sampleRate;
    const long rows = f.walkRows;
    double worst = 0, M = std::max(f.tmpCx, f.tmpCy);
    count = 0;
    bool inOrder = true;
    f.walkPos(vec(p), [&](const WalkSample& s) {
        const long c = count / rows, l = count % rows;
        ++count;
        inOrder = inOrder && s.i == 1.f + float(c) * (f.walkCols > 1 ? f.sampleRate : 0.f) &&
                  s.j == 1.f + float(l) * (rows > 1 ? f.sampleRate : 0.f) && s.x == s.i - 1.f - f.tmpCx &&
                  s.y == s.j - 1.f - f.tmpCy;
        const double x = c * r - f.tmpCx, y = l * r - f.tmpCy;
        const double ex = a[0] + a[1] * x + a[2] * y, ey = a[3] + a[4] * x + a[5] * y;
        worst = std::max(worst, std::max(std::fabs(s.rx - ex), std::fabs(s.ry - ey)));
        M = std::max(M, std::max(std::fabs(ex), std::fabs(ey)));
    });
    EXPECT_TRUE(inOrder);
    return worst / (std::ldexp(1.0, -23) * M);
}

}  // namespace

typedef CImgI<float> I_;

TEST(CostFnBase, StateAfterConstruction)
{
    Img R = ramp(20, 20), T = padded(5, 5);
    Probe f(R, T, 6);
    EXPECT_EQ(f.tmpCx, 2.f);
    EXPECT_EQ(f.tmpCy, 2.f);
    EXPECT_EQ(f.tmpW, 5.f);
    EXPECT_EQ(f.tmpH, 5.f);
    EXPECT_EQ(f.nSamples, 25.f);
    EXPECT_EQ(f.sampleRate, 1.f);
    EXPECT_EQ(f.nParams, 6);
    EXPECT_EQ((int)f.jcbn.size(), 6);
    EXPECT_EQ(f.nTaps, 2);
    EXPECT_EQ(f.nTaps2, 4);
    EXPECT_EQ(f.interp, 1);
    EXPECT_EQ(f.order, 1);
    EXPECT_TRUE(f.bounded);
    EXPECT_TRUE(f.sampleRef == &I_::get_linear);
    EXPECT_TRUE(f.sampleRefD == &I_::get_Dlinear);
    EXPECT_TRUE(f.sampleRefDD == &I_::get_DDlinear);
    EXPECT_TRUE(f.sampleTmp == &I_::get_neumann_floor);
    EXPECT_EQ(f.getShiftTol(), 0.f);
    EXPECT_NE(f.ref.data(), R.data());   // own copies
    EXPECT_NE(f.tmp.data(), T.data());

    Probe g(R, T, 26);
    EXPECT_EQ(g.nParams, 2);
    EXPECT_EQ(g.warp.code, 26);
}

// Images handed over give their pixels to the measure and are left empty; the measure is
// the one built over copies. Unmarked images are copied and keep their pixels.
TEST(CostFnBase, HandedOverImagesAreTakenNotCopied)
{
    Img R = ramp(20, 20), T = padded(5, 5);
    Img R2 = R, T2 = T;
    EXPECT_FALSE(R2.handOver);   // copies do not inherit the mark
    R2.handOver = T2.handOver = true;
    const float* const rd = R2.data();
    const float* const td = T2.data();
    Probe f(R, T, 6), g(R2, T2, 6);
    EXPECT_EQ(g.ref.data(), rd);
    EXPECT_EQ(g.tmp.data(), td);
    EXPECT_TRUE(R2.is_empty() && T2.is_empty());
    EXPECT_FALSE(R2.handOver || T2.handOver);
    EXPECT_EQ(R.size(), 400u);   // the unmarked ones keep theirs
    EXPECT_TRUE(static_cast<const CImg<float>&>(g.ref) == static_cast<const CImg<float>&>(f.ref));
    EXPECT_TRUE(static_cast<const CImg<float>&>(g.tmp) == static_cast<const CImg<float>&>(f.tmp));
    EXPECT_EQ(g.ref.lastX, 19);
    EXPECT_EQ(g.tmp.lastY, 7);
    EXPECT_EQ(g.nSamples, f.nSamples);
    const CImg<float> p = vec({0.01f, 0.02f, -0.01f, 0.03f, 9.5f, 8.7f});
    f.eval(p);
    g.eval(p);
    ASSERT_EQ(f.seen.size(), g.seen.size());
    for (size_t k = 0; k < f.seen.size(); ++k) {
        EXPECT_EQ(f.seen[k].r, g.seen[k].r);
        EXPECT_EQ(f.seen[k].t, g.seen[k].t);
    }
}

TEST(CostFnBase, SampleRateAndTemplateSampler)
{
    Img R = ramp(20, 20), T = padded(5, 5);
    Probe f(R, T, 2);
    f.setSampleRate(2.f);
    EXPECT_EQ(f.nSamples, 9.f);
    EXPECT_TRUE(f.sampleTmp == &I_::get_linear_nb);
    f.setInterpAndOrder(3, 1, true);
    EXPECT_TRUE(f.sampleTmp == &I_::get_cubic_nb);
    f.setInterpAndOrder(0, 1, true);
    EXPECT_TRUE(f.sampleTmp == &I_::get_neumann_nb);
    f.setSampleRate(0.5f);
    EXPECT_EQ(f.nSamples, 81.f);
    f.setSampleRate(1.f);
    EXPECT_TRUE(f.sampleTmp == &I_::get_neumann_floor);

    for (float bad : {0.f, -2.f}) {
        testing::internal::CaptureStdout();
        f.setSampleRate(bad);
        const std::string out = testing::internal::GetCapturedStdout();
        std::ostringstream want;
        want << "CCostFn::setSampleRate warning: Sample Rate very low or negative: " << bad << " Setting to 1.\n";
        EXPECT_EQ(out, want.str());
        EXPECT_EQ(f.sampleRate, 1.f);
        EXPECT_EQ(f.nSamples, 25.f);
    }
    // An infinite rate: one sample per axis, at the first position.
    f.setSampleRate(std::numeric_limits<float>::infinity());
    EXPECT_EQ(f.nSamples, 1.f);
    f.eval(vec({8.f, 8.f}));
    ASSERT_EQ(f.seen.size(), 1u);
    EXPECT_EQ(f.seen[0].rx, 6.f);
    EXPECT_EQ(f.seen[0].j, 1.f);
    // A NaN rate passes the test unchanged; an evaluation still runs (one sample).
    testing::internal::CaptureStdout();
    f.setSampleRate(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(std::isnan(f.nSamples));
    f.eval(vec({8.f, 8.f}));
    EXPECT_EQ(f.seen.size(), 1u);
}

TEST(CostFnBase, InterpolationAndOrderSettings)
{
    Img R = ramp(20, 20), T = padded(5, 5);
    Probe f(R, T, 2);
    f.setInterpAndOrder(2, 0, true);
    EXPECT_TRUE(f.sampleRef == &I_::get_linear);
    EXPECT_EQ(f.nTaps, 1);
    EXPECT_EQ(f.nTaps2, 1);
    f.setInterpAndOrder(1, 7, true);
    EXPECT_EQ(f.nTaps, 2);
    EXPECT_EQ(f.nTaps2, 4);
    f.setInterpAndOrder(3, 2, false);
    EXPECT_TRUE(f.sampleRef == &I_::get_cubic_nb);
    EXPECT_TRUE(f.sampleRefDD == &I_::get_DDcubic_nb);
    EXPECT_EQ(f.nTaps2, 9);
    // An unknown method keeps the family; bounded, it never keeps the unclamped forms.
    f.setInterpAndOrder(5, 1, false);
    EXPECT_TRUE(f.sampleRef == &I_::get_cubic_nb);
    f.setInterpAndOrder(5, 1, true);
    EXPECT_TRUE(f.sampleRef == &I_::get_cubic);
    f.setInterpAndOrder(0, 1, false);
    EXPECT_TRUE(f.sampleRefD == &I_::get_Dneumann_nb);
}

// The walk visits exactly the N samples of the rate, column by column, at i = 1 + k r,
// j = 1 + l r of whole counters, each at the warp of its centred coordinates up to float
// rounding; rates that do not divide the template included.
TEST(CostFnBase, TemplateWalkVisitsNSamplesAtTheWarpOfEach)
{
    Img R = ramp(40, 40);
    const std::vector<std::pair<int, std::vector<float>>> warps = {
        {2, {20.3f, 19.6f}},
        {3, {20.3f, 19.6f, 0.3f}},
        {4, {20.3f, 19.6f, -0.2f, 0.1f}},
        {6, {0.05f, -0.1f, 0.12f, -0.07f, 20.3f, 19.6f}},
    };
    for (auto size : {std::make_pair(5, 5), std::make_pair(6, 7), std::make_pair(4, 11)})
        for (float rate : {1.f, 2.f, 0.5f, 0.3f, 0.7f, 1.5f, 3.f, 0.1f})
            for (auto& w : warps) {
                SCOPED_TRACE(testing::Message() << size.first << "x" << size.second << " rate " << rate
                                                << " code " << w.first);
                Img T = padded(size.first, size.second);
                Probe f(R, T, w.first);
                f.setSampleRate(rate);
                const CImg<float> p = vec(w.second);
                f.eval(p);
                ASSERT_EQ(float(f.seen.size()), f.nSamples);
                ASSERT_EQ(long(f.walkCols) * f.walkRows, (long)f.seen.size());
                // N's factors: the whole steps of r that fit into w - 1 and h - 1, up to the
                // float rounding of the formula (a last step may overshoot by that rounding).
                for (int k = 0; k < 2; ++k) {
                    const int n = k ? f.walkRows : f.walkCols, len = (k ? size.second : size.first) - 1;
                    EXPECT_LE(double(n - 1) * rate, len * (1 + 1e-6));
                    EXPECT_GT(double(n) * rate, len * (1 - 1e-6));
                }
                long count;
                EXPECT_LE(walkError(f, w.first, w.second, count), 4.0);
                EXPECT_EQ(count, (long)f.seen.size());
                for (const WalkSample& s : f.seen) {
                    EXPECT_EQ(s.t, f.tmp.get_linear(s.i, s.j));   // bilinear = floor at the grid
                    EXPECT_NEAR(s.r, 2.f * s.rx + 3.f * s.ry, 1e-4);   // the reference read there
                }
            }
}

// Every sample of a large template within float rounding of the double-precision warp:
// 4 x 2^-23 M, what warping each point directly in float achieves.
TEST(CostFnBase, LargeTemplatePositionsWithinFloatRoundingOfTheDirectWarp)
{
    const int n = 1024;
    Img R(2 * n, 2 * n, 1, 1, 0.f), T(n + 3, n + 3, 1, 1, 0.f);
    const float c = n - 0.5f;
    const std::vector<std::pair<int, std::vector<float>>> warps = {
        {3, {c + 0.37f, c - 0.21f, 0.1f}},
        {6, {0.05f, -0.08f, 0.11f, -0.04f, c + 0.37f, c - 0.21f}},
    };
    for (float rate : {1.f, 0.3f})
        for (auto& w : warps) {
            SCOPED_TRACE(testing::Message() << "rate " << rate << " code " << w.first);
            Probe f(R, T, w.first);
            f.setSampleRate(rate);
            long count;
            EXPECT_LE(walkError(f, w.first, w.second, count), 4.0);
            EXPECT_EQ(float(count), f.nSamples);
        }
}

TEST(CostFnBase, EvenTemplateAtRateTwo)
{
    Img R = ramp(40, 40), T = padded(6, 6);
    Probe f(R, T, 3);
    f.setSampleRate(2.f);
    const CImg<float> p = vec({20.f, 20.f, 0.4f});
    f.eval(p);
    ASSERT_EQ(f.seen.size(), 9u);   // 3 rows per column: j = 1, 3, 5
    float ex, ey;
    CWarp w(3);
    w.Warp(p, -0.5f, -2.5f, ex, ey);
    EXPECT_NEAR(f.seen[3].rx, ex, 1e-5);
    EXPECT_NEAR(f.seen[3].ry, ey, 1e-5);
    EXPECT_EQ(f.seen[3].j, 1.f);
}

TEST(CostFnBase, SamplerSwitchFlipsOnEntryAndExit)
{
    Img R = ramp(20, 20), T = padded(5, 5);
    Probe f(R, T, 2);
    f.eval(vec({10.f, 10.f}));
    EXPECT_FALSE(f.bounded);
    EXPECT_TRUE(f.sampleRef == &I_::get_linear_nb);
    f.eval(vec({10.f, 10.f}));   // stays
    EXPECT_FALSE(f.bounded);
    f.eval(vec({17.5f, 10.f}));   // right column at 19.5: outside
    EXPECT_TRUE(f.bounded);
    EXPECT_TRUE(f.sampleRef == &I_::get_linear);
    f.eval(vec({16.99f, 10.f}));   // right column at 18.99
    EXPECT_FALSE(f.bounded);
    f.eval(vec({std::numeric_limits<float>::quiet_NaN(), 10.f}));
    EXPECT_TRUE(f.bounded);
    f.eval(vec({10.f, std::numeric_limits<float>::infinity()}));
    EXPECT_TRUE(f.bounded);
}

TEST(CostFnBase, SamplerSwitchTestsEveryFootprint)
{
    Img R = ramp(20, 20), T = padded(5, 5);   // samples at centred -2 .. 2
    {
        // Left column at x' = -0.5: the old corner points (-1 and 3) would pass.
        Probe f(R, T, 2);
        f.eval(vec({1.5f, 10.f}));
        EXPECT_TRUE(f.bounded);
        f.eval(vec({2.01f, 10.f}));
        EXPECT_FALSE(f.bounded);
    }
    {
        // Scale above 1 with bicubic: extremes at 10 +- 2 (1 + k).
        Probe f(R, T, 4);
        f.setInterpAndOrder(3, 1, true);
        f.eval(vec({10.f, 10.f, 0.f, 3.4f}));   // 10 - 8.8 = 1.2 >= 1, 18.8 >= 17: out
        EXPECT_TRUE(f.bounded);
        f.eval(vec({10.f, 10.f, 0.f, 2.4f}));   // 3.2 .. 16.8
        EXPECT_FALSE(f.bounded);
        EXPECT_TRUE(f.sampleRefD == &I_::get_Dcubic_nb);
    }
    {
        // Nearest pixel: the second-derivative form reads one pixel before the position.
        Probe f(R, T, 2);
        f.setInterpAndOrder(0, 1, true);
        f.eval(vec({2.5f, 10.f}));   // left column at 0.5
        EXPECT_TRUE(f.bounded);
        f.eval(vec({3.01f, 10.f}));
        EXPECT_FALSE(f.bounded);
    }
    {
        // A measure with a wider reader (lo 1, hi 2) on bilinear sampling.
        Probe f(R, T, 2);
        f.wideLo = 1;
        f.wideHi = 2;
        f.eval(vec({16.5f, 10.f}));   // right column at 18.5: bilinear alone would flip
        EXPECT_TRUE(f.bounded);
        f.eval(vec({15.9f, 10.f}));
        EXPECT_FALSE(f.bounded);
    }
}

// The bounds test allows only for the float rounding of the positions: a large template
// well inside the reference samples unclamped, and so does one whose last column ends within
// a few thousandths of a pixel of the footprint's edge; the reads stay inside (sanitizer run).
TEST(CostFnBase, LargeTemplatesInsideTheReferenceSampleUnclamped)
{
    const int n = 1024, m = 1100;
    Img R = ramp(m, m), T = padded(n, n);
    CImg<float> g(3, 1, 1, 1, 0.f);
    CImgE<float> H(3, 3, 1, 1, 0.f);
    double sum = 0;
    auto reads = [&](const WalkSample& s) { sum += s.r; };
    {
        Probe f(R, T, 3);
        const CImg<float> p = vec({549.5f, 549.5f, 0.02f});   // corners 27 px from the edges
        f.switchSamplers(p);
        EXPECT_FALSE(f.bounded);
        f.walkDD(p, reads);
    }
    // Translations that put the last column (x = 511.5) at the footprint's edge minus e.
    for (int interp : {1, 3}) {
        const int hi = interp == 3 ? 2 : 1;
        for (double e : {0.004, 0.0002, 0.0}) {
            SCOPED_TRACE(testing::Message() << "interp " << interp << " e " << e);
            Probe f(R, T, 2);
            f.setInterpAndOrder(interp, 1, true);
            const CImg<float> p = vec({float(m - hi - e - 511.5), 549.5f});
            f.switchSamplers(p);
            EXPECT_EQ(f.bounded, e < 0.001);
            f.walkD(p, reads);
            f.walkDD(p, reads);
        }
    }
    EXPECT_TRUE(std::isfinite(sum));
}

TEST(CostFnBase, WalkAcrossEveryEdgeAndAtNonFiniteWarps)
{
    // Every sampler family and derivative order, with the template straddling each edge and
    // corner of the reference or at a non-finite warp: clamped reads only (sanitizer run).
    Img R = ramp(12, 9), T = padded(6, 5);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<std::vector<float>> ps = {
        {0.f, 4.f}, {11.f, 4.f}, {6.f, 0.f}, {6.f, 8.f}, {0.f, 0.f}, {11.5f, 8.5f}, {-30.f, 50.f},
        {nan, 4.f}, {6.f, inf}, {-inf, -inf}, {1e30f, -1e30f}};
    for (int interp : {0, 1, 3})
        for (float rate : {1.f, 0.5f})
            for (auto& q : ps) {
                Probe f(R, T, 4);
                f.setInterpAndOrder(interp, 1, true);
                f.setSampleRate(rate);
                for (float k : {0.f, 0.4f}) {
                    const CImg<float> p = vec({q[0], q[1], 0.3f, k});
                    CImg<float> g(4, 1, 1, 1, 0.f);
                    CImgE<float> H(4, 4, 1, 1, 0.f);
                    f.eval(p);
                    f.evalD(p, g);
                    f.evalDD(p, g, H);
                    EXPECT_FALSE(f.seen.empty());
                }
            }
}

TEST(CostFnBase, ReplacingTheTemplate)
{
    Img R = ramp(30, 30), T = padded(5, 5);
    Probe f(R, T, 2);
    Img big = padded(7, 6);
    f.setTmp(big);
    EXPECT_EQ(f.nSamples, 42.f);
    EXPECT_EQ(f.tmpCx, 2.f);
    EXPECT_EQ(f.tmpW, 5.f);
    EXPECT_EQ(f.tmp(7, 6), big(7, 6));
    Img small = padded(4, 5);
    EXPECT_THROW(f.setTmp(small), cimg_library::CImgArgumentException);
}

TEST(CostFnBase, ReferenceRegions)
{
    Img R = ramp(30, 30), T = padded(5, 4);   // W = 8, H = 7
    Probe f(R, T, 3);
    const CImg<float> p = vec({15.f, 14.f, 0.2f});
    f.eval(p);   // leaves the unclamped samplers selected
    ASSERT_FALSE(f.bounded);
    const CImg<float> a = f.calcRefRegion(p), b = f.calcRefRegionOld(p);
    ASSERT_EQ(a.width(), 8);
    ASSERT_EQ(a.height(), 7);
    CWarp w(3);
    int k = 0;
    for (int m = 1; m <= 4; ++m)
        for (int l = 1; l <= 5; ++l, ++k) {
            float x, y;
            w.Warp(p, l - f.tmpCx, m - f.tmpCy, x, y);
            EXPECT_NEAR(a[k], 2 * x + 3 * y, 1e-3);
        }
    for (; k < 56; ++k) EXPECT_EQ(a[k], T[k]);
    for (int m = 0; m < 7; ++m)
        for (int l = 0; l < 8; ++l) {
            float x, y;
            w.Warp(p, float(l - 3), float(m - 3), x, y);
            EXPECT_NEAR(b(l, m), 2 * x + 3 * y, 1e-3);
        }
    // Regions that reach outside the reference repeat its border.
    const CImg<float> c = f.calcRefRegionOld(vec({0.f, 0.f, 0.f}));
    EXPECT_EQ(c(0, 0), 0.f);
    EXPECT_TRUE(f.bounded == false);
}
