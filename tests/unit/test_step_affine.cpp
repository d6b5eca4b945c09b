// Affine warp onto a template grid, coordinate images, Jacobian and image matrices, and the
// image-library conventions (clamped bilinear sampler, forward differences) they rest on.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "steps/tools/affine.h"
#include "steps/tools/pointwise.h"

namespace {

// I(x, y) = x + 100 y on a w x h grid.
CImg<double> Ramp(int w, int h)
{
    CImg<double> I(w, h);
    cimg_forXY(I, x, y) I(x, y) = x + 100.0 * y;
    return I;
}

CImg<double> Params(double p1, double p2, double p3, double p4, double p5, double p6)
{
    CImg<double> p(1, 6);
    const double v[6] = {p1, p2, p3, p4, p5, p6};
    for (int k = 0; k < 6; ++k) p[k] = v[k];
    return p;
}

// A list of 1 x 1 images holding the given values: a matrix of scalars.
CImgList<double> Scalars(std::initializer_list<double> v)
{
    CImgList<double> L;
    for (double x : v) L.insert(CImg<double>(1, 1, 1, 1, x));
    return L;
}

}  // namespace

TEST(StepAffineLibrary, ClampedBilinearSamplerTakesXThenY)
{
    CImg<double> I(3, 2);
    I(0, 0) = 1; I(1, 0) = 2; I(2, 0) = 4;
    I(0, 1) = 8; I(1, 1) = 16; I(2, 1) = 32;
    struct { float x, y; double v; } cases[] = {
        {1.0f, 0.0f, 2.0},                 // x indexes the width
        {0.0f, 1.0f, 8.0},                 // y indexes the height
        {0.5f, 0.0f, 1.5},
        {1.5f, 0.5f, (2 + 4 + 16 + 32) / 4.0},
        {0.25f, 0.75f, 0.25 * 0.75 * 1 + 0.75 * 0.75 * 8 + 0.25 * 0.25 * 2 + 0.75 * 0.25 * 16},
        {-3.0f, 0.5f, 4.5},                // clamped to x = 0
        {7.0f, -2.0f, 4.0},                // clamped to the corner (2, 0)
        {2.0f, 1.0f, 32.0},                // last pixel, no read past it
        {5.5f, 9.0f, 32.0},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(I._linear_atXY(c.x, c.y), c.v) << c.x << "," << c.y;
}

TEST(StepAffineLibrary, GradientIsForwardDifferenceZeroAtLastRowAndColumn)
{
    CImg<double> v(3, 2);
    v(0, 0) = 1; v(1, 0) = 4; v(2, 0) = 9;
    v(0, 1) = 2; v(1, 1) = 3; v(2, 1) = 7;
    const CImgList<double> g = v.get_gradient("xy", 1);
    ASSERT_EQ(g.size(), 2u);
    const double gx[6] = {3, 5, 0, 1, 4, 0};
    const double gy[6] = {1, -1, -2, 0, 0, 0};
    for (int i = 0; i < 6; ++i) {
        EXPECT_DOUBLE_EQ(g[0][i], gx[i]) << i;
        EXPECT_DOUBLE_EQ(g[1][i], gy[i]) << i;
    }
    // An axis of size 1 still gets its (zero) image.
    const CImgList<double> g1 = CImg<double>(1, 3, 1, 1, 5.0).get_gradient("xy", 1);
    ASSERT_EQ(g1.size(), 2u);
    EXPECT_EQ(g1[0].max(), 0.0);
    EXPECT_EQ(g1[0].min(), 0.0);
}

TEST(StepAffineWarp, IdentityOnThreeByThreeSamplesCentredGridClamped)
{
    const CImg<double> I = Ramp(5, 5);
    const CImg<double> T(3, 3, 1, 1, 0.0);
    const CImg<double> R = WarpToTmp(I, T, Params(0, 0, 0, 0, 0, 0));
    ASSERT_EQ(R.width(), 3);
    ASSERT_EQ(R.height(), 3);
    EXPECT_DOUBLE_EQ(R(0, 0), I(0, 0));
    EXPECT_DOUBLE_EQ(R(1, 0), I(0, 0));
    EXPECT_DOUBLE_EQ(R(2, 0), I(1, 0));
    EXPECT_DOUBLE_EQ(R(1, 1), I(0, 0));
    EXPECT_DOUBLE_EQ(R(2, 2), I(1, 1));
}

TEST(StepAffineWarp, FourByFourWarpGridAndCoordinateImagesDifferByOne)
{
    const CImg<double> I = Ramp(20, 20);
    const CImg<double> T(4, 4, 1, 1, 0.0);
    const CImg<double> R = WarpToTmp(I, T, Params(0, 0, 0, 0, 5, 7));
    const CImgList<double> XY = GridXY(T);
    ASSERT_EQ(XY.size(), 2u);
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) {
            // warp grid: -1..2 on both axes
            EXPECT_DOUBLE_EQ(R(i, j), (i - 1 + 5) + 100.0 * (j - 1 + 7));
            // coordinate images: -2..1
            EXPECT_DOUBLE_EQ(XY[0](i, j), i - 2.0);
            EXPECT_DOUBLE_EQ(XY[1](i, j), j - 2.0);
        }
}

