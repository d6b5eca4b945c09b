// Warp model: maps, derivative operations against finite differences, bounds test, safe
// handling of short parameter vectors, and the trigonometric table.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "similarity/CWarp.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

struct WarpCase { int code; std::vector<float> p; };

// Generic parameters for each warp type: rotation, scale and shear all away from zero.
const std::vector<WarpCase> kCases = {
    {2, {1.3f, -0.7f}},
    {3, {1.3f, -0.7f, 0.4f}},
    {4, {1.3f, -0.7f, 0.4f, 0.15f}},
    {6, {0.1f, -0.05f, 0.08f, -0.12f, 1.3f, -0.7f}},
};

// Warped point as doubles, from float parameters perturbed by h in entry k (and h2 in k2).
void warpAt(int code, std::vector<float> p, int k, double h, int k2, double h2, double x, double y,
            double& ox, double& oy)
{
    // Evaluate in double with the map formulas, so finite differences do not suffer from
    // float rounding; the float maps are compared against this below.
    std::vector<double> q(p.begin(), p.end());
    if (k >= 0) q[k] += h;
    if (k2 >= 0) q[k2] += h2;
    warpD(code, q, x, y, ox, oy);
}

}  // namespace

TEST(WarpModel, FloatMapsAgreeWithTheDoubleFormulas)
{
    for (const auto& wc : kCases) {
        CWarp w(wc.code);
        for (float x : {-7.5f, 0.f, 3.f})
            for (float y : {-2.f, 4.5f}) {
                float ox, oy;
                double ex, ey;
                w.Warp(vec(wc.p), x, y, ox, oy);
                warpAt(wc.code, wc.p, -1, 0, -1, 0, x, y, ex, ey);
                EXPECT_NEAR(ox, ex, 1e-5) << wc.code;
                EXPECT_NEAR(oy, ey, 1e-5) << wc.code;
                // the same map in double, as an affine map
                double a[6];
                w.affineCurrent(a);
                EXPECT_NEAR(a[0] + a[1] * x + a[2] * y, ex, 1e-13) << wc.code;
                EXPECT_NEAR(a[3] + a[4] * x + a[5] * y, ey, 1e-13) << wc.code;
            }
    }
}

TEST(WarpModel, JacobianHessianAndProductMatchFiniteDifferences)
{
    const double h = 1e-4;
    for (const auto& wc : kCases) {
        CWarp w(wc.code);
        const int n = w.nParams();
        const CImg<float> p = vec(wc.p);
        for (float x : {-6.f, 2.5f})
            for (float y : {-3.5f, 5.f}) {
                const float gx = 0.7f, gy = -1.9f, gxx = 0.3f, gyy = -0.8f, gxy = 0.45f;
                float ox, oy;
                w.Warp(p, x, y, ox, oy);   // derivative operations read the state of p
                CImg<float> J(n, 1, 1, 1, 0.f), H(n, n, 1, 1, 7.f), JH(n, n, 1, 1, 0.f);
                w.CalcJcbn(J, p, x, y, gx, gy);
                w.CalcHess(H, p, x, y, gx, gy);
                w.CalcJcHs(JH, p, x, y, gxx, gyy, gxy);
                std::vector<double> dX(n), dY(n);
                for (int k = 0; k < n; ++k) {
                    double ax, ay, bx, by;
                    warpAt(wc.code, wc.p, k, h, -1, 0, x, y, ax, ay);
                    warpAt(wc.code, wc.p, k, -h, -1, 0, x, y, bx, by);
                    dX[k] = (ax - bx) / (2 * h);
                    dY[k] = (ay - by) / (2 * h);
                    EXPECT_NEAR(J[k], gx * dX[k] + gy * dY[k], 1e-4) << "code " << wc.code << " k " << k;
                }
                for (int i = 0; i < n; ++i)
                    for (int k = 0; k < n; ++k) {
                        double pp[2], pm[2], mp[2], mm[2];
                        warpAt(wc.code, wc.p, i, h, k, h, x, y, pp[0], pp[1]);
                        warpAt(wc.code, wc.p, i, h, k, -h, x, y, pm[0], pm[1]);
                        warpAt(wc.code, wc.p, i, -h, k, h, x, y, mp[0], mp[1]);
                        warpAt(wc.code, wc.p, i, -h, k, -h, x, y, mm[0], mm[1]);
                        const double d2x = (pp[0] - pm[0] - mp[0] + mm[0]) / (4 * h * h);
                        const double d2y = (pp[1] - pm[1] - mp[1] + mm[1]) / (4 * h * h);
                        EXPECT_NEAR(H(i, k), gx * d2x + gy * d2y, 2e-3) << "code " << wc.code;
                        const double jh = dX[i] * (gxx * dX[k] + gxy * dY[k]) + dY[i] * (gxy * dX[k] + gyy * dY[k]);
                        EXPECT_NEAR(JH(i, k), jh, 1e-4) << "code " << wc.code;
                        EXPECT_FLOAT_EQ(JH(i, k), JH(k, i));
                    }
                if (wc.code == 2 || wc.code == 6) {
                    EXPECT_EQ(H.max(), 0.f);
                    EXPECT_EQ(H.min(), 0.f);
                }
            }
    }
}

