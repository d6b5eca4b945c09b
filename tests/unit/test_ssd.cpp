// Sum of squared differences: value against an independent double computation, gradient
// and both Hessians against finite differences, quantised value, trace lines, and runs at
// warps across the reference's edges.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "similarity/CostFnSSD.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

double keys(double t)
{
    t = std::fabs(t);
    if (t <= 1) return 1.5 * t * t * t - 2.5 * t * t + 1;
    if (t < 2) return -0.5 * t * t * t + 2.5 * t * t - 4 * t + 2;
    return 0;
}

// Independent interpolation in double (positions well inside the image).
double sampleD(const Img& I, int interp, double x, double y)
{
    if (interp == 0) return I(int(std::floor(x + 0.5)), int(std::floor(y + 0.5)));
    const int i = int(std::floor(x)), j = int(std::floor(y));
    const double fx = x - i, fy = y - j;
    if (interp == 1)
        return I(i, j) * (1 - fx) * (1 - fy) + I(i + 1, j) * fx * (1 - fy) + I(i, j + 1) * (1 - fx) * fy +
               I(i + 1, j + 1) * fx * fy;
    double v = 0;
    for (int b = -1; b <= 2; ++b)
        for (int a = -1; a <= 2; ++a) v += I(i + a, j + b) * keys(fx - a) * keys(fy - b);
    return v;
}

struct WarpCase { int code; std::vector<float> p; std::vector<float> step; };

const std::vector<WarpCase> kWarps = {
    {2, {20.3f, 19.6f}, {0.25f, 0.25f}},
    {3, {20.3f, 19.6f, 0.25f}, {0.25f, 0.25f, 0.02f}},
    {4, {20.3f, 19.6f, 0.25f, 0.1f}, {0.25f, 0.25f, 0.02f, 0.02f}},
    {6, {0.08f, -0.05f, 0.06f, -0.1f, 20.3f, 19.6f}, {0.02f, 0.02f, 0.02f, 0.02f, 0.25f, 0.25f}},
};

// Reference images on which the interpolant equals a smooth function exactly: bilinear
// reproduces a + b x + c y + e x y, Catmull-Rom every polynomial of degree 2 per axis.
double bilinearExact(double x, double y) { return 6 + 0.3 * x + 0.2 * y + 0.05 * x * y; }
double quadraticExact(double x, double y)
{
    return 8 + 0.2 * x - 0.3 * y + 0.02 * x * x + 0.015 * y * y - 0.01 * x * y + 0.0004 * x * x * y * y;
}
double templateValues(double i, double j) { return 4 + 2 * std::sin(0.9 * i + 0.4 * j); }

Img randomImage(int w, int h)
{
    Img I(w, h, 1, 1, 0.f);
    unsigned s = 12345;
    for (unsigned k = 0; k < I.size(); ++k) {
        s = s * 1664525u + 1013904223u;
        I[k] = float((s >> 8) % 1000) / 10.f;
    }
    return I;
}

// Five-point central differences: exact for polynomials of degree 4, which the costs on the
// polynomial images are in the translation and affine parameters; steps large enough that
// single-precision noise stays small.
template <class F> double diff5(F f, const WarpCase& wc, int k)
{
    const double h = wc.step[k];
    auto at = [&](double m) { CImg<float> a = vec(wc.p); a[k] = float(wc.p[k] + m * h); return f(a); };
    return (at(-2) - 8 * at(-1) + 8 * at(1) - at(2)) / (12 * h);
}

CImg<float> gradientFD(CCostFnSSD& f, const WarpCase& wc)
{
    const int n = (int)wc.p.size();
    CImg<float> g(n, 1, 1, 1, 0.f);
    for (int k = 0; k < n; ++k) g[k] = float(diff5([&](const CImg<float>& a) { return double(f.eval(a)); }, wc, k));
    return g;
}

CImg<float> hessianFD(CCostFnSSD& f, const WarpCase& wc)
{
    const int n = (int)wc.p.size();
    CImg<float> H(n, n, 1, 1, 0.f), ga(n, 1, 1, 1);
    for (int k = 0; k < n; ++k)
        for (int i = 0; i < n; ++i)
            H(i, k) = float(diff5([&](const CImg<float>& a) { f.evalD(a, ga); return double(ga[i]); }, wc, k));
    return H;
}