TEST(StepAffineWarp, GridsOfOddAndOblongTemplates)
{
    const CImgList<double> XY = GridXY(CImg<double>(5, 2, 1, 1, 0.0));
    for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 5; ++i) {
            EXPECT_DOUBLE_EQ(XY[0](i, j), i - 2.0);
            EXPECT_DOUBLE_EQ(XY[1](i, j), j - 1.0);
        }
    EXPECT_EQ(XY[0].depth(), 1);
    EXPECT_EQ(XY[0].spectrum(), 1);
}

TEST(StepAffineWarp, HalfPixelShiftAveragesNeighbours)
{
    CImg<double> I(15, 3, 1, 1, 0.0);
    I(10, 0) = 3;
    I(11, 0) = 8;
    const CImg<double> R = WarpToTmp(I, CImg<double>(3, 3, 1, 1, 0.0), Params(0, 0, 0, 0, 10.5, 0));
    EXPECT_DOUBLE_EQ(R(1, 1), 5.5);
}

TEST(StepAffineWarp, GeneralAffineOnLinearImageMatchesMap)
{
    // Bilinear interpolation reproduces a linear image exactly inside it, so the sample is the
    // image's value at the mapped point (coordinates rounded to single precision).
    const CImg<double> I = Ramp(40, 40);
    const CImg<double> T(5, 4, 1, 1, 0.0);
    const double p[6] = {0.1, -0.05, 0.2, -0.15, 17.25, 19.5};
    const CImg<double> R = WarpToTmp(I, T, Params(p[0], p[1], p[2], p[3], p[4], p[5]));
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 5; ++i) {
            const int x = i - 2, y = j - 1;
            const double xw = float((1 + p[0]) * x + p[2] * y + p[4]);
            const double yw = float(p[1] * x + (1 + p[3]) * y + p[5]);
            EXPECT_NEAR(R(i, j), xw + 100.0 * yw, 1e-9) << i << "," << j;
        }
}

TEST(StepAffineWarp, CoordinatesRoundedToSinglePrecision)
{
    CImg<double> I(4, 1);
    cimg_forX(I, x) I(x) = 1e6 * x;
    const CImg<double> R = WarpToTmp(I, CImg<double>(1, 1, 1, 1, 0.0), Params(0, 0, 0, 0, 1 + 1e-9, 0));
    EXPECT_EQ(R(0, 0), 1e6);
}

TEST(StepAffineWarp, KeepsAllDimensionsOfTemplateWritingFirstPlaneOnly)
{
    const CImg<double> I(6, 6, 1, 1, 2.0);
    const CImg<double> R = WarpToTmp(I, CImg<double>(3, 2, 2, 2, 9.0), Params(0, 0, 0, 0, 0, 0));
    ASSERT_EQ(R.width(), 3);
    ASSERT_EQ(R.height(), 2);
    ASSERT_EQ(R.depth(), 2);
    ASSERT_EQ(R.spectrum(), 2);
    for (size_t i = 0; i < R.size(); ++i) EXPECT_EQ(R[i], i < 6 ? 2.0 : 0.0) << i;
    EXPECT_TRUE(WarpToTmp(I, CImg<double>(), Params(0, 0, 0, 0, 0, 0)).is_empty());
}

TEST(StepAffineMatrix, JacobianEntries)
{
    const CImgList<double> XY = GridXY(CImg<double>(4, 3, 1, 1, 0.0));
    const CImgList<double> J = JcbnAffine(XY);
    ASSERT_EQ(J.size(), 12u);
    for (unsigned k = 0; k < 12; ++k) {
        ASSERT_EQ(J[k].width(), 4);
        ASSERT_EQ(J[k].height(), 3);
        for (size_t i = 0; i < J[k].size(); ++i) {
            double want = 0;
            if (k == 0 || k == 3) want = XY[0][i];
            if (k == 4 || k == 7) want = XY[1][i];
            if (k == 8 || k == 11) want = 1;
            EXPECT_EQ(J[k][i], want) << k << "," << i;
        }
    }
}

