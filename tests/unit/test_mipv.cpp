// Partial-volume mutual information: the joint pdf against a direct count, the gradient
// against finite differences of the value, the reader's footprint near the reference's
// edges, out-of-table intensities and orders outside 0 .. 3.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "similarity/CostFnMIpv.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

CImg<float> noZ() { return CImg<float>(); }

}  // namespace

// At whole-pixel translations order 1 puts each sample's whole weight on its own pixel: the
// pdf is the count of (reference bin, template bin) pairs over the template and the
// shifted reference block, divided by N.
TEST(MIpv, PdfAtWholePixelShiftsIsTheDirectCount)
{
    Img R = miReference(), T = miTemplate(11, 9);
    for (int order : {0, 1}) {
        CCostFnMIpv f(R, T, 2, noZ());
        f.setInterpAndOrder(1, order, true);
        f.setSampleRate(1.f);
        const int ox = 13, oy = 8;   // reference pixel of template pixel (0, 0)
        const CImg<float> p = vec({ox + f.tmpCx, oy + f.tmpCy});
        f.eval(p);
        const CImg<float> pdf = f.getJointHist();
        const int n = f.bins();
        ASSERT_EQ(pdf.width(), n);
        CImg<double> count(n, n, 1, 1, 0.0);
        for (int j = 0; j < 9; ++j)
            for (int i = 0; i < 11; ++i) count(int(R(ox + i, oy + j)), int(T(i + 1, j + 1))) += 1.0 / 99;
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) ASSERT_NEAR(pdf(x, y), count(x, y), 1e-6) << order << " " << x << "," << y;
    }
}

TEST(MIpv, GradientMatchesFiniteDifferences)
{
    Img R = miReference(), T = miTemplate(15, 13);
    for (int code : {2, 3, 4, 6})
        for (int order : {1, 2, 3}) {
            // Order 1 is piecewise linear in the position: under a rotation its kinks lie
            // within any difference step (the rotated warps are checked against the affine
            // one below).
            if ((code == 3 || code == 4) && order == 1) continue;
            SCOPED_TRACE(testing::Message() << "code " << code << " order " << order);
            CCostFnMIpv f(R, T, code, noZ());
            f.setInterpAndOrder(1, order, true);
            f.setSampleRate(1.f);
            expectGradientMatchesDifferences(f, miWarpFor(code),
                                             [&](int k) { return multipliesCoordinates(code, k) ? 2e-3f : 1e-2f; });
        }
}

TEST(MIpv, RotatedWarpsFollowTheAffineGradientByTheChainRule)
{
    // The Euclidean and similarity warps are affine maps: the value is the affine measure's,
    // the gradient the affine one carried over (fromAffine).
    Img R = miReference(), T = miTemplate(15, 13);
    for (int code : {3, 4})
        for (int order : {0, 1, 2, 3}) {
            SCOPED_TRACE(testing::Message() << "code " << code << " order " << order);
            CCostFnMIpv a(R, T, 6, noZ()), f(R, T, code, noZ());
            a.setInterpAndOrder(1, order, true);
            f.setInterpAndOrder(1, order, true);
            expectAffineChainRule(f, a, code, miWarpFor(code));
        }
}

TEST(MIpv, ConstantReferenceHasZeroGradient)
{
    Img R(30, 30, 1, 1, 12.4f), T = miTemplate(9, 9);
    for (int order : {1, 2, 3}) {
        CCostFnMIpv f(R, T, 6, noZ());
        f.setInterpAndOrder(1, order, true);
        CImg<float> g(6, 1, 1, 1, 0.f);
        f.evalD(vec({0.03f, 0.01f, -0.02f, 0.05f, 15.3f, 14.6f}), g);
        for (int k = 0; k < 6; ++k) EXPECT_NEAR(g[k], 0.f, 1e-6f) << order;
    }
}