void expectClose(const CImg<float>& a, const CImg<float>& b, double tol, const std::string& what)
{
    ASSERT_EQ(a.size(), b.size()) << what;
    const double scale = std::max(1.0, maxAbs(b));
    for (unsigned k = 0; k < a.size(); ++k) EXPECT_NEAR(a[k], b[k], tol * scale) << what << " element " << k;
}

}  // namespace

TEST(SSD, ValueMatchesADirectDoubleComputation)
{
    Img R = image(48, 44, [](double i, double j) { return 50 + 20 * std::sin(0.3 * i) * std::cos(0.2 * j) + 0.1 * i; });
    const int w = 9, h = 8;
    Img T = padded(w, h, templateValues);
    for (int interp : {0, 1, 3})
        for (float rate : {1.f, 0.5f})
            for (const auto& wc : kWarps) {
                CCostFnSSDgn f(R, T, wc.code);
                f.setInterpAndOrder(interp, 1, true);
                f.setSampleRate(rate);
                const std::vector<double> q(wc.p.begin(), wc.p.end());
                // Value samplers, and the derivative samplers (the nearest-pixel derivative
                // forms read the truncated position instead of the nearest pixel).
                double sum = 0, sumD = 0;
                int n = 0;
                bool ambiguous = false;   // a nearest-pixel read within rounding of a switch
                for (double i = 1; i <= w; i += rate)
                    for (double j = 1; j <= h; j += rate, ++n) {
                        double x, y;
                        warpD(wc.code, q, i - 1 - (w - 1) / 2.0, j - 1 - (h - 1) / 2.0, x, y);
                        const double t = rate == 1.f ? T(int(i), int(j)) : sampleD(T, interp, i, j);
                        const double d = sampleD(R, interp, x, y) - t;
                        sum += d * d;
                        const double dd = interp == 0 ? R(int(x), int(y)) - t : d;
                        sumD += dd * dd;
                        for (double c : {x, y}) {
                            const double fr = c - std::floor(c);
                            ambiguous |= interp == 0 && (std::fabs(fr - 0.5) < 1e-3 || fr < 1e-3 || fr > 1 - 1e-3);
                        }
                    }
                if (ambiguous) continue;
                const double want = sum / n, wantD = sumD / n;
                CImg<float> g(wc.code, 1, 1, 1, 0.f);
                CImgE<float> H(wc.code, wc.code, 1, 1, 0.f);
                const std::string what = "interp " + std::to_string(interp) + " code " + std::to_string(wc.code);
                EXPECT_NEAR(f.eval(vec(wc.p)), want, 1e-4 * want) << what;
                EXPECT_NEAR(f.evalD(vec(wc.p), g), wantD, 1e-4 * wantD) << what;
                EXPECT_NEAR(f.evalDD(vec(wc.p), g, H), wantD, 1e-4 * wantD) << what;
                EXPECT_FALSE(f.bounded);   // well inside: unclamped samplers in use
            }
}

TEST(SSD, GradientAndFullHessianMatchFiniteDifferences)
{
    const int w = 9, h = 8;
    Img T = padded(w, h, templateValues);
    for (int interp : {1, 3}) {
        Img R = image(44, 42, interp == 1 ? bilinearExact : quadraticExact);
        for (const auto& wc : kWarps) {
            CCostFnSSD full(R, T, wc.code);
            CCostFnSSDgn gn(R, T, wc.code);
            full.setInterpAndOrder(interp, 1, true);
            gn.setInterpAndOrder(interp, 1, true);
            const int n = (int)wc.p.size();
            const CImg<float> p = vec(wc.p);
            CImg<float> g(n, 1, 1, 1, 0.f), g2(n, 1, 1, 1, 0.f), g3(n, 1, 1, 1, 0.f);
            CImgE<float> H(n, n, 1, 1, 0.f), Hgn(n, n, 1, 1, 0.f);
            const float v = full.evalD(p, g);
            EXPECT_EQ(full.evalDD(p, g2, H), v);
            EXPECT_EQ(gn.evalDD(p, g3, Hgn), v);
            const std::string what = "interp " + std::to_string(interp) + " code " + std::to_string(wc.code);
            expectClose(g, gradientFD(full, wc), 2e-3, what + " gradient");
            expectClose(g2, g, 1e-6, what + " gradient of evalDD");
            expectClose(g3, g, 1e-6, what + " gradient of Gauss-Newton");
            const CImg<float> Hfd = hessianFD(full, wc);
            expectClose(H, Hfd, 2e-3, what + " full Hessian");
            for (int i = 0; i < n; ++i)
                for (int k = 0; k < n; ++k) EXPECT_NEAR(H(i, k), H(k, i), 1e-4 * maxAbs(H));
            // The curvature term matters here, so the sign is really tested: the Gauss-Newton
            // Hessian, and the one with the curvature term subtracted, miss the differences.
            CImg<float> minus = Hgn * 2.f - static_cast<const CImg<float>&>(H);
            EXPECT_GT((Hgn - Hfd).abs().max(), 0.02 * maxAbs(Hfd)) << what;
            EXPECT_GT((minus - Hfd).abs().max(), 0.02 * maxAbs(Hfd)) << what;
        }
    }
}

