// Area-based mutual-information measures (operators 6 and 7).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "similarity/area/CostFnMItri.h"
#include "clip_oracle.h"
#include "fixtures.h"

namespace {

using fixtures::image;
using fixtures::padded;
using fixtures::vec;

// A measure as the gateway builds it: operator 6 with the given order, or operator 7.
std::unique_ptr<CCostFnMItri> measure(int op, int order, CImgI<float>& ref, CImgI<float>& tmp,
                                      int code)
{
    std::unique_ptr<CCostFnMItri> m;
    if (op == 7)
        m.reset(new CCostFnMItrigrid(ref, tmp, code));
    else
        m.reset(new CCostFnMItri(ref, tmp, code));
    m->setInterpAndOrder(1, op == 7 ? 1 : order, true);
    m->setSampleRate(1.f);
    return m;
}

double entropyOf(const std::vector<double>& v)
{
    double s = 0;
    for (double e : v)
        if (e > 0) s -= e * std::log(e);
    return s;
}

// Joint entropy less both marginal entropies, from the histogram.
double minusMI(const CImg<float>& h)
{
    std::vector<double> all, cols(h.width(), 0.0), rows(h.height(), 0.0);
    for (int r = 0; r < h.height(); ++r)
        for (int c = 0; c < h.width(); ++c) {
            all.push_back(h(c, r));
            cols[c] += h(c, r);
            rows[r] += h(c, r);
        }
    return entropyOf(all) - entropyOf(cols) - entropyOf(rows);
}

struct Config {
    int op, order;
};
const Config kConfigs[] = {{6, 2}, {6, 3}, {6, 1}, {6, 0}, {7, 1}};

TEST(MItri, ConstantImagesPutAllMassInOneBin)
{
    CImgI<float> tmp = padded(5, 4, [](int, int) { return 3.f; });
    CImgI<float> ref = image(20, 20, [](int, int) { return 7.f; });
    const CImg<float> warps[] = {vec({0.1f, -0.2f, 0.3f, 0.05f, 9.5f, 8.25f}),
                                 vec({0.f, 0.f, 0.f, 0.f, 30.f, -4.f})};
    for (const auto& c : kConfigs)
        for (const auto& p : warps) {
            auto m = measure(c.op, c.order, ref, tmp, 6);
            EXPECT_EQ(m->bins(), 8);
            EXPECT_NEAR(m->eval(p), 0.f, 1e-6f) << c.op << "/" << c.order;
            const CImg<float> h = m->getJointHist();
            EXPECT_NEAR(h(3, 7), 1.f, 1e-6f);
            EXPECT_NEAR(h.sum(), h(3, 7), 0.f);
        }
}

// Random images and warps: the histogram sums to 1 and the value is its -MI.
TEST(MItri, HistogramSumsToOneAndValueIsItsMinusMI)
{
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    CImgI<float> tmp = padded(8, 7, [&](int, int) { return 12.f * u(gen); });
    CImgI<float> ref = image(24, 22, [&](int, int) { return 15.f * u(gen); });
    const struct {
        int code;
        CImg<float> p;
    } warps[] = {
        {2, vec({11.3f, 10.6f})},
        {3, vec({12.f, 11.f, 0.4f})},
        {4, vec({12.2f, 10.9f, -0.3f, 0.4f})},
        {6, vec({0.15f, -0.3f, 0.2f, -0.1f, 11.7f, 10.2f})},
        {6, vec({0.1f, 0.f, 0.f, 0.f, -3.f, 5.f})},  // partly outside the reference
    };
    for (const auto& c : kConfigs)
        for (const auto& w : warps) {
            SCOPED_TRACE(testing::Message() << "op " << c.op << " order " << c.order << " code "
                                            << w.code);
            auto m = measure(c.op, c.order, ref, tmp, w.code);
            const float v = m->eval(w.p);
            const CImg<float> h = m->getJointHist();
            EXPECT_EQ(h.width(), m->bins());
            EXPECT_EQ(h.height(), m->bins());
            EXPECT_NEAR(h.sum(), 1.0, 2e-6);
            EXPECT_NEAR(v, minusMI(h), 2e-5);
            EXPECT_LT(v, 0.f);
        }
}

// Linear template and reference under an affine warp: the map from the template domain to
// (template value, reference value) is affine, so every split of every cell gives the area
// of the image parallelogram inside each bin; also with intensities spread over a
// thousand bins.
TEST(MItri, AffineRampsGiveTheParallelogramsAreas)
{
    const int w = 9, h = 7;
    for (const double k : {1.0, 60.0}) {
        SCOPED_TRACE(k);
        auto T = [&](double i, double j) { return k * (2 + 0.7 * i + 0.3 * j); };
        auto R = [&](double x, double y) { return k * (1 + 0.4 * x + 0.25 * y); };
        CImgI<float> tmp = padded(w, h, [&](int i, int j) { return float(T(i, j)); });
        CImgI<float> ref = image(30, 30, [&](int x, int y) { return float(R(x, y)); });
        const double p[6] = {0.1, -0.2, 0.15, 0.05, 14.3, 13.7};
        const CImg<float> pv = vec({0.1f, -0.2f, 0.15f, 0.05f, 14.3f, 13.7f});

        // Corners of the template domain (template pixel coordinates), in order around it.
        const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0;
        cliporacle::Poly quad;
        for (const auto& ij : {std::array<double, 2>{0, 0}, {w - 1.0, 0}, {w - 1.0, h - 1.0}, {0, h - 1.0}}) {
            const double x = ij[0] - cx, y = ij[1] - cy;
            const double X = (1 + p[0]) * x + p[2] * y + p[4], Y = p[1] * x + (1 + p[3]) * y + p[5];
            quad.push_back({T(ij[0], ij[1]), R(X, Y)});
        }
        const int n = int(std::floor(std::max(R(29, 29), T(w - 1, h - 1)))) + 1;
        CImg<double> want(n, n, 1, 1, 0.0);
        cliporacle::addClipped(want, quad, 1.0 / cliporacle::polyArea(quad));

        for (const auto& c : kConfigs) {
            SCOPED_TRACE(testing::Message() << "op " << c.op << " order " << c.order);
            auto m = measure(c.op, c.order, ref, tmp, 6);
            m->eval(pv);
            const CImg<float> got = m->getJointHist();
            ASSERT_EQ(got.width(), n);
            for (int r = 0; r < n; ++r)
                for (int q = 0; q < n; ++q) ASSERT_NEAR(got(q, r), want(q, r), 2e-5 / k) << q << "," << r;
        }
    }
}

// One cell with known corner values: each order's triangles, by clipping; also with the
// values a hundred times larger, where the triangles span hundreds of bins per row.
TEST(MItri, OrdersSplitTheCellAsTabled)
{
    for (const float k : {1.f, 100.f}) {
        SCOPED_TRACE(k);
        const float t[2][2] = {{1.2f * k, 3.1f * k}, {4.7f * k, 2.2f * k}};  // t[x][y]
        CImgI<float> tmp = padded(2, 2, [&](int i, int j) { return t[i][j]; });
        CImgI<float> ref = image(6, 6, [](int, int) { return 0.f; });
        ref(2, 3) = 5.5f * k;
        ref(3, 3) = 1.3f * k;
        ref(2, 4) = 2.4f * k;
        ref(3, 4) = 6.8f * k;
        const CImg<float> p = vec({2.5f, 3.5f});  // cell corners onto pixels (2..3, 3..4)

        using P = std::array<double, 2>;
        const P v00{t[0][0], ref(2, 3)}, v10{t[1][0], ref(3, 3)}, v01{t[0][1], ref(2, 4)}, v11{t[1][1], ref(3, 4)};
        const P mid{(v00[0] + v10[0] + v01[0] + v11[0]) / 4, (v00[1] + v10[1] + v01[1] + v11[1]) / 4};
        const int n = int(6.8f * k) + 1;
        auto expected = [&](std::initializer_list<cliporacle::Poly> tris, double mass) {
            CImg<double> e(n, n, 1, 1, 0.0);
            for (const auto& tri : tris) cliporacle::addClipped(e, tri, mass / cliporacle::polyArea(tri));
            return e;
        };
        const struct {
            int order;
            CImg<double> want;
        } cases[] = {
            {2, expected({{v00, v10, v11}, {v00, v01, v11}}, 0.5)},
            {3, expected({{v00, v10, mid}, {v10, v11, mid}, {v01, v11, mid}, {v00, v01, mid}}, 0.25)},
            {1, expected({{v00, v10, v01}, {v10, v01, v11}}, 0.5)},
            {5, expected({{v00, v10, v01}, {v10, v01, v11}}, 0.5)},
        };
        CImg<float> got[4];
        for (int c = 0; c < 4; ++c) {
            SCOPED_TRACE(cases[c].order);
            auto m = measure(6, cases[c].order, ref, tmp, 2);
            m->eval(p);
            got[c] = m->getJointHist();
            ASSERT_EQ(got[c].width(), n);
            for (int r = 0; r < n; ++r)
                for (int q = 0; q < n; ++q) ASSERT_NEAR(got[c](q, r), cases[c].want(q, r), 1e-6 / k) << q << "," << r;
        }
        // On non-planar corners the three splits differ; every other order is order 1's.
        EXPECT_NE(got[0], got[1]);
        EXPECT_NE(got[0], got[2]);
        EXPECT_NE(got[1], got[2]);
        EXPECT_EQ(got[2], got[3]);
    }
}

TEST(MItri, TemplateOnePixelWideOrHighHasNoCells)
{
    CImgI<float> ref = image(10, 10, [](int x, int y) { return float(x + y); });
    for (const auto& size : {std::array<int, 2>{1, 5}, {5, 1}, {1, 1}}) {
        CImgI<float> tmp = padded(size[0], size[1], [](int i, int j) { return float(2 * i + j + 1); });
        for (int op : {6, 7}) {
            auto m = measure(op, 2, ref, tmp, 2);
            EXPECT_EQ(m->eval(vec({4.f, 4.f})), 0.f);
            EXPECT_EQ(m->getJointHist().sum(), 0.f);
        }
    }
}

// Beyond 65536 bins a bin's index (template bin + n times reference bin) passes 2^32: a
// piece whose four vertices share a bin still lands in that bin. A constant reference
// shares nothing with the template: the value is 0.
TEST(MItrigrid, PiecesInOneBinLandThereAtAnyBinCount)
{
    CImgI<float> ref = image(20, 20, [](int, int) { return 69999.f; });
    CImgI<float> tmp = padded(9, 7, [](int i, int) { return i < 4 ? 5.f : 6.f; });
    auto m = measure(7, 1, ref, tmp, 2);
    EXPECT_EQ(m->bins(), 70000);
    EXPECT_NEAR(m->eval(vec({10.f, 10.f})), 0.f, 1e-6f);
    EXPECT_NEAR(m->eval(vec({9.6f, 10.3f})), 0.f, 1e-6f);
}

// With the cell corners on whole reference positions (odd template, whole-pixel
// translation) or no whole position between two warped corners (a rotation beyond 45
// degrees, a singular map), operator 7 cuts no cell and equals operator 6 with order 2.
TEST(MItrigrid, UncutCellsEqualOrderTwoTriangles)
{
    std::mt19937 gen(11);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    CImgI<float> tmp = padded(7, 5, [&](int, int) { return 9.f * u(gen); });
    CImgI<float> ref = image(25, 25, [&](int, int) { return 11.f * u(gen); });
    const struct {
        int code;
        CImg<float> p;
    } warps[] = {
        {2, vec({12.f, 10.f})},
        {6, vec({0.f, 0.f, 0.f, 0.f, 9.f, 13.f})},
        {3, vec({12.3f, 11.6f, 1.0f})},
        {3, vec({12.3f, 11.6f, -2.5f})},
        {6, vec({0.f, 1.f, 1.f, 0.f, 12.4f, 11.2f})},  // x' = x + y + tx, y' = x + y + ty
    };
    for (const auto& w : warps) {
        SCOPED_TRACE(w.code);
        auto grid = measure(7, 1, ref, tmp, w.code);
        auto tri = measure(6, 2, ref, tmp, w.code);
        EXPECT_EQ(grid->eval(w.p), tri->eval(w.p));
        EXPECT_EQ(grid->getJointHist(), tri->getJointHist());
        EXPECT_NEAR(grid->getJointHist().sum(), 1.0, 2e-6);
    }
    // A small rotation and a sub-pixel shift cut the cells: the histograms differ.
    auto grid = measure(7, 1, ref, tmp, 3);
    auto tri = measure(6, 2, ref, tmp, 3);
    const CImg<float> p = vec({12.3f, 11.6f, 0.3f});
    grid->eval(p);
    tri->eval(p);
    EXPECT_NE(grid->getJointHist(), tri->getJointHist());
    EXPECT_NEAR(grid->getJointHist().sum(), 1.0, 2e-6);
}

TEST(MItri, DerivativeCallsReturnEvalValueWithZeros)
{
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    CImgI<float> tmp = padded(6, 6, [&](int, int) { return 10.f * u(gen); });
    CImgI<float> ref = image(20, 20, [&](int, int) { return 10.f * u(gen); });
    const CImg<float> p = vec({0.05f, 0.1f, -0.1f, 0.02f, 9.6f, 10.3f});
    for (const auto& c : kConfigs) {
        auto m = measure(c.op, c.order, ref, tmp, 6);
        const float v = m->eval(p);
        CImg<float> g(6, 1, 1, 1, 5.f);
        CImgE<float> H(6, 6, 1, 1, 5.f);
        EXPECT_EQ(m->evalD(p, g), v);
        EXPECT_EQ(g.max(), 0.f);
        EXPECT_EQ(g.min(), 0.f);
        g.fill(5.f);
        EXPECT_EQ(m->evalDD(p, g, H), v);
        EXPECT_EQ(g.max(), 0.f);
        EXPECT_EQ(g.min(), 0.f);
        EXPECT_EQ(H.max(), 0.f);
        EXPECT_EQ(H.min(), 0.f);
    }
}

// Intensities outside [0, nBins) and non-finite warps stay inside the histogram.
TEST(MItri, OutOfRangeIntensitiesAndWarpsStayInside)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    CImgI<float> tmp = padded(5, 5, [](int i, int j) { return float(i * 3 - 4 + j); });
    CImgI<float> ref = image(12, 12, [](int x, int y) { return float(x - y); });
    tmp(2, 3) = nan;
    ref(5, 6) = inf;
    ref(6, 6) = nan;
    const CImg<float> warps[] = {vec({0.f, 0.f, 0.f, 0.f, 5.5f, 5.5f}),
                                 vec({nan, 0.f, 0.f, 0.f, 5.f, 5.f}),
                                 vec({0.f, 0.f, 0.f, 0.f, inf, -inf}),
                                 vec({0.f, 0.f, 0.f, 0.f, 1e8f, -3e7f})};
    for (const auto& c : kConfigs)
        for (const auto& p : warps) {
            auto m = measure(c.op, c.order, ref, tmp, 6);
            EXPECT_EQ(m->bins(), 13);
            const float v = m->eval(p);
            EXPECT_TRUE(std::isfinite(v));
            EXPECT_NEAR(m->getJointHist().sum(), 1.0, 1e-5);
        }
}