TEST(WarpModel, Identities)
{
    const float pts[][2] = {{-4.5f, 3.f}, {0.f, 0.f}, {7.f, -2.25f}};
    for (int code : {2, 3, 4, 6}) {
        CWarp w(code);
        for (auto& q : pts) {
            float ox, oy;
            w.Warp(CImg<float>(code, 1, 1, 1, 0.f), q[0], q[1], ox, oy);
            EXPECT_EQ(ox, q[0]);
            EXPECT_EQ(oy, q[1]);
        }
    }
    const float th = 0.3f, tx = 2.f, ty = -1.f;
    CWarp e(3), s(4), a(6);
    for (auto& q : pts) {
        float ex, ey, sx, sy, ax, ay;
        e.Warp(vec({tx, ty, th}), q[0], q[1], ex, ey);
        s.Warp(vec({tx, ty, th, 0.f}), q[0], q[1], sx, sy);
        a.Warp(vec({std::cos(th) - 1, -std::sin(th), std::sin(th), std::cos(th) - 1, tx, ty}), q[0], q[1], ax, ay);
        EXPECT_EQ(sx, ex);
        EXPECT_EQ(sy, ey);
        EXPECT_NEAR(ax, ex, 1e-5);
        EXPECT_NEAR(ay, ey, 1e-5);
    }
}

TEST(WarpModel, WarpDeltaDropsTheTranslation)
{
    for (const auto& wc : kCases) {
        CWarp w(wc.code), z(wc.code);
        std::vector<float> p0 = wc.p;
        if (wc.code == 6) p0[4] = p0[5] = 0.f; else p0[0] = p0[1] = 0.f;
        float dx, dy, ex, ey;
        w.WarpDelta(vec(wc.p), 2.5f, -1.5f, dx, dy);
        z.Warp(vec(p0), 2.5f, -1.5f, ex, ey);
        EXPECT_EQ(dx, ex);
        EXPECT_EQ(dy, ey);
        if (wc.code == 2) { EXPECT_EQ(dx, 2.5f); EXPECT_EQ(dy, -1.5f); }
    }
}

