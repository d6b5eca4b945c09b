// Mutual information from a joint histogram: value against a histogram counted directly,
// gradient and second-order matrix against their defining sums, smoothing by Z, and
// intensities outside the bins.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "similarity/CostFnMI.h"
#include "similarity/smooth.h"
#include "fixtures.h"

namespace {

using fixtures::padded;

CImg<float> randomInts(int w, int h, int maxv, unsigned seed)
{
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> d(0, maxv);
    CImg<float> I(w, h);
    cimg_forXY(I, x, y) I(x, y) = float(d(g));
    return I;
}

CImg<float> params(std::initializer_list<float> v)
{
    CImg<float> p(int(v.size()), 1);
    int k = 0;
    for (float x : v) p[k++] = x;
    return p;
}

double plogp(double p) { return p > 0 ? p * std::log(p) : 0; }

// -MI of a joint table given as (ref bin, tmp bin) -> probability.
double minusMI(const std::vector<std::vector<double>>& J)   // J[r][t]
{
    const size_t nr = J.size(), nt = J[0].size();
    double hj = 0, hr = 0, ht = 0;
    std::vector<double> mt(nt, 0.0);
    for (size_t r = 0; r < nr; ++r) {
        double mr = 0;
        for (size_t t = 0; t < nt; ++t) {
            hj -= plogp(J[r][t]);
            mr += J[r][t];
            mt[t] += J[r][t];
        }
        hr -= plogp(mr);
    }
    for (double v : mt) ht -= plogp(v);
    return hj - hr - ht;
}

// Exposes the marginal of the measure to the tests.
struct MIProbe : CCostFnMI {
    using CCostFnMI::CCostFnMI;
    using CCostFnMI::margRef;
};

} // namespace

// Nearest-neighbour sampling at whole-pixel translations: the joint histogram of the template
// and the reference block it lands on (border pixels repeated outside), counted directly.
TEST(MutualInfo, ValueAndHistogramMatchDirectCount)
{
    const CImg<float> T = randomInts(7, 5, 5, 1);
    CImg<float> I = randomInts(19, 17, 7, 2);
    CImgI<float> ref(I), tmp = padded(T);
    const int n = 8;
    struct Case { int code; int tx, ty; };
    const Case cases[] = {{2, 9, 8}, {2, 4, 3}, {6, 12, 10}, {2, 1, 2}, {6, -1, 15}, {2, 17, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " t " << c.tx << "," << c.ty);
        MIProbe mi(ref, tmp, c.code, CImg<float>());
        mi.setInterpAndOrder(0, 1, true);
        mi.setSampleRate(1);
        ASSERT_EQ(mi.bins(), n);
        const CImg<float> p = c.code == 2 ? params({float(c.tx), float(c.ty)})
                                          : params({0, 0, 0, 0, float(c.tx), float(c.ty)});
        std::vector<std::vector<double>> J(n, std::vector<double>(n, 0.0));
        const double N = T.width() * T.height();
        cimg_forXY(T, x, y) {
            int rx = x - 3 + c.tx, ry = y - 2 + c.ty;
            rx = rx < 0 ? 0 : (rx >= I.width() ? I.width() - 1 : rx);
            ry = ry < 0 ? 0 : (ry >= I.height() ? I.height() - 1 : ry);
            J[int(I(rx, ry))][int(T(x, y))] += 1 / N;
        }
        const float v = mi.eval(p);
        EXPECT_NEAR(v, minusMI(J), 2e-5);
        const CImg<float> h = mi.getJointHist();
        ASSERT_EQ(h.width(), n);
        ASSERT_EQ(h.height(), n);
        for (int r = 0; r < n; ++r)
            for (int t = 0; t < n; ++t) EXPECT_NEAR(h(r, t), J[r][t], 1e-6) << r << "," << t;
        // value and gradient evaluation report the value of the same histogram
        CImg<float> g(6, 1, 1, 1, 0.f);
        EXPECT_FLOAT_EQ(mi.evalD(p, g), v);
        CImgE<float> H(6, 6);
        EXPECT_FLOAT_EQ(mi.evalDD(p, g, H), v);
        EXPECT_FLOAT_EQ(mi.eval(p), v);   // the tables are rebuilt after evalDD
    }
}