TEST(SSD, GaussNewtonHessianMatchesFiniteDifferencesAtZeroResidual)
{
    const int w = 9, h = 8;
    for (int interp : {1, 3}) {
        auto fR = interp == 1 ? bilinearExact : quadraticExact;
        Img R = image(44, 42, fR);
        for (const auto& wc : kWarps) {
            const std::vector<double> q(wc.p.begin(), wc.p.end());
            // Template = the reference under the warp, so every residual vanishes at p.
            Img T = padded(w, h, [&](double i, double j) {
                double x, y;
                warpD(wc.code, q, i - (w - 1) / 2.0, j - (h - 1) / 2.0, x, y);
                return fR(x, y);
            });
            CCostFnSSDgn gn(R, T, wc.code);
            gn.setInterpAndOrder(interp, 1, true);
            const int n = (int)wc.p.size();
            CImg<float> g(n, 1, 1, 1, 0.f);
            CImgE<float> H(n, n, 1, 1, 0.f);
            EXPECT_NEAR(gn.evalDD(vec(wc.p), g, H), 0.f, 1e-6);
            expectClose(H, hessianFD(gn, wc), 2e-3, "Gauss-Newton code " + std::to_string(wc.code));
        }
    }
}

TEST(SSD, ExactReproductionGivesZeroValueAndGradient)
{
    Img R = image(30, 30, [](double i, double j) { return std::fmod(i * 7.3 + j * 3.1, 17.0); });
    const int w = 7, h = 6;
    // Template cut from R at offset (10, 12): translation (13, 14.5) centres it there.
    Img T = padded(w, h, [&](double i, double j) { return R(int(i) + 10, int(j) + 12); });
    CCostFnSSD full(R, T, 2);
    CCostFnSSDgn gn(R, T, 2);
    const CImg<float> p = vec({13.f, 14.5f});
    CImg<float> g(2, 1, 1, 1, 1.f), g2(2, 1, 1, 1, 1.f);
    CImgE<float> H(2, 2, 1, 1, 1.f), H2(2, 2, 1, 1, 1.f);
    EXPECT_EQ(full.eval(p), 0.f);
    EXPECT_EQ(full.evalD(p, g), 0.f);
    EXPECT_EQ(g.abs().max(), 0.f);
    EXPECT_EQ(full.evalDD(p, g, H), 0.f);
    EXPECT_EQ(gn.evalDD(p, g2, H2), 0.f);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(H[k], H2[k]);
    EXPECT_GT(H.max(), 0.f);
}

TEST(SSD, QuantisedValueWithOrderFour)
{
    Img R(20, 20, 1, 1, 2.7f);
    Img T = padded(3, 3, [](double, double) { return 1.2; });
    CCostFnSSD f(R, T, 2);
    f.setInterpAndOrder(1, 4, true);
    const CImg<float> p = vec({10.f, 10.f});
    CImg<float> g(2, 1, 1, 1, 0.f);
    CImgE<float> H(2, 2, 1, 1, 0.f);
    EXPECT_EQ(f.eval(p), 1.f);
    EXPECT_NEAR(f.evalD(p, g), 2.25f, 1e-5);
    EXPECT_NEAR(f.evalDD(p, g, H), 2.25f, 1e-5);
}