// The unclamped readers are chosen only when the reader's own footprint fits: a corner
// near the reference's last column is inside for the 2 x 2 reader, not for the 4 x 4 one.
TEST(MIpv, ReaderFootprintDecidesTheUnclampedMode)
{
    Img R = miReference(20, 20), T = miTemplate(5, 5);
    const CImg<float> p = vec({16.6f, 9.f});   // right column of the template at x' = 18.6
    for (int order : {0, 1, 2, 3, 7}) {
        CCostFnMIpv f(R, T, 2, noZ());
        f.setInterpAndOrder(1, order, true);
        f.eval(p);
        const bool wide = order == 2 || order == 3;
        EXPECT_EQ(f.bounded, wide) << order;
        int lo, hi;
        f.refFootprint(lo, hi);
        EXPECT_EQ(hi, wide ? 2 : 1) << order;
    }
}

// Warps across and far beyond the edges, every order and interpolation: finite values and
// a pdf that sums to 1 (run under the sanitizers for the reads).
TEST(MIpv, WarpsAcrossTheEdges)
{
    Img R = miReference(24, 22), T = miTemplate(9, 7);
    for (int interp : {0, 1, 3})
        for (int order : {0, 1, 2, 3}) {
            CCostFnMIpv f(R, T, 6, noZ());
            f.setInterpAndOrder(interp, order, true);
            CImg<float> g(6, 1, 1, 1, 0.f);
            CImgE<float> H(6, 6, 1, 1, 0.f);
            for (float tx : {11.f, 4.05f, 19.9f, 21.5f, -6.f, 1e5f}) {
                const CImg<float> p = vec({0.1f, 0.02f, -0.03f, 0.f, tx, 1.5f});
                EXPECT_TRUE(std::isfinite(f.evalDD(p, g, H)));
                f.eval(p);
                EXPECT_NEAR(f.getJointHist().sum(), 1.0, 1e-5) << interp << " " << order << " " << tx;
            }
        }
}

// Intensities below 0 and above the template's range land in the edge bins.
TEST(MIpv, OutOfTableIntensitiesGoToTheEdgeBins)
{
    Img R = miReference(), T = miTemplate(9, 9);
    R -= 25.f;   // most pixels negative, some down to -16
    for (int order : {1, 3}) {
        CCostFnMIpv f(R, T, 2, noZ());
        f.setInterpAndOrder(1, order, true);
        f.eval(vec({19.2f, 17.9f}));
        const CImg<float> pdf = f.getJointHist();
        EXPECT_NEAR(pdf.sum(), 1.0, 1e-5);
        EXPECT_GT(pdf.get_column(0).sum(), 0.5f);
        CImg<float> g(2, 1, 1, 1, 0.f);
        EXPECT_TRUE(std::isfinite(f.evalD(vec({19.2f, 17.9f}), g)));
    }
}

// Orders outside 0 .. 3 read 2 x 2 pixels with linear weights, as order 1 does.
TEST(MIpv, OtherOrdersActAsOrderOne)
{
    Img R = miReference(), T = miTemplate(11, 11);
    const CImg<float> p = miWarpFor(6);
    CCostFnMIpv f1(R, T, 6, noZ());
    f1.setInterpAndOrder(1, 1, true);
    CImg<float> g1(6, 1, 1, 1, 0.f), g(6, 1, 1, 1, 0.f);
    const float v1 = f1.evalD(p, g1);
    for (int order : {-1, -3, -6, 4, 9}) {
        CCostFnMIpv f(R, T, 6, noZ());
        f.setInterpAndOrder(1, order, true);
        EXPECT_EQ(f.nbhdTaps(), 4);
        EXPECT_FLOAT_EQ(f.eval(p), v1) << order;
        EXPECT_FLOAT_EQ(f.evalD(p, g), v1) << order;
        for (int k = 0; k < 6; ++k) EXPECT_FLOAT_EQ(g[k], g1[k]) << order;
    }
}
