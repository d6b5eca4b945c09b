// Parzen-window mutual information: the tap selection table, the gradient against finite
// differences of the value, the fixed sampling of every pixel, nearest-neighbour
// delegation, and values outside the table.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "similarity/CostFnMIpz.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

// A measure over images whose largest intensity is 20 (L = 20).
struct Pz {
    Img R = Img(8, 8, 1, 1, 20.f), T = Img(8, 8, 1, 1, 3.f);
    CCostFnMIpz f{R, T, 6, CImg<float>()};
    explicit Pz(int order) { f.setInterpAndOrder(1, order, true); }
};

}  // namespace

// Rows of the tap selection along the reference axis (v) and the template axis (t).
TEST(MIpz, TapSelectionTable)
{
    struct Case { int order; bool refAxis; float x; std::vector<int> bins; std::vector<float> w; };
    const std::vector<Case> cases = {
        {1, true, 5.f, {5, 6}, {1.f, 0.f}},
        {3, false, 5.f, {4, 5, 6, 7}, {0.166666667f, 0.666666667f, 0.166666667f, 0.f}},
        {2, true, 5.3f, {4, 5, 6}, {0.02f, 0.66f, 0.32f}},
        {2, true, 5.7f, {5, 6, 7}, {0.32f, 0.66f, 0.02f}},
        {3, true, 0.2f, {0, 0, 1, 2}, {}},
        {1, true, 20.f, {20, 20}, {1.f, 0.f}},
        {3, true, 19.5f, {18, 19, 20, 20}, {}},
        // outside the table: every tap in the edge bin
        {3, true, -2.5f, {0, 0, 0, 0}, {}},
        {2, false, 31.f, {20, 20, 20}, {}},
        {1, true, 1e30f, {20, 20}, {}},
        {3, true, -std::numeric_limits<float>::infinity(), {0, 0, 0, 0}, {}},
        {3, true, std::numeric_limits<float>::quiet_NaN(), {0, 0, 0, 0}, {}},
    };
    for (const Case& c : cases) {
        Pz m(c.order);
        const int T = m.f.windowTaps();
        ASSERT_EQ(T, (int)c.bins.size());
        const float* W = c.refAxis ? m.f.getWts(c.x, 7.5f) : m.f.getWts(7.5f, c.x);
        const int* bins = c.refAxis ? m.f.refBins : m.f.tmpBins;
        const float* w1 = c.refAxis ? m.f.bspl.wtsB : m.f.bspl.wtsA;
        float sum = 0.f;
        for (int k = 0; k < T * T; ++k) sum += W[k];
        EXPECT_NEAR(sum, 1.f, 1e-6f) << c.x;
        for (int k = 0; k < T; ++k) {
            EXPECT_EQ(bins[k], c.bins[k]) << "order " << c.order << " x " << c.x << " tap " << k;
            if (!c.w.empty()) {
                EXPECT_NEAR(w1[k], c.w[k], 1e-6f) << "order " << c.order << " x " << c.x;
            }
        }
    }
}

// Order 0: the value table takes weight 1 at (trunc v, trunc t); the derivative table's
// window sits at the nearest bins with weight (1 + e)(1 + f), e, f their offsets.
TEST(MIpz, OrderZeroWindows)
{
    Pz m(0);
    ASSERT_EQ(m.f.windowTaps(), 1);
    const float* W = m.f.getWts(5.7f, 3.2f);
    EXPECT_EQ(m.f.refBins[0], 5);
    EXPECT_EQ(m.f.tmpBins[0], 3);
    EXPECT_EQ(W[0], 1.f);
    float* D;
    W = m.f.getDWts(5.7f, 3.2f, D);
    EXPECT_EQ(m.f.refBins[0], 6);
    EXPECT_EQ(m.f.tmpBins[0], 3);
    const float e = 6.f - 5.7f, f = 3.f - 3.2f;
    EXPECT_NEAR(W[0], (1.f + e) * (1.f + f), 1e-6f);
    EXPECT_NEAR(D[0], 1.f + f, 1e-6f);
}