// Gradient and second-order matrix against their defining sums: bilinear sampling, each
// sample moves weight from its reference bin to the next at the rate of its intensity change,
// the pdf is averaged along the reference axis, then
//   g_k = -sum (ln(P / Pr) + 1) dP_k,   H_ab = sum dP_a dP_b (1 / P - 1 / Pr).
TEST(MutualInfo, GradientAndHessianMatchDefiningSums)
{
    CImg<float> T(3, 3);
    const float tv[9] = {0, 1, 2, 3, 1, 0, 2, 3, 1};
    for (int k = 0; k < 9; ++k) T[k] = tv[k];
    CImg<float> I(10, 9);
    cimg_forXY(I, x, y) I(x, y) = 2.f + 1.7f * std::sin(0.9f * x + 0.4f) * std::cos(0.7f * y);
    CImgI<float> ref(I), tmp = padded(T);

    struct Case { int code; std::vector<float> p; };
    const Case cases[] = {{2, {4.3f, 3.8f}},
                          {6, {0.05f, -0.03f, 0.02f, 0.04f, 4.6f, 4.1f}},
                          {2, {0.2f, 7.6f}},
                          {3, {4.3f, 3.8f, 0.07f}},
                          {4, {4.6f, 4.1f, -0.06f, 0.05f}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const int P = c.code;
        CImg<float> p(P, 1);
        for (int k = 0; k < P; ++k) p[k] = c.p[k];
        MIProbe mi(ref, tmp, c.code, CImg<float>());
        mi.setInterpAndOrder(1, 1, true);
        mi.setSampleRate(1);
        const int n = mi.bins();
        ASSERT_EQ(n, 4);

        std::vector<double> pdf(n * n, 0.0), dpdf(P * n * n, 0.0);
        const double w = 1.0 / 9;
        for (int yy = 0; yy < 3; ++yy)
            for (int xx = 0; xx < 3; ++xx) {
                const double x = xx - 1, y = yy - 1;
                double qx, qy;
                const double sn = P == 3 || P == 4 ? std::sin(double(p[2])) : 0.0;
                const double cs = P == 3 || P == 4 ? std::cos(double(p[2])) : 1.0;
                const double m = P == 4 ? 1.0 + p[3] : 1.0;
                if (P == 2) { qx = x + p[0]; qy = y + p[1]; }
                else if (P == 3 || P == 4) {
                    qx = m * (cs * x + sn * y) + p[0];
                    qy = m * (cs * y - sn * x) + p[1];
                } else { qx = (1 + p[0]) * x + p[2] * y + p[4]; qy = p[1] * x + (1 + p[3]) * y + p[5]; }
                qx = std::min(std::max(qx, 0.0), double(I.width() - 1));
                qy = std::min(std::max(qy, 0.0), double(I.height() - 1));
                const int ix = int(qx), iy = int(qy);
                const int ix1 = std::min(ix + 1, I.width() - 1), iy1 = std::min(iy + 1, I.height() - 1);
                const double fx = qx - ix, fy = qy - iy;
                const double I00 = I(ix, iy), I10 = I(ix1, iy), I01 = I(ix, iy1), I11 = I(ix1, iy1);
                const double v = I00 * (1 - fx) * (1 - fy) + I10 * fx * (1 - fy) + I01 * (1 - fx) * fy + I11 * fx * fy;
                const double gx = (1 - fy) * (I10 - I00) + fy * (I11 - I01);
                const double gy = (1 - fx) * (I01 - I00) + fx * (I11 - I10);
                ASSERT_GT(std::fabs(v - std::round(v)), 1e-3) << "sample too close to a bin edge";
                std::vector<double> J(P);
                if (P == 2) { J[0] = gx; J[1] = gy; }
                else if (P == 3 || P == 4) {
                    // derivatives of the warped point with respect to the angle and the scale
                    J[0] = gx; J[1] = gy;
                    J[2] = m * (gx * (cs * y - sn * x) + gy * (-cs * x - sn * y));
                    if (P == 4) J[3] = gx * (cs * x + sn * y) + gy * (cs * y - sn * x);
                } else { J[0] = gx * x; J[1] = gy * x; J[2] = gx * y; J[3] = gy * y; J[4] = gx; J[5] = gy; }
                const int r = int(v), t = int(T(xx, yy));
                pdf[r + n * t] += w;
                if (r < n - 1)
                    for (int k = 0; k < P; ++k) {
                        dpdf[r + n * (t + n * k)] -= J[k] * w;
                        dpdf[r + 1 + n * (t + n * k)] += J[k] * w;
                    }
            }
        // averaged pdf and its column sums
        std::vector<double> A(n * n), Pr(n, 0.0);
        for (int t = 0; t < n; ++t)
            for (int r = 0; r < n; ++r) {
                A[r + n * t] = 0.5 * (pdf[r + n * t] + (r ? pdf[r - 1 + n * t] : 0.0));
                Pr[r] += A[r + n * t];
            }
        std::vector<double> g(P, 0.0), H(P * P, 0.0);
        for (int t = 0; t < n; ++t)
            for (int r = 0; r < n; ++r) {
                const double a = A[r + n * t];
                if (a == 0) continue;
                for (int k = 0; k < P; ++k) g[k] -= (std::log(a / Pr[r]) + 1) * dpdf[r + n * (t + n * k)];
                for (int i = 0; i < P; ++i)
                    for (int j = 0; j < P; ++j)
                        H[i + P * j] += dpdf[r + n * (t + n * i)] * dpdf[r + n * (t + n * j)] * (1 / a - 1 / Pr[r]);
            }

        CImg<float> gm(P, 1, 1, 1, 7.f);
        CImgE<float> Hm(P, P);
        Hm.fill(7.f);
        mi.evalDD(p, gm, Hm);
        double gscale = 1e-3, hscale = 1e-3;
        for (double v : g) gscale = std::max(gscale, std::fabs(v));
        for (double v : H) hscale = std::max(hscale, std::fabs(v));
        for (int k = 0; k < P; ++k) EXPECT_NEAR(gm[k], g[k], 2e-5 * gscale) << "g " << k;
        for (int k = 0; k < P * P; ++k) EXPECT_NEAR(Hm[k], H[k], 2e-5 * hscale) << "H " << k;
        for (int i = 0; i < P; ++i)
            for (int j = 0; j < P; ++j) EXPECT_EQ(Hm(i, j), Hm(j, i));
        // the gradient is not all zero: the case exercises the derivative table
        EXPECT_GT(gscale, 1e-3);
    }
}

TEST(MutualInfo, ConstantZeroImagesGiveZeroValueAndDerivatives)
{
    CImgI<float> ref(12, 12, 1, 1, 0.f), tmp = padded(CImg<float>(5, 5, 1, 1, 0.f));
    MIProbe mi(ref, tmp, 6, CImg<float>());
    mi.setInterpAndOrder(1, 1, true);
    mi.setSampleRate(1);
    ASSERT_EQ(mi.bins(), 1);
    const CImg<float> p = params({0.1f, 0, 0, -0.1f, 5.5f, 6.2f});
    CImg<float> g(6, 1, 1, 1, 1.f);
    CImgE<float> H(6, 6);
    EXPECT_NEAR(mi.evalDD(p, g, H), 0.f, 1e-6);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(g[k], 0.f);
    for (int k = 0; k < 36; ++k) EXPECT_EQ(H[k], 0.f);
}

TEST(MutualInfo, LastReferenceBinAddsNothingToDerivatives)
{
    // reference values 3.x everywhere with n = 4: every sample falls in the last column
    CImg<float> I(12, 12);
    cimg_forXY(I, x, y) I(x, y) = 3.f + 0.05f * x + 0.03f * y;
    CImgI<float> ref(I), tmp = padded(randomInts(5, 5, 3, 4));
    MIProbe mi(ref, tmp, 6, CImg<float>());
    mi.setInterpAndOrder(1, 1, true);
    mi.setSampleRate(1);
    ASSERT_EQ(mi.bins(), 4);
    CImg<float> g(6), pdf, dpdf;
    mi.evalD(params({0, 0, 0, 0, 5.3f, 5.6f}), g);
    mi.DPdfJnt(params({0, 0, 0, 0, 5.3f, 5.6f}), pdf, dpdf);
    ASSERT_EQ(dpdf.depth(), 6);
    for (unsigned long k = 0; k < dpdf.size(); ++k) EXPECT_EQ(dpdf[k], 0.f);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(g[k], 0.f);
}

// Smoothing by Z: the joint histogram after eval is the plain one convolved by Z (not
// renormalised, n x n); the value is taken from it. One element means no smoothing.
TEST(MutualInfo, SmoothingByWindow)
{
    const CImg<float> T = randomInts(9, 7, 5, 7);   // odd: whole-pixel positions
    CImgI<float> ref(randomInts(20, 20, 5, 8)), tmp = padded(T);
    const CImg<float> p = params({10.f, 9.f});
    MIProbe plain(ref, tmp, 2, CImg<float>());
    plain.setInterpAndOrder(0, 1, true);
    plain.setSampleRate(1);
    const float vPlain = plain.eval(p);
    const CImg<float> h = plain.getJointHist();
    const int n = plain.bins();

    CImg<float> Z(3, 2);
    const float zv[6] = {0.1f, 0.3f, 0.05f, 0.2f, 0.25f, 0.1f};
    for (int k = 0; k < 6; ++k) Z[k] = zv[k];
    MIProbe mz(ref, tmp, 2, Z);
    mz.setInterpAndOrder(0, 1, true);
    mz.setSampleRate(1);
    const CImg<float> before = mz.getJointHist();
    EXPECT_EQ(before.width(), n + 2);
    EXPECT_EQ(before.height(), n + 1);
    EXPECT_EQ(before.max(), 0.f);
    const float vz = mz.eval(p);
    const CImg<float> hz = mz.getJointHist();
    ASSERT_EQ(hz.width(), n);
    ASSERT_EQ(hz.height(), n);
    // direct sum: hz(x, y) = sum Z(i, j) h(x + 1 - i, y + 1 - j), zero outside
    std::vector<double> s(n * n, 0.0);
    double hj = 0;
    std::vector<double> mr(n, 0.0), mt(n, 0.0);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            double v = 0;
            for (int j = 0; j < 2; ++j)
                for (int i = 0; i < 3; ++i) {
                    const int u = x + 1 - i, w = y + 1 - j;
                    if (u >= 0 && u < n && w >= 0 && w < n) v += double(Z(i, j)) * h(u, w);
                }
            EXPECT_NEAR(hz(x, y), v, 1e-6);
            hj -= plogp(v);
            mr[x] += v;
            mt[y] += v;
        }
    double hr = 0, ht = 0;
    for (int k = 0; k < n; ++k) { hr -= plogp(mr[k]); ht -= plogp(mt[k]); }
    EXPECT_NEAR(vz, hj - hr - ht, 2e-5);
    EXPECT_GT(std::fabs(vz - vPlain), 1e-3);

    // the derivative tables are smoothed too: evalD's value is eval's
    CImg<float> g(2);
    EXPECT_FLOAT_EQ(mz.evalD(p, g), vz);

    // one element, whatever its value: no smoothing
    MIProbe one(ref, tmp, 2, CImg<float>(1, 1, 1, 1, 5.f));
    one.setInterpAndOrder(0, 1, true);
    one.setSampleRate(1);
    EXPECT_EQ(one.eval(p), vPlain);
    EXPECT_EQ(one.margRef.size(), (unsigned long)n);
    const CImg<float> h1 = one.getJointHist();
    ASSERT_EQ(h1.size(), h.size());
    for (unsigned long k = 0; k < h.size(); ++k) EXPECT_EQ(h1[k], h[k]);
}

