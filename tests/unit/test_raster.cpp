// Triangle rasteriser: per-bin areas against polygon clipping, lines against a fine
// sampling of the segment, and inputs outside the histogram.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "similarity/area/Raster.h"
#include "clip_oracle.h"

namespace {

// Area of the triangle inside every bin.
CImg<double> clippedAreas(int W, int H, const HistPoint (&t)[3])
{
    CImg<double> out(W, H, 1, 1, 0.0);
    cliporacle::addClipped(out, {{t[0].x, t[0].y}, {t[1].x, t[1].y}, {t[2].x, t[2].y}}, 1.0);
    return out;
}

// Share of the segment a-b in every bin [c, c+1) x [r, r+1), by midpoint sampling.
CImg<double> sampledSegment(int W, int H, HistPoint a, HistPoint b)
{
    CImg<double> out(W, H, 1, 1, 0.0);
    const int n = 400000;
    for (int i = 0; i < n; ++i) {
        const double t = (i + 0.5) / n;
        const double x = a.x + t * (double(b.x) - a.x), y = a.y + t * (double(b.y) - a.y);
        out(int(x), int(y)) += 1.0 / n;
    }
    return out;
}

CImg<float> splat(int W, int H, const HistPoint (&t)[3], float w)
{
    CImg<float> h(W, H, 1, 1, 0.f);
    splatTriangle(h, t[0], t[1], t[2], w);
    return h;
}

void expectNear(const CImg<float>& got, const CImg<double>& want, double tol, const char* what)
{
    ASSERT_EQ(got.width(), want.width());
    ASSERT_EQ(got.height(), want.height());
    for (int r = 0; r < got.height(); ++r)
        for (int c = 0; c < got.width(); ++c)
            ASSERT_NEAR(got(c, r), want(c, r), tol) << what << " bin (" << c << "," << r << ")";
}

double total(const CImg<float>& h)
{
    double s = 0;
    cimg_for(h, p, float) s += *p;
    return s;
}

// Random triangles of several kinds, each compared with the clipped areas.
TEST(RasterFill, BinSharesEqualClippedAreas)
{
    const int W = 7, H = 6;
    std::mt19937 gen(12345);
    std::uniform_real_distribution<float> ux(0.f, W - 1e-3f), uy(0.f, H - 1e-3f), uf(0.f, 1.f);
    auto quarter = [&](float hi) { return std::floor(uf(gen) * hi * 4) / 4; };

    int tested = 0;
    for (int kind = 0; kind < 6; ++kind)
        for (int n = 0; n < 300; ++n) {
            HistPoint t[3];
            for (auto& p : t) p = {ux(gen), uy(gen)};
            switch (kind) {
            case 1:  // a horizontal edge
                t[n % 3].y = t[(n + 1) % 3].y;
                break;
            case 2: {  // inside one row
                const float r = std::floor(uy(gen));
                for (auto& p : t) p.y = r + uf(gen) * 0.999f;
                break;
            }
            case 3:  // whole-number rows
                for (auto& p : t) p.y = std::floor(p.y);
                break;
            case 4:  // vertices on a quarter grid: edges through bin corners and along lines
                for (auto& p : t) p = {quarter(W - 0.25f), quarter(H - 0.25f)};
                break;
            case 5:  // thin slivers along the left border
                t[0].x = 0.f;
                t[1].x = 0.f;
                t[2].x = uf(gen) * 0.05f;
                break;
            default:
                break;
            }
            if (classifyTriangle(t[0], t[1], t[2]) != 2) continue;
            const CImg<double> areas = clippedAreas(W, H, t);
            const double a = areas.sum();
            const float w = 0.37f;
            const CImg<float> h = splat(W, H, t, w);
            expectNear(h, areas * (w / a), 1e-6, "triangle");
            EXPECT_NEAR(total(h), w, 1e-6);
            ++tested;
        }
    EXPECT_GT(tested, 1500);
}

// Wide triangles with their long row stretches deferred (and swept in several batches):
// the shares of the direct fill, the clipped areas, and exact zeros where nothing lies.
TEST(RasterFill, DeferredRowRunsGiveTheSameShares)
{
    const int W = 260, H = 200;
    std::mt19937 gen(777);
    std::uniform_real_distribution<float> ux(0.f, 150.f), uy(0.f, H - 1e-3f);
    CImg<float> direct(W, H, 1, 1, 0.f), deferred(W, H, 1, 1, 0.f);
    CImg<double> want(W, H, 1, 1, 0.0);
    RowRuns runs(40);
    int n = 0;
    while (n < 12) {
        HistPoint t[3];
        for (auto& p : t) p = {ux(gen), uy(gen)};
        if (n == 0) t[1].y = t[0].y;   // a horizontal edge
        if (classifyTriangle(t[0], t[1], t[2]) != 2) continue;
        const CImg<double> areas = clippedAreas(W, H, t);
        const float w = 0.1f + 0.05f * n;
        want += areas * (w / areas.sum());
        splatTriangle(direct, t[0], t[1], t[2], w);
        splatTriangle(deferred, t[0], t[1], t[2], w, &runs);
        ++n;
    }
    EXPECT_FALSE(runs.empty());
    runs.flush(deferred);
    EXPECT_TRUE(runs.empty());
    for (int r = 0; r < H; ++r)
        for (int c = 0; c < W; ++c) {
            ASSERT_NEAR(deferred(c, r), direct(c, r), 1e-7 + 1e-6 * std::fabs(direct(c, r))) << c << "," << r;
            ASSERT_NEAR(deferred(c, r), want(c, r), 2e-6) << c << "," << r;
            if (want(c, r) == 0) {
                ASSERT_EQ(deferred(c, r), 0.f) << c << "," << r;
            }
        }
    EXPECT_NEAR(total(deferred), total(direct), 1e-5);
}

TEST(RasterFill, WholeNumberBottomRowGetsNothing)
{
    const HistPoint t[3] = {{0.5f, 0.5f}, {3.5f, 2.0f}, {1.5f, 2.0f}};
    const CImg<float> h = splat(5, 4, t, 1.f);
    for (int c = 0; c < 5; ++c) EXPECT_EQ(h(c, 2), 0.f);
    expectNear(h, clippedAreas(5, 4, t) * (1.0 / 1.5), 1e-6, "triangle");
}

TEST(RasterFill, TinyNegativeEdgePositionCountsAsZero)
{
    // Row 1 of a 3-wide histogram; a column -1 write would land in row 0.
    CImg<float> a(3, 3, 1, 1, 0.f), b(3, 3, 1, 1, 0.f);
    fillRowSpan(a, 1, -1e-7, 0.5, 2.0, 2.5, 1.0);
    fillRowSpan(b, 1, 0.0, 0.5, 2.0, 2.5, 1.0);
    EXPECT_EQ(a, b);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(a(c, 0), 0.f);
    // The strip between x = 0..0.5 on the left and 2..2.5 on the right: area 2.
    EXPECT_NEAR(a(0, 1), 0.75, 1e-6);
    EXPECT_NEAR(a(1, 1), 1.0, 1e-6);
    EXPECT_NEAR(a(2, 1), 0.25, 1e-6);
}

struct LineCase {
    const char* name;
    HistPoint p[3];
    HistPoint from, to;  // the segment that carries the weight
};

TEST(RasterLine, WeightSpreadAlongCoveredSegment)
{
    const LineCase cases[] = {
        {"vertical", {{2.5f, 0.5f}, {2.5f, 3.0f}, {2.5f, 2.0f}}, {2.5f, 0.5f}, {2.5f, 3.0f}},
        {"vertical on a column line", {{3.f, 4.5f}, {3.f, 0.25f}, {3.f, 1.f}}, {3.f, 0.25f}, {3.f, 4.5f}},
        {"toward smaller x", {{4.7f, 0.2f}, {1.3f, 2.0f}, {3.0f, 1.1f}}, {4.7f, 0.2f}, {1.3f, 2.0f}},
        {"toward smaller x, through corners", {{5.f, 1.f}, {2.f, 4.f}, {3.f, 3.f}}, {5.f, 1.f}, {2.f, 4.f}},
        {"toward larger x", {{0.3f, 0.7f}, {6.6f, 5.9f}, {0.3f + 6.3f * 0.4f, 0.7f + 5.2f * 0.4f}},
         {0.3f, 0.7f}, {6.6f, 5.9f}},
        {"horizontal, middle point outermost", {{1.5f, 2.5f}, {4.5f, 2.5f}, {3.0f, 2.5f}},
         {1.5f, 2.5f}, {4.5f, 2.5f}},
        {"horizontal on a row line, ends coincide", {{2.5f, 3.f}, {4.5f, 3.f}, {2.5f, 3.f}},
         {2.5f, 3.f}, {4.5f, 3.f}},
        {"nearly horizontal", {{0.5f, 2.5f}, {5.5f, 2.50001f}, {3.0f, 2.50002f}}, {0.5f, 2.5f},
         {5.5f, 2.50001f}},
        {"nearly horizontal across a row line", {{0.5f, 2.99998f}, {6.5f, 3.00002f}, {3.5f, 3.f}},
         {0.5f, 2.99998f}, {6.5f, 3.00002f}},
        {"nearly vertical across a column line", {{2.99999f, 0.5f}, {3.00001f, 6.5f}, {3.f, 3.5f}},
         {2.99999f, 0.5f}, {3.00001f, 6.5f}},
    };
    for (const auto& lc : cases) {
        SCOPED_TRACE(lc.name);
        ASSERT_EQ(classifyTriangle(lc.p[0], lc.p[1], lc.p[2]), 1);
        const CImg<float> h = splat(8, 8, lc.p, 1.f);
        expectNear(h, sampledSegment(8, 8, lc.from, lc.to), 2e-5, lc.name);
        EXPECT_NEAR(total(h), 1.0, 1e-6);
    }
}

TEST(RasterLine, DirectSegmentWithCoincidentEndsKeepsWeight)
{
    CImg<float> h(4, 4, 1, 1, 0.f);
    splatSegment(h, {1.5f, 2.5f}, {1.5f, 2.5f}, 0.5f);
    EXPECT_EQ(h(1, 2), 0.5f);
    EXPECT_NEAR(total(h), 0.5, 0);
}

TEST(RasterPoint, DegenerateCasesLandInOneBin)
{
    struct {
        const char* name;
        HistPoint p[3];
        int c, r;
    } cases[] = {
        {"same bin", {{2.1f, 3.1f}, {2.9f, 3.2f}, {2.5f, 3.9f}}, 2, 3},
        {"short edges across bins", {{2.999f, 1.999f}, {3.001f, 2.001f}, {3.002f, 1.998f}}, 2, 1},
        {"coincident", {{0.f, 0.f}, {0.f, 0.f}, {0.f, 0.f}}, 0, 0},
    };
    for (const auto& pc : cases) {
        SCOPED_TRACE(pc.name);
        EXPECT_EQ(classifyTriangle(pc.p[0], pc.p[1], pc.p[2]), 0);
        const CImg<float> h = splat(5, 5, pc.p, 0.25f);
        EXPECT_EQ(h(pc.c, pc.r), 0.25f);
        EXPECT_EQ(total(h), 0.25);
    }
}

TEST(RasterSort, StableByY)
{
    HistPoint a{1, 2}, b{2, 1}, c{3, 2};
    sortByY(a, b, c);
    EXPECT_EQ(b.x, 1.f);  // the original a
    EXPECT_EQ(a.x, 2.f);
    EXPECT_EQ(c.x, 3.f);
}

// Out-of-range and non-finite vertices are clamped into the histogram: the weight stays
// whole and inside, and a finite out-of-range triangle splats as its clamped copy.
TEST(RasterBounds, VerticesOutsideAreClamped)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const int W = 5, H = 4;
    const float xt = std::nextafter(float(W), 0.f), yt = std::nextafter(float(H), 0.f);
    struct {
        HistPoint in[3], clamped[3];
    } cases[] = {
        {{{-2.f, 1.5f}, {3.5f, -0.5f}, {2.5f, 3.5f}}, {{0.f, 1.5f}, {3.5f, 0.f}, {2.5f, 3.5f}}},
        {{{1.f, 1.f}, {9.f, 2.5f}, {2.5f, 7.f}}, {{1.f, 1.f}, {xt, 2.5f}, {2.5f, yt}}},
        {{{-1.f, -1.f}, {7.f, -3.f}, {8.f, 9.f}}, {{0.f, 0.f}, {xt, 0.f}, {xt, yt}}},
        {{{-inf, 1.f}, {inf, 2.f}, {2.f, inf}}, {{0.f, 1.f}, {xt, 2.f}, {2.f, yt}}},
        {{{nan, 1.f}, {3.f, nan}, {2.f, 3.f}}, {{0.f, 1.f}, {3.f, 0.f}, {2.f, 3.f}}},
        {{{nan, nan}, {nan, nan}, {nan, nan}}, {{0.f, 0.f}, {0.f, 0.f}, {0.f, 0.f}}},
        {{{-1.f, 2.f}, {-3.f, 1.f}, {-2.f, 3.f}}, {{0.f, 2.f}, {0.f, 1.f}, {0.f, 3.f}}},
    };
    for (const auto& bc : cases) {
        const CImg<float> h = splat(W, H, bc.in, 1.f);
        EXPECT_EQ(h, splat(W, H, bc.clamped, 1.f));
        EXPECT_NEAR(total(h), 1.0, 1e-5);
    }
}