TEST(SSD, TraceLinesAtReferenceValue900)
{
    Img R(10, 10, 1, 1, 900.f);
    Img T(4, 4, 1, 1, 0.f);   // a 1 x 1 template of value 0
    CCostFnSSD f(R, T, 2);
    testing::internal::CaptureStdout();
    const float v = f.eval(vec({5.f, 5.f}));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "***Error2: 5 5 1 1\ninc: 0 1 -1 1\nwarp: 5 5\n");
    EXPECT_EQ(v, 810000.f);
    CImg<float> g(2, 1, 1, 1, 0.f);
    testing::internal::CaptureStdout();
    f.evalD(vec({5.f, 5.f}), g);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SSD, OutputSizesOtherThanN)
{
    Img R = image(44, 42, bilinearExact);
    Img T = padded(9, 8, templateValues);
    CCostFnSSD f(R, T, 6);
    const CImg<float> p = vec(kWarps[3].p);
    CImg<float> g(6, 1, 1, 1, 0.f), big(8, 1, 1, 1, 5.f), small(2, 1, 1, 1, 0.f);
    CImgE<float> H(6, 6, 1, 1, 0.f), Hs(2, 2, 1, 1, 0.f);
    f.evalD(p, g);
    f.evalD(p, big);
    f.evalD(p, small);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(big[k], g[k]);
    EXPECT_EQ(big[6], 0.f);
    EXPECT_EQ(big[7], 0.f);
    EXPECT_EQ(small[1], g[1]);
    f.evalDD(p, g, H);
    f.evalDD(p, small, Hs);   // the first four elements of H in storage order
    for (int k = 0; k < 4; ++k) EXPECT_EQ(Hs[k], H[k]);
}

TEST(SSD, RunsCleanAcrossEdgesAndAtNonFiniteWarps)
{
    Img R = image(16, 12, [](double i, double j) { return i * j * 0.1 + i; });
    Img T = padded(7, 6, templateValues);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<std::pair<float, float>> shifts = {
        {0.f, 6.f}, {15.f, 6.f}, {8.f, 0.f}, {8.f, 11.f}, {0.f, 0.f}, {15.5f, 11.5f}, {-40.f, 60.f},
        {nan, 6.f}, {8.f, inf}, {-inf, -inf}};
    for (int interp : {0, 1, 3})
        for (int code : {2, 3, 4, 6, 5, 12, 26})
            for (auto s : shifts) {
                CImg<float> p(6, 1, 1, 1, 0.f);
                if (code == 6) { p[0] = 0.3f; p[3] = 0.2f; p[4] = s.first; p[5] = s.second; }
                else { p[0] = s.first; p[1] = s.second; p[2] = 0.4f; p[3] = 0.5f; }
                CCostFnSSD f(R, T, code);
                CCostFnSSDgn gn(R, T, code);
                f.setInterpAndOrder(interp, 1, true);
                gn.setInterpAndOrder(interp, 1, true);
                const int n = f.nParams;
                CImg<float> g(n, 1, 1, 1, 0.f);
                CImgE<float> H(n, n, 1, 1, 0.f);
                const float v = f.eval(p);
                f.evalD(p, g);
                f.evalDD(p, g, H);
                gn.evalDD(p, g, H);
                if (std::isfinite(s.first) && std::isfinite(s.second)) {
                    EXPECT_TRUE(std::isfinite(v));
                }
            }
}

namespace {

// The same measure, held on the clamped samplers whatever the warp.
class AlwaysClamped : public CCostFnSSD {
public:
    using CCostFnSSD::CCostFnSSD;
    void refFootprint(int& lo, int& hi) const override { lo = hi = 1 << 20; }
};

}  // namespace

TEST(SSD, UnclampedSamplersOnlyWhereTheyReadTheSamePixels)
{
    // Sweep the template across every edge: wherever the switch picks the unclamped
    // samplers, every result must equal the clamped one bit for bit (a read outside the
    // reference would give another pixel).
    Img R = randomImage(14, 11);
    Img T = padded(5, 4, templateValues);
    for (int interp : {0, 1, 3})
        for (int code : {2, 4, 6})
            for (int axis = 0; axis < 2; ++axis)
                for (float t = -3.f; t <= 17.f; t += 0.25f) {
                    CImg<float> p(code, 1, 1, 1, 0.f);
                    const float tx = axis ? 7.f : t, ty = axis ? t : 5.5f;
                    if (code == 6) { p[0] = 0.35f; p[3] = 0.3f; p[4] = tx; p[5] = ty; }
                    else { p[0] = tx; p[1] = ty; }
                    if (code == 4) { p[2] = 0.2f; p[3] = 0.3f; }
                    CCostFnSSD f(R, T, code);
                    AlwaysClamped c(R, T, code);
                    f.setInterpAndOrder(interp, 1, true);
                    c.setInterpAndOrder(interp, 1, true);
                    const int n = f.nParams;
                    CImg<float> g(n, 1, 1, 1, 0.f), gc(n, 1, 1, 1, 0.f);
                    CImgE<float> H(n, n, 1, 1, 0.f), Hc(n, n, 1, 1, 0.f);
                    EXPECT_EQ(f.eval(p), c.eval(p));
                    EXPECT_EQ(f.evalD(p, g), c.evalD(p, gc));
                    EXPECT_EQ(f.evalDD(p, g, H), c.evalDD(p, gc, Hc));
                    for (int k = 0; k < n * n; ++k) EXPECT_EQ(H[k], Hc[k]) << interp << " " << code << " " << t;
                    EXPECT_TRUE(c.bounded);
                }
}