TEST(MItri, EmptyReferenceIsRefused)
{
    CImgI<float> tmp = padded(3, 3, [](int, int) { return 1.f; });
    CImgI<float> ref;
    EXPECT_THROW(CCostFnMItri(ref, tmp, 2), cimg_library::CImgException);
}

// Operator 7 as its construction reads: for every cell, every whole reference position of
// the box between the warped corners (x0, y0) and (x1, y1) mapped back by WarpInverse, the
// x and y of those inside the cell kept as breakpoints, and every piece of the distinct
// breakpoints splatted as two triangles on its (xa, ya)-(xb, yb) diagonal. Slow: it tests
// every position of every box and takes p at every warp.
CImg<float> literalGrid(int bins, const CImgI<float>& ref, const CImgI<float>& tmp, int code, const CImg<float>& p)
{
    CImg<float> hist(bins, bins, 1, 1, 0.f);
    CWarp warp(code);
    const float cx = (tmp.width() - 4) / 2.f, cy = (tmp.height() - 4) / 2.f;
    const int cols = tmp.width() - 4, rows = tmp.height() - 4;
    const float w = 0.5f / (float(cols) * float(rows));
    auto val = [](const CImg<float>& img, float x, float y) { return img._linear_atXY(x, y, 0, 0); };
    for (int Y = 1; Y <= rows; ++Y)
        for (int X = 1; X <= cols; ++X) {
            const float x0 = X - cx - 1.f, x1 = X - cx, y0 = Y - cy - 1.f, y1 = Y - cy;
            float ax, ay, bx, by;
            warp.Warp(p, x0, y0, ax, ay);
            warp.Warp(p, x1, y1, bx, by);
            std::vector<float> bX, bY;
            for (double gy = std::ceil(ay); gy <= std::floor(by); gy += 1)
                for (double gx = std::ceil(ax); gx <= std::floor(bx); gx += 1) {
                    float qx, qy;
                    warp.WarpInverse(p, float(gx), float(gy), qx, qy);
                    if (x0 <= qx && qx <= x1 && y0 <= qy && qy <= y1) {
                        bX.push_back(qx);
                        bY.push_back(qy);
                    }
                }
            bX.push_back(x0);
            bX.push_back(x1);
            bY.push_back(y0);
            bY.push_back(y1);
            for (auto* v : {&bX, &bY}) {
                std::sort(v->begin(), v->end());
                v->erase(std::unique(v->begin(), v->end()), v->end());
            }
            auto vertex = [&](float x, float y) {
                float rx, ry;
                warp.Warp(p, x, y, rx, ry);
                return HistPoint{val(tmp, x + cx + 1.f, y + cy + 1.f), val(ref, rx, ry)};
            };
            for (std::size_t j = 0; j + 1 < bY.size(); ++j)
                for (std::size_t i = 0; i + 1 < bX.size(); ++i) {
                    const float xa = bX[i], xb = bX[i + 1], ya = bY[j], yb = bY[j + 1];
                    const float v = std::fabs((xa - xb) * (ya - yb)) * w;
                    const HistPoint v00 = vertex(xa, ya), v10 = vertex(xb, ya), v01 = vertex(xa, yb),
                                    v11 = vertex(xb, yb);
                    splatTriangle(hist, v00, v10, v11, v);
                    splatTriangle(hist, v00, v01, v11, v);
                }
        }
    return hist;
}