TEST(StepAffineMatrix, MultOfScalarMatricesIsMatrixProduct)
{
    // A = [1 2 3; 4 5 6] (2 x 3), B = [7 8; 9 10; 11 12] (3 x 2), column-major.
    const CImgList<double> A = Scalars({1, 4, 2, 5, 3, 6});
    const CImgList<double> B = Scalars({7, 9, 11, 8, 10, 12});
    const CImgList<double> C = ListMult(A, 2, 3, B, 3, 2);
    ASSERT_EQ(C.size(), 4u);
    const double want[4] = {58, 139, 64, 154};
    for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(C[i](0, 0), want[i]) << i;
}

TEST(StepAffineMatrix, OuterProductOfImagesIsElementWise)
{
    CImgList<double> SD;
    for (int k = 0; k < 6; ++k) {
        CImg<double> s(3, 2);
        cimg_forXY(s, x, y) s(x, y) = (k + 1) * (x - 1.5) + y * (k % 3);
        SD.insert(s);
    }
    const CImgList<double> SS = ListMult(SD, 6, 1, SD, 1, 6);
    ASSERT_EQ(SS.size(), 36u);
    for (int s = 0; s < 6; ++s)
        for (int r = 0; r < 6; ++r) {
            ASSERT_EQ(SS[r + 6 * s].width(), 3);
            for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(SS[r + 6 * s][i], SD[r][i] * SD[s][i]);
        }
}

TEST(StepAffineMatrix, TransposeMovesEntries)
{
    const CImgList<double> J = JcbnAffine(GridXY(CImg<double>(4, 4, 1, 1, 0.0)));
    const CImgList<double> Jt = ListTranspose(J, 2, 6);
    ASSERT_EQ(Jt.size(), 12u);
    EXPECT_TRUE(Jt[1] == J[2]);  // Y
    EXPECT_TRUE(Jt[6] == J[1]);  // 0
    for (unsigned k = 0; k < 6; ++k)
        for (unsigned r = 0; r < 2; ++r) EXPECT_TRUE(Jt[k + 6 * r] == J[r + 2 * k]) << k << "," << r;

    // 2 x 3 scalars, and an empty entry stays empty.
    CImgList<double> L = Scalars({1, 4, 2, 5, 3, 6});
    L[3].assign();
    const CImgList<double> Lt = ListTranspose(L, 2, 3);
    const double want[6] = {1, 2, 3, 4, 0, 6};
    for (int i = 0; i < 6; ++i) {
        if (i == 4) { EXPECT_TRUE(Lt[i].is_empty()); continue; }
        EXPECT_DOUBLE_EQ(Lt[i](0, 0), want[i]) << i;
    }
}

TEST(StepAffineMatrix, SecondOrderTermIsJacobianQuadraticForm)
{
    // J' Hg J for a constant Hessian image at a single point: compare with the explicit sum.
    const CImg<double> T(3, 3, 1, 1, 0.0);
    const CImgList<double> XY = GridXY(T);
    const CImgList<double> J = JcbnAffine(XY);
    CImgList<double> Hg;
    const double hv[4] = {2.0, -1.0, 0.5, 3.0};  // Hg(0,0), Hg(1,0), Hg(0,1), Hg(1,1)
    for (double v : hv) Hg.insert(CImg<double>(3, 3, 1, 1, v));
    const CImgList<double> JHJ = ListMult(ListMult(ListTranspose(J, 2, 6), 6, 2, Hg, 2, 2), 6, 2, J, 2, 6);
    ASSERT_EQ(JHJ.size(), 36u);
    for (int i = 0; i < 9; ++i) {
        const double x = XY[0][i], y = XY[1][i];
        const double Jm[2][6] = {{x, 0, y, 0, 1, 0}, {0, x, 0, y, 0, 1}};
        const double H[2][2] = {{hv[0], hv[2]}, {hv[1], hv[3]}};
        for (int m = 0; m < 6; ++m)
            for (int n = 0; n < 6; ++n) {
                double want = 0;
                for (int a = 0; a < 2; ++a)
                    for (int b = 0; b < 2; ++b) want += Jm[a][m] * H[a][b] * Jm[b][n];
                EXPECT_DOUBLE_EQ(JHJ[m + 6 * n][i], want) << m << "," << n << "," << i;
            }
    }
}

