// Histogram tools of the mutual-information step modules, and the table smoothing they use.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "similarity/smooth.h"
#include "steps/tools/hist.h"

namespace {

constexpr double kSmoothTol = 1e-13;

CImg<double> img(unsigned w, unsigned h, std::vector<double> v)
{
    CImg<double> r(w, h, 1, 1);
    for (size_t k = 0; k < v.size(); ++k) r[k] = v[k];
    return r;
}

}  // namespace

TEST(StepHist, JointTableOfTheSmallExample)
{
    // A = [0 1; 1 1], B = [2 0; 0 0] (x down the rows, y along the columns).
    const CImg<double> A = img(2, 2, {0, 1, 1, 1}), B = img(2, 2, {2, 0, 0, 0});
    const CImg<double> H = HistJnt(A, B, 0, 0);
    ASSERT_EQ(H.width(), 2);
    ASSERT_EQ(H.height(), 3);
    EXPECT_DOUBLE_EQ(H(0, 2), 0.25);
    EXPECT_DOUBLE_EQ(H(1, 0), 0.75);
    EXPECT_DOUBLE_EQ(H.sum(), 1.0);
}

TEST(StepHist, BinsTruncateAndCountsAreAutomaticOrGiven)
{
    const CImg<double> A = img(2, 1, {0.9, 1.2});
    const CImg<double> h = HistMrg(A, 0);
    ASSERT_EQ(h.width(), 2);
    ASSERT_EQ(h.height(), 1);
    EXPECT_DOUBLE_EQ(h[0], 0.5);
    EXPECT_DOUBLE_EQ(h[1], 0.5);
    const CImg<double> h5 = HistMrg(A, 5);
    EXPECT_EQ(h5.width(), 5);
    EXPECT_DOUBLE_EQ(h5.sum(), 1.0);
    const CImg<double> H = HistJnt(A, img(2, 1, {3.7, 0}), 4, 0);
    EXPECT_EQ(H.width(), 4);
    EXPECT_EQ(H.height(), 4);
    EXPECT_DOUBLE_EQ(H(0, 3), 0.5);
    EXPECT_DOUBLE_EQ(H(1, 0), 0.5);
}

TEST(StepHist, WeightedTablesAddTheWeightsOverN)
{
    const CImg<double> A = img(3, 2, {0, 1, 2, 2, 1, 0}), B = img(3, 2, {1, 1, 0, 0, 2, 2});
    const CImg<double> ones(3, 2, 1, 1, 1.0);
    EXPECT_TRUE(HistJntWt(A, B, ones, 4, 3) == HistJnt(A, B, 4, 3));
    EXPECT_TRUE(HistMrgWt(A, ones, 4) == HistMrg(A, 4));

    const CImg<double> W = img(3, 2, {1, 2, 3, 4, 5, 6});
    const CImg<double> H = HistJntWt(A, B, W, 0, 0);
    EXPECT_DOUBLE_EQ(H(0, 1), 1.0 / 6);
    EXPECT_DOUBLE_EQ(H(1, 1), 2.0 / 6);
    EXPECT_DOUBLE_EQ(H(2, 0), (3.0 + 4.0) / 6);
    EXPECT_DOUBLE_EQ(H(1, 2), 5.0 / 6);
    EXPECT_DOUBLE_EQ(H(0, 2), 6.0 / 6);
    const CImg<double> h = HistMrgWt(A, W, 0);
    EXPECT_DOUBLE_EQ(h[0], 7.0 / 6);
    EXPECT_DOUBLE_EQ(h[1], 7.0 / 6);
    EXPECT_DOUBLE_EQ(h[2], 7.0 / 6);
}

TEST(StepHist, ValuesOutsideTheTableAreNotCounted)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const CImg<double> A = img(4, 1, {-0.5, 1, nan, 3}), B = img(4, 1, {0, 0, 0, 0});
    const CImg<double> H = HistJnt(A, B, 2, 1);
    EXPECT_DOUBLE_EQ(H(0, 0), 0.25);  // -0.5 truncates to bin 0
    EXPECT_DOUBLE_EQ(H(1, 0), 0.25);
    const CImg<double> h = HistMrgWt(img(3, 1, {-1, 0, 2}), img(3, 1, {5, 6, 7}), 2);
    EXPECT_DOUBLE_EQ(h[0], 2.0);
    EXPECT_DOUBLE_EQ(h[1], 0.0);
}