TEST(WarpModel, InBoundsUsesTheTrueExtremeSamples)
{
    // 21 x 21 template (padded 24 x 24): samples at centred -10 .. 10.
    CImg<float> T(24, 24, 1, 1, 0.f), I(40, 30, 1, 1, 0.f);
    CWarp w(2);
    // Left edge at x' = 0 is inside for bilinear, just below it is not (the old test
    // points at -9 and 11 would have passed both).
    EXPECT_TRUE(w.inBounds(T, I, vec({10.f, 15.f}), 1));
    EXPECT_FALSE(w.inBounds(T, I, vec({9.5f, 15.f}), 1));
    // Right edge exactly on width - 1 fails (strict), just below passes.
    EXPECT_FALSE(w.inBounds(T, I, vec({29.f, 15.f}), 1));
    EXPECT_TRUE(w.inBounds(T, I, vec({28.99f, 15.f}), 1));
    // Bicubic: 1 <= x' < width - 2.
    EXPECT_FALSE(w.inBounds(T, I, vec({10.99f, 15.f}), 3));
    EXPECT_TRUE(w.inBounds(T, I, vec({11.f, 15.f}), 3));
    EXPECT_FALSE(w.inBounds(T, I, vec({28.f, 15.f}), 3));
    EXPECT_TRUE(w.inBounds(T, I, vec({27.99f, 15.f}), 3));
    // y axis: bottom row of samples at ty + 10 < height - 1.
    EXPECT_FALSE(w.inBounds(T, I, vec({15.f, 19.f}), 1));
    EXPECT_TRUE(w.inBounds(T, I, vec({15.f, 18.9f}), 1));
    // Even size: 6 x 6 template, extremes at -2.5 and 2.5.
    CImg<float> T6(9, 9, 1, 1, 0.f);
    EXPECT_TRUE(w.inBounds(T6, I, vec({2.5f, 5.f}), 1));
    EXPECT_FALSE(w.inBounds(T6, I, vec({2.4f, 5.f}), 1));
    // A scale above 1 moves the extremes outward.
    CWarp s(4);
    EXPECT_TRUE(s.inBounds(T, I, vec({10.f, 15.f, 0.f, 0.f}), 1));
    EXPECT_FALSE(s.inBounds(T, I, vec({10.f, 15.f, 0.f, 0.01f}), 1));
    // Margins and tolerance of the general form.
    EXPECT_FALSE(w.inBounds(T, I, vec({10.f, 15.f}), 1, 1, 0.f));
    EXPECT_FALSE(w.inBounds(T, I, vec({10.f, 15.f}), 0, 1, 1e-3f));
    EXPECT_TRUE(w.inBounds(T, I, vec({10.01f, 15.f}), 0, 1, 1e-3f));
}

TEST(WarpModel, NonFiniteWarpsAreNeverInBounds)
{
    CImg<float> T(8, 8, 1, 1, 0.f), I(40, 40, 1, 1, 0.f);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    for (float bad : {nan, inf, -inf})
        for (int code : {2, 3, 4, 6})
            for (int k = 0; k < code; ++k) {
                CImg<float> p(code, 1, 1, 1, 0.f);
                if (code == 6) { p[4] = 20.f; p[5] = 20.f; } else { p[0] = 20.f; p[1] = 20.f; }
                CWarp w(code);
                EXPECT_TRUE(w.inBounds(T, I, p, 1));
                p[k] = bad;
                EXPECT_FALSE(w.inBounds(T, I, p, 1)) << code << " " << k << " " << bad;
            }
}