TEST(MutualInfo, BinOfClampsAndNeverConvertsNonFinite)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case { float v; int bin; };
    const Case cases[] = {{0.f, 0}, {0.99f, 0}, {-0.5f, 0}, {-1.f, 0}, {-1e30f, 0}, {3.7f, 3},
                          {7.f, 7}, {7.9f, 7}, {8.f, 7}, {1e30f, 7}, {inf, 7}, {-inf, 0}, {nan, 0}};
    for (const Case& c : cases) EXPECT_EQ(CCostFnMI::binOf(c.v, 7), c.bin) << c.v;
    EXPECT_EQ(CCostFnMI::clampBin(-3, 7), 0);
    EXPECT_EQ(CCostFnMI::clampBin(9, 7), 7);
    EXPECT_EQ(CCostFnMI::clampBin(4, 7), 4);
}

// Negative, non-finite and overshooting intensities never write outside the tables: every
// sample still lands in the table (the pdf sums to 1), in the edge bins.
TEST(MutualInfo, IntensitiesOutsideTheBinsStayInTheTables)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // a step that bicubic sampling overshoots by more than a bin on both sides (by 0.07 of
    // the step), with negative, NaN and infinite pixels in one corner
    CImg<float> I(16, 16);
    cimg_forXY(I, x, y) I(x, y) = x < 8 ? 0.f : 20.f;
    I(0, 0) = -3.f; I(1, 0) = nan; I(0, 1) = inf; I(1, 1) = -inf; I(2, 2) = -40.f;
    CImg<float> T = randomInts(6, 6, 4, 9);
    T(0, 0) = -2.f; T(1, 0) = nan; T(2, 0) = inf; T(3, 0) = -0.5f;
    CImgI<float> ref(I), tmp = padded(T);
    for (int interp : {0, 1, 3})
        for (float rate : {1.f, 0.7f}) {
            SCOPED_TRACE(testing::Message() << "interp " << interp << " rate " << rate);
            MIProbe mi(ref, tmp, 6, CImg<float>());
            mi.setInterpAndOrder(interp, 1, true);
            mi.setSampleRate(rate);
            EXPECT_EQ(mi.bins(), 21);
            for (const CImg<float>& p : {params({0, 0, 0, 0, 7.6f, 7.3f}), params({0.1f, 0, 0, 0.1f, 2.f, 2.f}),
                                         params({0, 0, 0, 0, 1.2f, 0.6f})}) {
                const float v = mi.eval(p);
                const CImg<float> h = mi.getJointHist();
                EXPECT_NEAR(h.sum(), 1.0, 1e-5);
                EXPECT_TRUE(std::isfinite(v));
                CImg<float> g(6);
                CImgE<float> H(6, 6);
                mi.evalDD(p, g, H);
                EXPECT_EQ(mi.eval(p), v);
            }
        }
    // bicubic overshoot of the step, sampled at quarter pixels about it: the values above
    // 21 land in the last column, those below 0 in the first
    CImg<float> S(16, 16);
    cimg_forXY(S, x, y) S(x, y) = x < 8 ? 0.f : 20.f;
    CImg<float> T1(4, 1);
    T1.fill(1.f);
    CImgI<float> rs(S), ts = padded(T1);
    MIProbe mi(rs, ts, 6, CImg<float>());
    mi.setInterpAndOrder(3, 1, true);
    mi.setSampleRate(1);
    ASSERT_EQ(mi.bins(), 21);
    // samples at x' = 6.75, 7.25, 7.75, 8.25 (scale 0.5 about 7.5), y' = 8
    mi.eval(params({-0.5f, 0, 0, 0, 7.5f, 8.f}));
    const CImg<float> h = mi.getJointHist();
    EXPECT_NEAR(h(0, 1), 0.25f, 1e-6);   // 6.75: -1.406 (clamped)
    EXPECT_NEAR(h(4, 1), 0.25f, 1e-6);   // 7.25: 4.06
    EXPECT_NEAR(h(15, 1), 0.25f, 1e-6);  // 7.75: 15.94
    EXPECT_NEAR(h(20, 1), 0.25f, 1e-6);  // 8.25: 21.41 (clamped)
    EXPECT_NEAR(h.sum(), 1.0, 1e-6);
}