// The lower-level entry points stay inside the histogram whatever they are given.
TEST(RasterBounds, LowLevelCallsStayInside)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const double dnan = std::numeric_limits<double>::quiet_NaN();
    // A 4x3 view into the middle rows of a larger image: writes outside show in the guards.
    CImg<float> big(4, 5, 1, 1, 0.f);
    CImg<float> h(big.data() + 4, 4, 3, 1, 1, true);
    fillRowSpan(h, 1, -5.0, 9.0, 3.0, 12.0, 1.0);
    fillRowSpan(h, -1, 0.5, 1.0, 2.0, 3.0, 1.0);
    fillRowSpan(h, 3, 0.5, 1.0, 2.0, 3.0, 1.0);
    fillRowSpan(h, 2, dnan, 1.0, 2.0, dnan, 1.0);
    trimEdge(h, 0, -3.0, 7.0, 1.0, 2);
    trimEdge(h, 5, 0.5, 1.5, 1.0, 1);
    fillFlatTriangle(h, {-1.f, -1.f}, {2.f, 9.f}, {6.f, -1.f}, 0.1);
    fillFlatTriangle(h, {nan, 1.f}, {2.f, nan}, {1.f, 1.f}, 0.1);
    fillTriangle(h, {-4.f, 0.5f}, {7.f, 2.5f}, {1.f, 8.f}, 0.1);
    splatSegment(h, {-4.f, -2.f}, {9.f, 7.f}, 1.f);
    splatSegment(h, {nan, 1.f}, {2.f, nan}, 1.f);
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(big(c, 0), 0.f);
        EXPECT_EQ(big(c, 4), 0.f);
    }
}

}  // namespace
