// Newton mutual information: second derivatives of the joint pdf against finite differences
// of its first derivatives, the second-order term against finite differences of the gradient,
// symmetry and repeatability.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "similarity/CostFnMInwt.h"
#include "fixtures.h"

namespace {

using fixtures::padded;

CImg<float> smoothRef(int w, int h)
{
    CImg<float> I(w, h);
    cimg_forXY(I, x, y) I(x, y) = 3.f + 2.4f * std::sin(0.5f * x + 0.3f) * std::cos(0.4f * y - 0.2f);
    return I;
}

CImg<float> smallTmp()
{
    CImg<float> T(5, 4);
    const float v[20] = {0, 1, 2, 3, 1, 2, 3, 0, 1, 1, 3, 2, 0, 0, 2, 1, 3, 3, 2, 0};
    for (int k = 0; k < 20; ++k) T[k] = v[k];
    return T;
}

struct NwtProbe : CCostFnMInwt {
    using CCostFnMInwt::CCostFnMInwt;
    using CCostFnMInwt::hessWarp;
};

struct Case {
    int code;
    std::vector<float> p;
    std::vector<float> h;   // finite-difference step per parameter
    int interp;
};

const Case kCases[] = {
    {2, {10.3f, 9.6f}, {1e-2f, 1e-2f}, 3},
    {2, {10.3f, 9.6f}, {1e-2f, 1e-2f}, 1},
    {3, {10.2f, 9.7f, 0.15f}, {1e-2f, 1e-2f, 2e-3f}, 3},
    {4, {10.2f, 9.7f, 0.1f, 0.05f}, {1e-2f, 1e-2f, 2e-3f, 2e-3f}, 3},
    {6, {0.04f, -0.05f, 0.03f, 0.02f, 10.4f, 9.3f}, {2e-3f, 2e-3f, 2e-3f, 2e-3f, 1e-2f, 1e-2f}, 3},
};

CImg<float> vec(const std::vector<float>& v)
{
    CImg<float> p(int(v.size()), 1);
    for (size_t k = 0; k < v.size(); ++k) p[k] = v[k];
    return p;
}

bool sameImage(const CImg<float>& a, const CImg<float>& b)
{
    if (!a.is_sameXYZC(b)) return false;
    for (unsigned long k = 0; k < a.size(); ++k)
        if (a[k] != b[k]) return false;
    return true;
}

} // namespace

// Within a range of warps where no sample changes bin, the derivative table moves at the
// rate of the second-derivative table.
TEST(MutualInfoNewton, SecondDerivativeTableMatchesFiniteDifferences)
{
    CImgI<float> ref(smoothRef(22, 20)), tmp = padded(smallTmp());
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " interp " << c.interp);
        NwtProbe mi(ref, tmp, c.code, CImg<float>());
        mi.setInterpAndOrder(c.interp, 1, true);
        const int P = c.code;
        const CImg<float> p = vec(c.p);
        CImg<float> pdf, dpdf, d2pdf;
        mi.DDPdfJnt(p, pdf, dpdf, d2pdf);
        const int n = mi.bins();
        ASSERT_EQ(d2pdf.width(), n);
        ASSERT_EQ(d2pdf.depth(), P);
        ASSERT_EQ(d2pdf.spectrum(), P);
        // the first derivatives are those of the plain measure
        CImg<float> pdf1, dpdf1;
        mi.DPdfJnt(p, pdf1, dpdf1);
        EXPECT_TRUE(sameImage(pdf, pdf1));
        for (unsigned long k = 0; k < dpdf.size(); ++k) EXPECT_NEAR(dpdf[k], dpdf1[k], 1e-7f);
        double scale = 0;
        for (unsigned long k = 0; k < d2pdf.size(); ++k) scale = std::max(scale, (double)std::fabs(d2pdf[k]));
        EXPECT_GT(scale, 1e-4);
        for (int b = 0; b < P; ++b) {
            CImg<float> pp(p), pm(p), pdfp, pdfm, dp, dm, d2;
            pp[b] += c.h[b];
            pm[b] -= c.h[b];
            mi.DDPdfJnt(pp, pdfp, dp, d2);
            mi.DDPdfJnt(pm, pdfm, dm, d2);
            ASSERT_TRUE(sameImage(pdfp, pdf) && sameImage(pdfm, pdf)) << "a sample changed bin; param " << b;
            const double hb = double(pp[b]) - double(pm[b]);
            for (int a = 0; a < P; ++a)
                for (int y = 0; y < n; ++y)
                    for (int x = 0; x < n; ++x) {
                        const double fd = (double(dp(x, y, a)) - dm(x, y, a)) / hb;
                        EXPECT_NEAR(d2pdf(x, y, a, b), fd, 2e-3 * scale + 2e-3 * std::fabs(fd))
                            << "bin " << x << "," << y << " a " << a << " b " << b;
                    }
        }
    }
}

