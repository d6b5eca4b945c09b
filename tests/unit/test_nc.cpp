// Normalised correlation: the value's fixed points, its gradient and Hessian against finite
// differences for every warp type, and the nine sums against their per-sample definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "similarity/CostFnNC.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

float smooth(float x, float y)
{
    return 10.f + 5.f * std::sin(0.31f * x + 0.2f) * std::cos(0.23f * y - 0.4f) + 0.07f * x - 0.05f * y;
}

// 40 x 36 reference of a smooth function.
Img reference()
{
    return image(40, 36, [](float x, float y) { return smooth(x, y); });
}

// w x h template of another smooth function, padded.
Img template_(int w, int h)
{
    return padded(w, h, [](float i, float j) { return smooth(1.1f * i + 12.3f, 0.9f * j + 10.6f) + 0.03f * i * j; });
}

// A warp well inside the reference for each code.
CImg<float> warpFor(int code)
{
    switch (code) {
    case 2: return vec({19.37f, 17.63f});
    case 3: return vec({19.37f, 17.63f, 0.12f});
    case 4: return vec({19.37f, 17.63f, 0.12f, 0.08f});
    default: return vec({0.05f, -0.04f, 0.07f, -0.03f, 19.37f, 17.63f});
    }
}

}  // namespace

TEST(NormCorr, MinusOneForTheTemplateItselfPlusOneForANegativeMultiple)
{
    // Odd template; the translation (tmpCx, tmpCy) lands every sample on its own pixel.
    const int w = 7, h = 5;
    Img T = template_(w, h);
    Img R(w, h, 1, 1, 0.f);
    cimg_forXY(R, x, y) R(x, y) = T(x + 1, y + 1);
    CImg<float> g;
    CImgE<float> H;
    for (int interp : {0, 1, 3}) {
        CCostFnNC f(R, T, 2);
        f.setInterpAndOrder(interp, 1, true);
        f.setSampleRate(1.f);
        const CImg<float> p = vec({f.tmpCx, f.tmpCy});
        EXPECT_NEAR(f.eval(p), -1.f, 1e-6f) << interp;
        EXPECT_NEAR(f.evalD(p, g), -1.f, 1e-6f) << interp;
        EXPECT_NEAR(f.evalDD(p, g, H), -1.f, 1e-6f) << interp;
    }
    Img Rn = R;
    Rn *= -2.f;
    CCostFnNC f(Rn, T, 2);
    f.setInterpAndOrder(1, 1, true);
    EXPECT_NEAR(f.eval(vec({f.tmpCx, f.tmpCy})), 1.f, 1e-6f);
}

TEST(NormCorr, ScaleInvariantNotShiftInvariant)
{
    Img R = reference(), T = template_(15, 13);
    const CImg<float> p = warpFor(6);
    CCostFnNC f(R, T, 6);
    f.setInterpAndOrder(1, 1, true);
    const float v = f.eval(p);
    EXPECT_GT(v, -1.f);
    EXPECT_LT(v, -0.5f);

    Img R3 = R, T3 = T, Rs = R;
    R3 *= 3.f;
    T3 *= 0.25f;
    Rs += 7.f;
    CCostFnNC f3(R3, T3, 6), fs(Rs, T, 6);
    f3.setInterpAndOrder(1, 1, true);
    fs.setInterpAndOrder(1, 1, true);
    EXPECT_NEAR(f3.eval(p), v, 2e-6f);
    EXPECT_GT(std::fabs(fs.eval(p) - v), 1e-3f);
}

TEST(NormCorr, ZeroTemplateGivesNaN)
{
    Img R = reference(), T(12, 12, 1, 1, 0.f);
    CCostFnNC f(R, T, 6);
    f.setInterpAndOrder(1, 1, true);
    CImg<float> g;
    CImgE<float> H;
    EXPECT_TRUE(std::isnan(f.eval(warpFor(6))));
    EXPECT_TRUE(std::isnan(f.evalDD(warpFor(6), g, H)));
    EXPECT_TRUE(std::isnan(g[0]));
    EXPECT_TRUE(std::isnan(H[0]));
}