TEST(MutualInfo, NonFiniteWarpStaysInsideTheTables)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    CImgI<float> ref(randomInts(12, 12, 5, 13)), tmp = padded(randomInts(4, 4, 5, 14));
    for (int interp : {0, 1, 3}) {
        MIProbe mi(ref, tmp, 6, CImg<float>(2, 2, 1, 1, 0.25f));
        mi.setInterpAndOrder(interp, 1, true);
        for (const CImg<float>& p : {params({0, 0, 0, 0, nan, 3}), params({inf, 0, 0, 0, 5, 5}),
                                     params({0, 0, 0, 0, -inf, inf})}) {
            mi.eval(p);
            CImg<float> pdf;
            mi.PdfJnt(p, pdf);
            EXPECT_NEAR(pdf.sum(), 1.0, 1e-5) << interp;
            CImg<float> g(6);
            CImgE<float> H(6, 6);
            mi.evalDD(p, g, H);
        }
    }
}

TEST(MutualInfo, BinCountFromBothMaximaAndTemplateGrowth)
{
    CImg<float> I = randomInts(15, 15, 4, 10);
    I(3, 3) = 6.5f;
    CImgI<float> ref(I), tmp = padded(randomInts(5, 5, 2, 11));
    CCostFnMI mi(ref, tmp, 2, CImg<float>());
    EXPECT_EQ(mi.bins(), 7);
    CImg<float> T2 = randomInts(5, 5, 3, 12);
    CImgI<float> t2 = padded(T2);
    mi.setTmp(t2);
    EXPECT_EQ(mi.bins(), 7);   // never shrinks, not grown by a smaller maximum
    T2(2, 2) = 9.2f;
    t2 = padded(T2);
    mi.setTmp(t2);
    EXPECT_EQ(mi.bins(), 10);
    mi.setInterpAndOrder(0, 1, true);
    mi.eval(params({7, 7}));
    const CImg<float> h = mi.getJointHist();
    EXPECT_EQ(h.width(), 10);
    EXPECT_NEAR(h.sum(), 1.0, 1e-5);
    EXPECT_GT(h(int(I(7, 7)), 9), 0.f);   // the template's centre pixel, bin 9

    // negative images: one bin
    CImgI<float> neg(8, 8, 1, 1, -4.f), tneg = padded(CImg<float>(3, 3, 1, 1, -1.f));
    CCostFnMI m2(neg, tneg, 2, CImg<float>());
    EXPECT_EQ(m2.bins(), 1);
    EXPECT_NEAR(m2.eval(params({3, 3})), 0.f, 1e-6);

    // an intensity too large for any table is refused with a clear error
    CImgI<float> big(8, 8, 1, 1, 1e9f);
    EXPECT_THROW(CCostFnMI(big, tneg, 2, CImg<float>()), cimg_library::CImgArgumentException);
}