// The second-order term of the Newton matrix is what the gradient changes by while every
// sample keeps its bin: H_newton - H_plain = -dg/dp, with and without a smoothing window.
TEST(MutualInfoNewton, SecondOrderTermMatchesGradientDifferences)
{
    CImgI<float> ref(smoothRef(22, 20)), tmp = padded(smallTmp());
    CImg<float> Z(3, 3, 1, 1, 0.05f);
    Z(1, 1) = 0.6f;
    for (const CImg<float>& win : {CImg<float>(), Z})
        for (const Case& c : kCases) {
            SCOPED_TRACE(testing::Message() << "code " << c.code << " window " << win.size());
            NwtProbe mi(ref, tmp, c.code, win);
            CCostFnMI plain(ref, tmp, c.code, win);
            mi.setInterpAndOrder(c.interp, 1, true);
            plain.setInterpAndOrder(c.interp, 1, true);
            const int P = c.code;
            const CImg<float> p = vec(c.p);
            CImg<float> g(P), g0(P), gp(P), gm(P);
            CImgE<float> H(P, P), H0(P, P);
            const float v = mi.evalDD(p, g, H);
            const float v0 = plain.evalDD(p, g0, H0);
            EXPECT_EQ(v, v0);
            EXPECT_EQ(v, mi.eval(p));
            for (int k = 0; k < P; ++k) EXPECT_NEAR(g[k], g0[k], 1e-6f * (1 + std::fabs(g0[k])));
            double hs = 1e-6;
            for (int k = 0; k < P * P; ++k) hs = std::max(hs, (double)std::fabs(H[k] - H0[k]));
            for (int b = 0; b < P; ++b) {
                CImg<float> pp(p), pm(p);
                pp[b] += c.h[b];
                pm[b] -= c.h[b];
                plain.evalD(pp, gp);
                plain.evalD(pm, gm);
                const double hb = double(pp[b]) - double(pm[b]);
                for (int a = 0; a < P; ++a) {
                    const double fd = (double(gp[a]) - gm[a]) / hb;
                    EXPECT_NEAR(double(H(a, b)) - H0(a, b), -fd, 3e-3 * hs + 3e-3 * std::fabs(fd))
                        << "a " << a << " b " << b;
                }
            }
        }
}

TEST(MutualInfoNewton, SymmetricRepeatableAndNoWarpTermForTranslation)
{
    CImgI<float> ref(smoothRef(22, 20)), tmp = padded(smallTmp());
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.code);
        NwtProbe mi(ref, tmp, c.code, CImg<float>(1, 1, 1, 1, 3.f));
        mi.setInterpAndOrder(c.interp, 1, true);
        mi.setSampleRate(1);
        const int P = c.code;
        const CImg<float> p = vec(c.p);
        CImg<float> g1(P), g2(P);
        CImgE<float> H1(P, P), H2(P, P);
        const float v1 = mi.evalDD(p, g1, H1);
        const float v2 = mi.evalDD(p, g2, H2);
        EXPECT_EQ(v1, v2);
        EXPECT_TRUE(sameImage(g1, g2));
        EXPECT_TRUE(sameImage(H1, H2));
        for (int a = 0; a < P; ++a)
            for (int b = 0; b < P; ++b) EXPECT_EQ(H1(a, b), H1(b, a));
        // a one-element window: no smoothing, the results of no window at all
        NwtProbe none(ref, tmp, c.code, CImg<float>());
        none.setInterpAndOrder(c.interp, 1, true);
        CImg<float> g0(P);
        CImgE<float> H0(P, P);
        EXPECT_EQ(none.evalDD(p, g0, H0), v1);
        EXPECT_TRUE(sameImage(g0, g1));
        EXPECT_TRUE(sameImage(H0, H1));
        // the translation map is linear in its parameters: no warp second derivatives
        const bool linear = c.code == 2 || c.code == 6;
        EXPECT_EQ(mi.hessWarp.max() == 0.f && mi.hessWarp.min() == 0.f, linear);
    }
}

TEST(MutualInfoNewton, TemplateThatGrowsTheBinsStaysInsideTheTables)
{
    CImgI<float> ref(smoothRef(22, 20)), tmp = padded(smallTmp());
    NwtProbe mi(ref, tmp, 6, CImg<float>());
    mi.setInterpAndOrder(3, 1, true);
    CImg<float> T2 = smallTmp();
    T2(2, 2) = 11.f;
    CImgI<float> t2 = padded(T2);
    mi.setTmp(t2);
    EXPECT_EQ(mi.bins(), 12);
    CImg<float> g(6);
    CImgE<float> H(6, 6);
    const CImg<float> p = vec(kCases[4].p);
    const float v = mi.evalDD(p, g, H);
    CImg<float> pdf, dpdf, d2pdf;
    mi.DDPdfJnt(p, pdf, dpdf, d2pdf);
    EXPECT_EQ(d2pdf.width(), 12);
    EXPECT_EQ(v, mi.eval(p));
    EXPECT_NEAR(mi.getJointHist().sum(), 1.0, 1e-5);
}