TEST(StepHist, EmptyImages)
{
    const CImg<double> E;
    EXPECT_THROW(HistJnt(E, E, 0, 3), cimg_library::CImgException);
    EXPECT_THROW(HistMrg(E, 0), cimg_library::CImgException);
    const CImg<double> H = HistJntWt(E, E, E, 2, 3);
    EXPECT_EQ(H.width(), 2);
    EXPECT_EQ(H.height(), 3);
    EXPECT_EQ(H.sum(), 0.0);
    EXPECT_EQ(HistMrgWt(E, E, 4).sum(), 0.0);
}

TEST(StepHist, SumDimSumsOneDimension)
{
    CImg<double> A(2, 3, 4, 5);
    cimg_forXYZC(A, x, y, z, c) A(x, y, z, c) = 1 + x + 10 * y + 100 * z + 1000 * c;
    for (int d : {1, 2, 3, 4, 7, 0, -1}) {
        const int e = (d < 1 || d > 4) ? 1 : d;
        const CImg<double> S = SumDim(A, d);
        EXPECT_EQ(S.width(), e == 1 ? 1 : 2) << d;
        EXPECT_EQ(S.height(), e == 2 ? 1 : 3) << d;
        EXPECT_EQ(S.depth(), e == 3 ? 1 : 4) << d;
        EXPECT_EQ(S.spectrum(), e == 4 ? 1 : 5) << d;
        cimg_forXYZC(S, x, y, z, c) {
            double s = 0;
            const int n = e == 1 ? 2 : e == 2 ? 3 : e == 3 ? 4 : 5;
            for (int i = 0; i < n; ++i)
                s += A(e == 1 ? i : x, e == 2 ? i : y, e == 3 ? i : z, e == 4 ? i : c);
            EXPECT_DOUBLE_EQ(S(x, y, z, c), s) << d;
        }
    }
    // The marginals of a joint table: code 1 over the first image's bins, code 2 over the second's.
    const CImg<double> P = img(2, 3, {0.1, 0.2, 0.3, 0.1, 0.2, 0.1});
    const CImg<double> pI = SumDim(P, 1), pT = SumDim(P, 2);
    EXPECT_EQ(pI.width(), 1);
    EXPECT_EQ(pI.height(), 3);
    EXPECT_DOUBLE_EQ(pI[1], 0.4);
    EXPECT_EQ(pT.width(), 2);
    EXPECT_EQ(pT.height(), 1);
    EXPECT_DOUBLE_EQ(pT[0], 0.6);
}

TEST(StepHist, EntropyUsesThePositiveElements)
{
    EXPECT_DOUBLE_EQ(entropy(img(3, 1, {0.5, 0.5, 0})), std::log(2.0));
    EXPECT_DOUBLE_EQ(entropy(img(3, 1, {0.25, -1, 0.75})),
                     -(0.25 * std::log(0.25) + 0.75 * std::log(0.75)));
    EXPECT_EQ(entropy(CImg<double>()), 0.0);
    EXPECT_EQ(entropy(img(1, 1, {1})), 0.0);
}