TEST(StepAffineWarp, RegionSamplesGivenGridAndMatchesTemplateWarp)
{
    const CImg<double> I = Ramp(30, 30);
    const CImg<double> p = Params(0.05, 0.1, -0.1, 0.02, 12.3, 14.6);
    const CImg<double> R = WarpRegion(I, 4, 3, -1, -1, p);
    ASSERT_EQ(R.width(), 4);
    ASSERT_EQ(R.height(), 3);
    EXPECT_TRUE(R == WarpToTmp(I, CImg<double>(4, 3, 1, 1, 0.0), p));
    const CImg<double> R0 = WarpRegion(I, 2, 2, 0, 0, Params(0, 0, 0, 0, 3, 4));
    EXPECT_DOUBLE_EQ(R0(0, 0), I(3, 4));
    EXPECT_DOUBLE_EQ(R0(1, 1), I(4, 5));
    EXPECT_TRUE(WarpRegion(I, 0, 5, 0, 0, p).is_empty());
}

TEST(StepAffineWarp, FarAndNonNumericCoordinates)
{
    const CImg<double> I = Ramp(4, 3);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Far and infinite coordinates take the border's value.
    CImg<double> R = WarpRegion(I, 1, 1, 0, 0, Params(0, 0, 0, 0, 1e300, -inf));
    EXPECT_DOUBLE_EQ(R(0, 0), I(3, 0));
    R = WarpRegion(I, 1, 1, 0, 0, Params(0, 0, 0, 0, -1e40, 1e40));
    EXPECT_DOUBLE_EQ(R(0, 0), I(0, 2));
    // A coordinate that is not a number gives a NaN sample and reads nothing.
    R = WarpRegion(I, 2, 1, 0, 0, Params(0, 0, 0, 0, nan, 1));
    EXPECT_TRUE(std::isnan(R(0, 0)));
    EXPECT_TRUE(std::isnan(R(1, 0)));
    // inf - inf in the map at (2, 2)
    R = WarpRegion(I, 3, 3, 0, 0, Params(1e308, 0, -1e308, 0, 0, 0));
    EXPECT_TRUE(std::isnan(R(2, 2)));
    EXPECT_DOUBLE_EQ(R(0, 0), I(0, 0));
}

// The point-wise sampler of the fused passes gives, bit for bit, what WarpToTmp gives for I and
// for the library's difference images of I: inside, on pixels, across and beyond the border,
// for images too small for the interior path, and for coordinates that are not numbers.
TEST(StepAffineWarp, CellSamplesEqualWarpsOfTheDifferenceImages)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const CImg<double> T(6, 5, 1, 1, 0.0);
    const CImg<double> ps[] = {
        Params(0.05, -0.1, 0.12, 0.03, 3.3, 2.7),   // inside, fractional
        Params(0, 0, 0, 0, 3, 2),                   // on pixels: no next corner
        Params(0.3, 0.2, -0.25, 0.4, 5.8, 4.1),     // across the far border
        Params(-0.2, 0.1, 0.1, -0.3, -0.6, 0.5),    // across the near border
        Params(0, 0, 0, 0, -30, 1e9),               // far outside
        Params(0, 0, 0, 0, nan, 1),
    };
    for (const auto& size : {std::pair<int, int>{7, 6}, {1, 4}, {2, 2}, {3, 1}}) {
        CImg<double> I(size.first, size.second);
        cimg_forXY(I, x, y) I(x, y) = std::sin(1.3 * x + 0.7 * y * y) * 10 + x * y;
        const CImgList<double> g = I.get_gradient("xy", 1);
        CImgList<double> d(1, I);
        d.insert(g[0]).insert(g[1]);
        for (int a = 0; a < 2; ++a) {
            const CImgList<double> h = g[a].get_gradient("xy", 1);
            d.insert(h[0]).insert(h[1]);
        }
        for (const CImg<double>& p : ps) {
            CImgList<double> want;
            for (const CImg<double>& img : d) want.insert(WarpToTmp(img, T, p));
            const AffineMap map(p);
            cimg_forXY(T, i, j) {
                const WarpCell c = CellAt(map.mapX(i - 2, j - 2), map.mapY(i - 2, j - 2), I.width(), I.height());
                CellSample s1, s2;
                SampleCell<1>(I, c, s1);
                SampleCell<2>(I, c, s2);
                // value, gx, gy, gxx, gxy, gyx, gyy as the list above orders them
                const double got[7] = {s2.v, s2.g[0], s2.g[1], s2.H[0], s2.H[1], s2.H[2], s2.H[3]};
                for (int k = 0; k < 7; ++k) {
                    if (std::isnan(want[k](i, j))) EXPECT_TRUE(std::isnan(got[k])) << k;
                    else EXPECT_EQ(got[k], want[k](i, j)) << size.first << "x" << size.second << " " << k;
                }
                EXPECT_TRUE(s1.v == s2.v || std::isnan(s1.v));
                EXPECT_TRUE((s1.g[0] == s2.g[0] && s1.g[1] == s2.g[1]) || std::isnan(s1.g[0]));
            }
        }
    }
}