// Gradient against central differences of eval, and Hessian against central differences
// of evalD's gradient, for every warp type with bilinear and bicubic sampling.
TEST(NormCorr, DerivativesMatchFiniteDifferences)
{
    Img R = reference(), T = template_(15, 13);
    for (int code : {2, 3, 4, 6})
        for (int interp : {1, 3}) {
            CCostFnNC f(R, T, code);
            f.setInterpAndOrder(interp, 1, true);
            f.setSampleRate(1.f);
            const CImg<float> p = warpFor(code);
            const int n = f.nParams;
            CImg<float> g, g2, gp;
            CImgE<float> H;
            const float v = f.eval(p);
            EXPECT_FLOAT_EQ(f.evalD(p, g), v);
            EXPECT_FLOAT_EQ(f.evalDD(p, g2, H), v);
            ASSERT_EQ(g.width(), n);
            ASSERT_EQ(g.height(), 1);
            ASSERT_EQ(H.width(), n);
            ASSERT_EQ(H.height(), n);
            for (int k = 0; k < n; ++k) EXPECT_NEAR(g2[k], g[k], 1e-6f * (1.f + std::fabs(g[k])));

            const float gmax = float(maxAbs(g)), hmax = float(maxAbs(H));
            for (int k = 0; k < n; ++k) {
                // Steps: parameters multiplying coordinates up to 7 move samples 7x further.
                const float step = multipliesCoordinates(code, k) ? 2e-3f : 1e-2f;
                const float fd = centralDiff([&](const CImg<float>& a) { return f.eval(a); }, p, k, step);
                EXPECT_NEAR(g[k], fd, 0.01f * gmax) << "code " << code << " interp " << interp << " k " << k;
                if (interp == 3) {
                    for (int i = 0; i < n; ++i) {
                        const float fdh =
                            centralDiff([&](const CImg<float>& a) { f.evalD(a, gp); return gp[i]; }, p, k, step);
                        EXPECT_NEAR(H(i, k), fdh, 0.02f * hmax)
                            << "code " << code << " H(" << i << "," << k << ")";
                    }
                }
            }
            for (int i = 0; i < n; ++i)
                for (int k = 0; k < n; ++k) EXPECT_EQ(H(i, k), H(k, i));
        }
}

// The nine sums against their definitions, sample by sample, with the warp's own
// derivative operations (similarity warp: the warp-curvature term is not zero).
TEST(NormCorr, SumsMatchTheirPerSampleDefinitions)
{
    Img R = reference(), T = template_(9, 11);
    for (int code : {4, 6}) {
        CCostFnNC f(R, T, code);
        f.setInterpAndOrder(3, 1, true);
        const CImg<float> p = warpFor(code);
        CImg<float> g;
        CImgE<float> H;
        f.evalDD(p, g, H);

        const int n = f.nParams;
        std::vector<double> rJ(n), tJ(n), rC(n * n), tC(n * n), rK(n * n), tK(n * n), JJ(n * n);
        CImg<float> J(n, 1, 1, 1, 0.f), K(n, n, 1, 1, 0.f), C(n, n, 1, 1, 0.f);
        CWarp w(code);
        Img Rc = R;
        for (int i = 1; i <= 9; ++i)
            for (int j = 1; j <= 11; ++j) {
                const float x = i - 1 - f.tmpCx, y = j - 1 - f.tmpCy;
                float rx, ry, gx, gy, gxx, gyy, gxy;
                w.Warp(p, x, y, rx, ry);
                const float r = Rc.get_DDcubic(rx, ry, gx, gy, gxx, gyy, gxy);
                const float t = T(i, j);
                w.CalcJcbn(J, p, x, y, gx, gy);
                w.CalcHess(K, p, x, y, gx, gy);
                w.CalcJcHs(C, p, x, y, gxx, gyy, gxy);
                for (int a = 0; a < n; ++a) {
                    rJ[a] += r * J[a];
                    tJ[a] += t * J[a];
                    for (int b = 0; b < n; ++b) {
                        rC[a + b * n] += r * C(a, b);
                        tC[a + b * n] += t * C(a, b);
                        rK[a + b * n] += r * K(a, b);
                        tK[a + b * n] += t * K(a, b);
                        JJ[a + b * n] += J[a] * J[b];
                    }
                }
            }
        auto near = [](const CImg<float>& got, const std::vector<double>& want, const char* what) {
            double m = 1e-3;
            for (double v : want) m = std::max(m, std::fabs(v));
            for (size_t k = 0; k < want.size(); ++k) EXPECT_NEAR(got[(unsigned)k], want[k], 1e-4 * m) << what << " " << k;
        };
        near(f.sumRJ, rJ, "sumRJ");
        near(f.sumTJ, tJ, "sumTJ");
        near(f.sumRHessImg, rC, "sumRHessImg");
        near(f.sumTHessImg, tC, "sumTHessImg");
        near(f.sumRHessWarp, rK, "sumRHessWarp");
        near(f.sumTHessWarp, tK, "sumTHessWarp");
        near(f.sumJJ, JJ, "sumJJ");
        if (code == 6) {
            for (int k = 0; k < n * n; ++k) EXPECT_EQ(f.sumRHessWarp[k], 0.f);
            for (int k = 0; k < n * n; ++k) EXPECT_EQ(f.sumTHessWarp[k], 0.f);
        }
    }
}

// Warps that put the template across the reference's edges (and far outside) sample with
// the clamped samplers and give finite results.
TEST(NormCorr, WarpsAcrossTheEdgesStayFinite)
{
    Img R = reference(), T = template_(15, 13);
    CCostFnNC f(R, T, 6);
    CImg<float> g;
    CImgE<float> H;
    for (int interp : {0, 1, 3}) {
        f.setInterpAndOrder(interp, 1, true);
        for (float tx : {19.f, 2.f, 38.5f, -30.f, 1e6f}) {
            const CImg<float> p = vec({0.1f, 0.f, 0.f, -0.1f, tx, 3.f});
            EXPECT_TRUE(std::isfinite(f.evalDD(p, g, H)));
            for (int k = 0; k < 36; ++k) EXPECT_TRUE(std::isfinite(H[k]));
        }
    }
}