TEST(MIpz, GradientMatchesFiniteDifferences)
{
    Img R = miReference(), T = miTemplate(15, 13);
    for (int code : {2, 3, 4, 6})
        for (int interp : {1, 3})
            for (int order : {1, 2, 3}) {
                // Order 1 has kinks wherever a sample crosses a whole intensity: under a
                // rotation they lie within any difference step (the rotated warps are
                // checked against the affine one below).
                if ((code == 3 || code == 4) && order == 1) continue;
                SCOPED_TRACE(testing::Message() << "code " << code << " interp " << interp << " order " << order);
                CCostFnMIpz f(R, T, code, CImg<float>());
                f.setInterpAndOrder(interp, order, true);
                f.setSampleRate(1.f);
                // The linear window has kinks where a sample crosses a whole intensity: a
                // shorter step straddles fewer of them.
                expectGradientMatchesDifferences(f, miWarpFor(code), [&](int k) {
                    return (multipliesCoordinates(code, k) ? 2e-3f : 1e-2f) * (order == 1 ? 0.05f : 1.f);
                });
            }
}

TEST(MIpz, RotatedWarpsFollowTheAffineGradientByTheChainRule)
{
    // The Euclidean and similarity warps are affine maps: the value is the affine measure's,
    // the gradient the affine one carried over (fromAffine).
    Img R = miReference(), T = miTemplate(15, 13);
    for (int interp : {1, 3})
        for (int code : {3, 4})
            for (int order : {0, 1, 2, 3}) {
                SCOPED_TRACE(testing::Message() << "code " << code << " interp " << interp << " order " << order);
                CCostFnMIpz a(R, T, 6, CImg<float>()), f(R, T, code, CImg<float>());
                a.setInterpAndOrder(interp, order, true);
                f.setInterpAndOrder(interp, order, true);
                expectAffineChainRule(f, a, code, miWarpFor(code));
            }
}

TEST(MIpz, SamplesEveryPixelWhateverTheRate)
{
    Img R = miReference(), T = miTemplate(9, 7);
    CCostFnMIpz f(R, T, 6, CImg<float>());
    f.setInterpAndOrder(1, 1, true);
    for (float rate : {2.f, 0.5f, 0.f}) {
        f.setSampleRate(rate);
        EXPECT_EQ(f.sampleRate, 1.f);
        EXPECT_EQ(f.nSamples, 63.f);
    }
}

// Nearest neighbour: the derivative table and its averaging are those of plain MI.
TEST(MIpz, NearestNeighbourDerivativesArePlainMI)
{
    Img R = miReference(), T = miTemplate(11, 9);
    const CImg<float> p = miWarpFor(6);
    CCostFnMIpz f(R, T, 6, CImg<float>());
    CCostFnMI mi(R, T, 6, CImg<float>());
    f.setInterpAndOrder(0, 3, true);
    mi.setInterpAndOrder(0, 3, true);
    CImg<float> g(6, 1, 1, 1, 0.f), gm(6, 1, 1, 1, 0.f);
    EXPECT_EQ(f.evalD(p, g), mi.evalD(p, gm));
    for (int k = 0; k < 6; ++k) EXPECT_EQ(g[k], gm[k]);
    EXPECT_NE(f.eval(p), mi.eval(p));   // the value keeps the window
    EXPECT_EQ(f.Alpha(), 2.f);
}

// A sharp step overshoots under bicubic sampling (below 0 and above the largest
// intensity); warps also cross and leave the reference. The pdf keeps its mass in the table.
TEST(MIpz, OvershootAndWarpsAcrossTheEdges)
{
    Img R(24, 22, 1, 1, 0.f);
    cimg_forXY(R, x, y) R(x, y) = ((x / 3 + y / 4) % 2) ? 15.f : 0.f;
    Img T = miTemplate(9, 7);
    for (int interp : {1, 3})
        for (int order : {0, 1, 2, 3, -2, 6}) {
            CCostFnMIpz f(R, T, 6, CImg<float>());
            f.setInterpAndOrder(interp, order, true);
            CImg<float> g(6, 1, 1, 1, 0.f);
            CImgE<float> H(6, 6, 1, 1, 0.f);
            for (float tx : {11.3f, 3.9f, 20.4f, -7.f, 1e6f}) {
                const CImg<float> p = vec({0.1f, 0.02f, -0.03f, 0.f, tx, 10.6f});
                EXPECT_TRUE(std::isfinite(f.evalDD(p, g, H))) << interp << " " << order << " " << tx;
                f.eval(p);
                EXPECT_NEAR(f.getJointHist().sum(), 1.0, 1e-5) << interp << " " << order << " " << tx;
            }
        }
}