// Operator 7 at p against the literal construction: the value within 2e-5, the histogram
// within 2e-4 in L1.
void expectConstruction(CImgI<float>& ref, CImgI<float>& tmp, int code, const CImg<float>& p)
{
    auto m = measure(7, 1, ref, tmp, code);
    const float v = m->eval(p);
    const CImg<float> got = m->getJointHist(), want = literalGrid(m->bins(), ref, tmp, code, p);
    double l1 = 0;
    cimg_foroff(got, k) l1 += std::fabs(double(got[k]) - want[k]);
    EXPECT_LT(l1, 2e-4);
    EXPECT_NEAR(v, minusMI(want), 2e-5);
    EXPECT_NEAR(got.sum(), 1.0, 2e-5);
}

// A 21 x 21 template in a 60 x 60 reference of 8-bit-like values that change from pixel to
// pixel, so that every missed or extra cut shows: inside, across each edge, beyond it,
// zoomed with and without rotation, sheared.
TEST(MItrigrid, EqualsTheConstruction)
{
    auto noise = [](int x, int y) { return float((x * 7919 + y * 104729 + x * y * 31) % 23); };
    CImgI<float> tmp = padded(21, 21, [&](int i, int j) { return 1.5f * i + j + noise(i, j); });
    CImgI<float> ref = image(60, 60, [&](int x, int y) { return 0.6f * x + 0.4f * y + 2.f * noise(x, y); });
    const struct {
        const char* what;
        int code;
        CImg<float> p;
    } cases[] = {
        {"inside, Euclidean 0.3 rad", 3, vec({30.2f, 29.7f, 0.3f})},
        {"across the left edge", 3, vec({0.4f, 30.2f, -0.2f})},
        {"across the right edge", 3, vec({59.3f, 30.4f, 0.3f})},
        {"across the top edge", 6, vec({0.05f, 0.1f, -0.1f, 0.02f, 30.3f, 0.6f})},
        {"across the bottom edge", 4, vec({30.4f, 59.6f, 0.25f, 0.1f})},
        {"beyond a corner", 3, vec({90.3f, -25.6f, 0.4f})},
        {"beyond the bottom edge", 3, vec({30.2f, 85.7f, 0.2f})},
        {"similarity, zoom 2", 4, vec({30.1f, 29.8f, 0.f, 1.f})},
        {"similarity, zoom 4, 0.3 rad", 4, vec({30.3f, 29.6f, 0.3f, 3.f})},
        {"similarity, zoom 8, 0.3 rad", 4, vec({30.3f, 29.6f, 0.3f, 7.f})},
        {"similarity, zoom 4, -0.5 rad, across an edge", 4, vec({50.3f, 20.6f, -0.5f, 3.f})},
        {"affine shear", 6, vec({0.2f, 0.4f, 1.3f, -0.1f, 30.4f, 29.8f})},
        {"affine reflection", 6, vec({-2.2f, 0.4f, 0.3f, 0.6f, 30.4f, 29.9f})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expectConstruction(ref, tmp, c.code, c.p);
    }
}

// A strong shear: each box is some two hundred positions long, of which a few lie in the
// cell. The estimate of the pieces, every position a breakpoint, exceeds their bound; the
// count of the cuts admits the warp, and the result is the construction's.
TEST(MItrigrid, StrongShearPassesTheCountOfItsPieces)
{
    CImgI<float> tmp = padded(100, 100, [](int i, int j) { return float((i * 13 + j * 7) % 29); });
    CImgI<float> ref = image(60, 60, [](int x, int y) { return float((x * 5 + y * 11) % 31); });
    const CImg<float> p = vec({0.f, 0.05f, 200.f, 0.f, 30.3f, 29.6f});
    CCostFnMItrigrid m(ref, tmp, 6);
    EXPECT_EQ(m.tooLarge(p), nullptr);
    expectConstruction(ref, tmp, 6, p);
}

// Beyond an edge the clamped reference varies only along the edge, linearly between the
// reference's own lines: with the cells cut at those lines, every piece maps affinely into
// the histogram, so ramps give the exact areas (an uncut cell would not).
TEST(MItrigrid, CutsAtTheReferenceLinesBeyondItsEdges)
{
    const int w = 5, h = 4;
    auto T = [](double i, double j) { return 1 + 0.5 * i + 0.9 * j; };
    CImgI<float> tmp = padded(w, h, [&](int i, int j) { return float(T(i, j)); });
    const double f[12] = {2, 5, 3.5, 7, 6, 9, 4, 8, 10, 6.5, 11, 3};
    const struct {
        CImgI<float> ref;
        double sx, sy, tx, ty;   // x' = sx x + tx, y' = sy y + ty
    } cases[] = {
        // Above the reference, across its columns; beyond its right edge, across its rows.
        {image(12, 6, [&](int x, int) { return float(f[x]); }), 2.3, 1.0, 5.6, -10.0},
        {image(6, 12, [&](int, int y) { return float(f[y]); }), 1.0, 2.3, 9.5, 5.6},
    };
    for (const auto& c : cases) {
        const CImg<float> p = vec({float(c.sx - 1), 0.f, 0.f, float(c.sy - 1), float(c.tx), float(c.ty)});
        CImgI<float> ref(c.ref);
        auto R = [&](double x, double y) {   // clamped bilinear, in double
            x = std::min(std::max(x, 0.0), ref.width() - 1.0);
            y = std::min(std::max(y, 0.0), ref.height() - 1.0);
            const int i = std::min(int(x), ref.width() - 2), j = std::min(int(y), ref.height() - 2);
            const double a = x - i, b = y - j;
            return (1 - a) * (1 - b) * ref(i, j) + a * (1 - b) * ref(i + 1, j) + (1 - a) * b * ref(i, j + 1) +
                   a * b * ref(i + 1, j + 1);
        };
        const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0, N = (w - 1) * (h - 1);
        CImg<double> want(12, 12, 1, 1, 0.0);
        for (int Y = 0; Y + 1 < h; ++Y)
            for (int X = 0; X + 1 < w; ++X) {
                std::vector<double> bx{X - cx, X + 1 - cx}, by{Y - cy, Y + 1 - cy};
                for (int g = 0; g < ref.width(); ++g) {
                    const double q = (g - c.tx) / c.sx;
                    if (q > bx[0] && q < bx[1]) bx.push_back(q);
                }
                for (int g = 0; g < ref.height(); ++g) {
                    const double q = (g - c.ty) / c.sy;
                    if (q > by[0] && q < by[1]) by.push_back(q);
                }
                std::sort(bx.begin(), bx.end());
                std::sort(by.begin(), by.end());
                for (std::size_t j = 0; j + 1 < by.size(); ++j)
                    for (std::size_t i = 0; i + 1 < bx.size(); ++i) {
                        cliporacle::Poly quad;
                        for (const auto& xy : {std::array<double, 2>{bx[i], by[j]}, {bx[i + 1], by[j]},
                                               {bx[i + 1], by[j + 1]}, {bx[i], by[j + 1]}})
                            quad.push_back({T(xy[0] + cx, xy[1] + cy), R(c.sx * xy[0] + c.tx, c.sy * xy[1] + c.ty)});
                        const double mass = (bx[i + 1] - bx[i]) * (by[j + 1] - by[j]) / N;
                        cliporacle::addClipped(want, quad, mass / cliporacle::polyArea(quad));
                    }
            }
        auto m = measure(7, 1, ref, tmp, 6);
        m->eval(p);
        const CImg<float> got = m->getJointHist();
        ASSERT_EQ(got.width(), 12);
        for (int r = 0; r < 12; ++r)
            for (int k = 0; k < 12; ++k) ASSERT_NEAR(got(k, r), want(k, r), 2e-5) << k << "," << r;
    }
}

// Warps whose boxes hold more than 2^26 positions, or whose cells would be cut into more
// than 2^28 pieces, are refused at once with the message naming the bound.
TEST(MItrigrid, WarpsBeyondTheBoundsAreRefusedQuickly)
{
    const char positions[] = "Warp too large for operator 7: its cells span more than 67108864 reference positions.";
    const char pieces[] = "Warp too large for operator 7: its cells would be cut into more than 268435456 pieces.";
    const float inf = std::numeric_limits<float>::infinity();
    CImgI<float> tmp = padded(24, 20, [](int i, int j) { return float((i * 3 + j * 5) % 10); });
    CImgI<float> ref = image(48, 40, [](int x, int y) { return float((x * 7 + y * 3) % 13); });
    const struct {
        int code;
        CImg<float> p;
        const char* why;
    } warps[] = {
        {6, vec({1e7f, 0.f, 0.f, 0.f, 4.f, 4.f}), positions},
        {6, vec({0.f, 0.f, 1e7f, 0.f, 20.f, 20.f}), positions},
        {6, vec({0.f, 1e7f, 0.f, 0.f, 20.f, 20.f}), positions},
        {6, vec({-1e7f, 3e6f, 2e6f, 1e7f, 1e8f, -1e8f}), nullptr},   // B left of A: empty boxes
        {6, vec({0.f, 0.f, inf, 0.f, 20.f, 20.f}), positions},
        {4, vec({20.f, 20.f, 0.3f, 1e6f}), positions},
        {3, vec({1e7f, -1e7f, 0.7f}), nullptr},
        {6, vec({0.f, 0.f, 0.f, 0.f, inf, -inf}), nullptr},
        // Some 75000 positions per cell, a few hundred thousand in all, but each cell
        // would be cut into some 10^9 pieces.
        {4, vec({24.f, 20.f, 0.3f, 299.f}), pieces},
    };
    int row = 0;
    for (const auto& w : warps) {
        SCOPED_TRACE(testing::Message() << "row " << row++);
        auto m = measure(7, 1, ref, tmp, w.code);
        auto* grid = static_cast<CCostFnMItrigrid*>(m.get());
        const auto start = std::chrono::steady_clock::now();
        const char* why = grid->tooLarge(w.p);
        if (w.why) {
            EXPECT_STREQ(why, w.why);
            try {
                m->eval(w.p);
                ADD_FAILURE() << "eval did not refuse the warp";
            } catch (const cimg_library::CImgArgumentException& e) {
                EXPECT_NE(std::string(e.what()).find(w.why), std::string::npos) << e.what();
            }
        } else {
            EXPECT_EQ(why, nullptr);
            EXPECT_TRUE(std::isfinite(m->eval(w.p)));
            EXPECT_NEAR(m->getJointHist().sum(), 1.0, 1e-5);
        }
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(secs, 2.0);
    }
}

}  // namespace