TEST(StepHist, UsableBinsAreFiniteAndNotNegative)
{
    const double inf = std::numeric_limits<double>::infinity();
    double max = -1;
    EXPECT_TRUE(ValidBins(img(3, 1, {0, 2.5, 1e6}), max));
    EXPECT_EQ(max, 1e6);
    EXPECT_TRUE(ValidBins(img(3, 1, {7.5, 2.5, 0}), max));
    EXPECT_EQ(max, 7.5);
    EXPECT_TRUE(ValidBins(CImg<double>(), max));
    for (double bad : {-1e-300, -inf, inf, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_FALSE(ValidBins(img(3, 1, {1, bad, 2}), max)) << bad;
}

TEST(StepHist, DerivativeWeightsOfAJointTable)
{
    const CImg<double> P = img(2, 2, {0.2, 0, 0.5, 0.3});
    const CImg<double> pA = SumDim(P, 2), pB = SumDim(P, 1);
    const CImg<double> L = MiWeights(P, pA, pB);
    EXPECT_DOUBLE_EQ(L(0, 0), std::log(0.2 / (0.7 * 0.2)) + 1);
    EXPECT_EQ(L(1, 0), 0.0);
    EXPECT_DOUBLE_EQ(L(1, 1), std::log(0.3 / (0.3 * 0.8)) + 1);
    const CImg<double> Lb = MiWeights(P, CImg<double>(), pB);
    EXPECT_DOUBLE_EQ(Lb(0, 1), std::log(0.5 / 0.8) + 1);
    EXPECT_DOUBLE_EQ(SumProduct(P, L), 0.2 * L[0] + 0.5 * L[2] + 0.3 * L[3]);
}

// The smoothing masks of the step modules against the direct sum
//   out(x, y) = sum over (i, j) of mask(i, j) table(x + trunc(mw / 2) - i, y + trunc(mh / 2) - j),
// zero outside the table, out the size of the table.
TEST(StepHist, SmoothingMasksFollowTheDirectSum)
{
    CImg<double> table(7, 5);
    cimg_forXY(table, x, y) table(x, y) = std::sin(1.0 + x * 1.7 + y * y * 0.9) + 0.1 * x * y;
    const std::vector<std::vector<double>> masks = {
        {-1, 1}, {0.5, 0.5}, {-1, 2, -1}, {-0.5, 0, 0.5}, {0.25, 0.5, 0.25}, {1}, {0.1, 0.2, 0.3, 0.4}};
    for (const auto& m : masks)
        for (bool vertical : {false, true}) {
            const unsigned n = unsigned(m.size());
            CImg<double> mask(vertical ? 1 : n, vertical ? n : 1, 1, 1);
            for (unsigned k = 0; k < n; ++k) mask[k] = m[k];
            const CImg<double> out = smoothTable(table, mask);
            ASSERT_EQ(out.width(), table.width());
            ASSERT_EQ(out.height(), table.height());
            const int cx = mask.width() / 2, cy = mask.height() / 2;
            cimg_forXY(table, x, y) {
                double s = 0;
                cimg_forXY(mask, i, j) {
                    const int u = x + cx - i, v = y + cy - j;
                    if (u >= 0 && u < table.width() && v >= 0 && v < table.height())
                        s += mask(i, j) * table(u, v);
                }
                EXPECT_NEAR(out(x, y), s, kSmoothTol) << "mask size " << n << (vertical ? " vertical" : "");
            }
        }
}

// A 2-D kernel drawn into a canvas, as the derivative kernels are built, against the direct sum.
TEST(StepHist, SmoothingByATwoDimensionalKernel)
{
    CImg<double> table(6, 8);
    cimg_forXY(table, x, y) table(x, y) = 1.0 / (1 + x + 2 * y) + 0.01 * y;
    CImg<double> mask(4, 3);
    cimg_forXY(mask, i, j) mask(i, j) = 0.3 * i - 0.2 * j * j + 0.05;
    const CImg<double> out = smoothTable(table, mask);
    cimg_forXY(table, x, y) {
        double s = 0;
        cimg_forXY(mask, i, j) {
            const int u = x + 2 - i, v = y + 1 - j;
            if (u >= 0 && u < table.width() && v >= 0 && v < table.height()) s += mask(i, j) * table(u, v);
        }
        EXPECT_NEAR(out(x, y), s, kSmoothTol);
    }
    CImg<double> multi(2, 1, 1, 2, 1.0);
    EXPECT_THROW(smoothTable(table, multi), cimg_library::CImgException);
    EXPECT_THROW(smoothTable(table, CImg<double>()), cimg_library::CImgException);
}