TEST(WarpModel, ShortVectorsAndEmptyReferenceParametersReadAsZero)
{
    // Every map and derivative operation with vectors shorter than the code needs: the
    // missing entries are zero, and nothing is read or written out of bounds (sanitizer run).
    const float x = 3.f, y = -2.f;
    for (int code : {0, 1, 2, 3, 4, 5, 6, 7, 9, 12, 23, 24, 26, 33, -4}) {
        CWarp w(code);
        for (unsigned len : {0u, 1u, 2u}) {
            CImg<float> p(len, 1, 1, 1, 0.5f);
            float ox, oy;
            w.Warp(p, x, y, ox, oy);
            w.WarpDelta(p, x, y, ox, oy);
            EXPECT_TRUE(std::isfinite(ox) && std::isfinite(oy));
            for (unsigned n : {0u, 1u, 2u, 3u}) {
                CImg<float> J(n, 1, 1, 1, 0.f), H(n, n, 1, 1, 0.f), JH(n, n, 1, 1, 0.f);
                w.CalcJcbn(J, p, x, y, 1.f, 1.f);
                w.CalcHess(H, p, x, y, 1.f, 1.f);
                w.CalcJcHs(JH, p, x, y, 1.f, 1.f, 1.f);
            }
        }
    }
    // Affine with two entries: (a, b) taken, the rest zero.
    CWarp a(6), ref(6);
    float ox, oy, ex, ey;
    a.Warp(vec({0.5f, 0.25f}), x, y, ox, oy);
    ref.Warp(vec({0.5f, 0.25f, 0, 0, 0, 0}), x, y, ex, ey);
    EXPECT_EQ(ox, ex);
    EXPECT_EQ(oy, ey);
    // Codes 23, 24, 26 without reference parameters: pure translations.
    for (int code : {23, 24, 26}) {
        CWarp w(code);
        w.Warp(vec({1.5f, -2.5f}), x, y, ox, oy);
        EXPECT_FLOAT_EQ(ox, x + 1.5f) << code;
        EXPECT_FLOAT_EQ(oy, y - 2.5f) << code;
    }
    // With reference parameters they supply the rest.
    CWarp r26(26), r6(6);
    r26.refParams = vec({0.1f, 0.2f, -0.1f, 0.05f});
    r26.Warp(vec({1.5f, -2.5f}), x, y, ox, oy);
    r6.Warp(vec({0.1f, 0.2f, -0.1f, 0.05f, 1.5f, -2.5f}), x, y, ex, ey);
    EXPECT_EQ(ox, ex);
    EXPECT_EQ(oy, ey);
    CWarp r24(24), r4(4);
    r24.refParams = vec({9.f, 9.f, 0.3f, 0.2f});
    r24.Warp(vec({1.5f, -2.5f}), x, y, ox, oy);
    r4.Warp(vec({1.5f, -2.5f, 0.3f, 0.2f}), x, y, ex, ey);
    EXPECT_EQ(ox, ex);
    EXPECT_EQ(oy, ey);
}

TEST(WarpModel, StateAfterConstruction)
{
    CWarp w(26);
    EXPECT_EQ(w.code, 26);
    EXPECT_EQ(w.nParams(), 6);
    EXPECT_EQ(w.quantise, 0);
    EXPECT_EQ((int)w.jacobian.width(), 2);
    EXPECT_EQ((int)w.jacobian.height(), 6);
    EXPECT_EQ(w.jacobian.max(), 0.f);
    EXPECT_EQ((int)w.stepSizes.size(), 6);
    EXPECT_TRUE(w.refParams.is_empty());
    EXPECT_EQ(CWarp(3).nParams(), 3);
    EXPECT_EQ(CWarp(-2).nParams(), 0);
}

TEST(TrigLookup, TableAndNearestEntry)
{
    CTrigLookup t;
    const double pi = 3.14159265358979323846;
    for (int j = 0; j <= 400; ++j) {
        EXPECT_NEAR(t.sinTable[j], std::sin(j * pi / 200), 2e-7) << j;
        EXPECT_NEAR(t.cosTable[j], std::cos(j * pi / 200), 2e-7) << j;
    }
    float s, c;
    t.getsincos(0.5f, s, c);   // 0.5 * 200 / pi = 31.83 -> entry 32
    EXPECT_EQ(s, t.sinTable[32]);
    EXPECT_EQ(c, t.cosTable[32]);
    t.getsincos(float(2 * pi + 0.5), s, c);
    EXPECT_EQ(s, t.sinTable[32]);
    t.getsincos(-0.5f, s, c);   // wraps to the entry of 2 pi - 0.5
    EXPECT_EQ(s, t.sinTable[368]);
    t.getsincos(std::numeric_limits<float>::quiet_NaN(), s, c);
    EXPECT_TRUE(std::isnan(s) && std::isnan(c));
    t.getsincos(1e30f, s, c);   // huge angle: some entry, no out-of-range index
    EXPECT_TRUE(std::isfinite(s));
}