TEST(SSD, HessiansEqualThePerSampleSumsAtEveryRate)
{
    // The defining sums in double, sample by sample over the measure's own walk (its
    // positions, template values and reference derivatives), with the warp's own derivative
    // operations: rates that give fractional columns, both interpolations, warps inside the
    // reference and across its edge.
    Img R = image(40, 38, [](double i, double j) { return 30 + 12 * std::sin(0.35 * i + 0.1 * j) * std::cos(0.27 * j) + 0.2 * i; });
    const int w = 9, h = 8;
    Img T = padded(w, h, templateValues);
    for (int interp : {1, 3})
        for (float rate : {1.f, 0.5f, 0.3f})
            for (const auto& wc : kWarps)
                for (float shift : {0.f, -17.f}) {
                    std::vector<float> pv = wc.p;
                    pv[wc.code == 6 ? 4 : 0] += shift;   // the second warp crosses the left edge
                    const CImg<float> p = vec(pv);
                    const int n = wc.code;
                    CCostFnSSD full(R, T, n);
                    CCostFnSSDgn gn(R, T, n);
                    for (CCostFnSSD* f : {&full, (CCostFnSSD*)&gn}) {
                        f->setInterpAndOrder(interp, 1, true);
                        f->setSampleRate(rate);
                    }
                    CImg<float> g(n, 1, 1, 1, 0.f), g2(n, 1, 1, 1, 0.f), gd(n, 1, 1, 1, 0.f);
                    CImgE<float> H(n, n, 1, 1, 0.f), Hgn(n, n, 1, 1, 0.f);
                    const float v = full.evalDD(p, g, H);
                    EXPECT_EQ(gn.evalDD(p, g2, Hgn), v);
                    EXPECT_EQ(full.evalD(p, gd), v);
                    for (int k = 0; k < n; ++k) EXPECT_EQ(g[k], gd[k]);
                    EXPECT_EQ(full.bounded, shift != 0.f);

                    CWarp W(n);
                    CImg<float> J(n, 1, 1, 1, 0.f), Hw(n, n, 1, 1, 0.f), Hi(n, n, 1, 1, 0.f);
                    std::vector<double> sF(n * n, 0.0), sG(n * n, 0.0);
                    int N = 0;
                    full.walkDD(p, [&](const WalkSample& s) {
                        float rx, ry;
                        W.Warp(p, s.x, s.y, rx, ry);   // the warp state at p
                        const double d = double(s.r) - s.t;
                        W.CalcJcbn(J, p, s.x, s.y, s.rdx, s.rdy);
                        W.CalcHess(Hw, p, s.x, s.y, s.rdx, s.rdy);
                        W.CalcJcHs(Hi, p, s.x, s.y, s.rdxx, s.rdyy, s.rdxy);
                        for (int k = 0; k < n; ++k)
                            for (int a = 0; a < n; ++a) {
                                const double P = double(J[a]) * J[k];
                                sG[a + k * n] += P;
                                sF[a + k * n] += P + d * (double(Hi(a, k)) + Hw(a, k));
                            }
                        ++N;
                    });
                    ASSERT_EQ(N, (int)full.nSamples);
                    CImg<float> wantF(n, n, 1, 1, 0.f), wantG(n, n, 1, 1, 0.f);
                    for (int k = 0; k < n * n; ++k) {
                        wantF[k] = float(2 * sF[k] / N);
                        wantG[k] = float(2 * sG[k] / N);
                    }
                    const std::string what = "interp " + std::to_string(interp) + " rate " + std::to_string(rate) +
                                             " code " + std::to_string(n) + " shift " + std::to_string(shift);
                    expectClose(H, wantF, 1e-5, what + " full");
                    expectClose(Hgn, wantG, 1e-5, what + " Gauss-Newton");
                    for (int i = 0; i < n; ++i)
                        for (int k = 0; k < i; ++k) {
                            EXPECT_EQ(H(i, k), H(k, i)) << what;
                            EXPECT_EQ(Hgn(i, k), Hgn(k, i)) << what;
                        }
                }
}
