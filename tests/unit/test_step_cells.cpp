// The cell tables of the MI steps against the dense tables they stand for: each tool gives
// the bits the dense computation gives (the library's convolution, the dense loops), on sparse
// tables with negative values and a zero cell, for masks on both sides of the library's
// 27-element order switch, 3-D masks, masks wider than the table and non-finite ones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "similarity/smooth.h"
#include "steps/tools/cells.h"
#include "steps/tools/hist.h"

namespace {

using Img = CImg<double>;

// A w x h table of `depth` values per cell holding about `fill` of its cells; depth planes of
// the dense image are the values.
CellTable sparseTable(unsigned w, unsigned h, int depth, double fill, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    CellTable t;
    t.open(w, h, depth);
    std::vector<unsigned> xs;
    std::vector<double> vals;
    for (unsigned y = 0; y < h; ++y) {
        xs.clear();
        vals.clear();
        for (unsigned x = 0; x < w; ++x) {
            if (u(rng) >= fill) continue;
            xs.push_back(x);
            for (int k = 0; k < depth; ++k) vals.push_back(u(rng) < 0.2 ? -u(rng) : u(rng) * 1e-3);
        }
        if (y == 3 && !xs.empty()) vals[0] = 0.0;  // a held cell of 0
        if (!xs.empty()) t.pushRow(y, xs.data(), vals.data(), xs.size());
    }
    t.close();
    return t;
}

Img denseOf(const CellTable& t)
{
    Img D(t.width, t.height, 1, t.depth, 0.0);
    for (unsigned y = 0; y < t.height; ++y)
        for (size_t c = t.row[y]; c < t.row[y + 1]; ++c)
            for (int k = 0; k < t.depth; ++k) D(t.x[c], y, 0, k) = t.at(c)[k];
    return D;
}

// The same bits, or both NaN (which of two NaNs a sum keeps follows the compiler's order of
// the operands).
bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Every held cell has the dense value's bits; every other dense value is 0.
void expectDense(const CellTable& t, const Img& want, const std::string& what)
{
    ASSERT_EQ(int(t.width), want.width()) << what;
    ASSERT_EQ(int(t.height), want.height()) << what;
    ASSERT_EQ(t.depth, want.spectrum()) << what;
    ASSERT_EQ(t.row.size(), size_t(t.height) + 1) << what;
    Img held(t.width, t.height, 1, 1, 0.0);
    for (unsigned y = 0; y < t.height; ++y)
        for (size_t c = t.row[y]; c < t.row[y + 1]; ++c) {
            ASSERT_TRUE(c == t.row[y] || t.x[c] > t.x[c - 1]) << what;
            held(t.x[c], y) = 1;
            for (int k = 0; k < t.depth; ++k)
                EXPECT_TRUE(sameBits(t.at(c)[k], want(t.x[c], y, 0, k)))
                    << what << " at " << t.x[c] << "," << y << ": " << t.at(c)[k] << " vs " << want(t.x[c], y, 0, k);
        }
    cimg_forXYC(want, x, y, k) {
        if (!held(x, y)) {
            EXPECT_EQ(want(x, y, 0, k), 0.0) << what << " at " << x << "," << y;
        }
    }
}

Img maskOf(int w, int h, int d = 1)
{
    Img m(w, h, d);
    cimg_forXYZ(m, i, j, z) m(i, j, z) = 0.5 + 0.3 * i - 0.02 * j * j + 0.1 * z + 0.01 * i * j;
    return m;
}

}  // namespace

TEST(StepCells, SmoothingGivesTheLibrarysBits)
{
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    Img withNan = maskOf(3, 2), withInf = maskOf(5, 7), farPlane = maskOf(2, 2, 3);
    withNan(1, 1) = nan;
    withInf(4, 0) = -inf;
    farPlane(0, 1, 2) = nan;  // a plane that meets only the zero border
    const struct {
        std::string name;
        Img mask;
    } masks[] = {
        {"1x1 of 1", Img(1, 1, 1, 1, 1.0)}, {"1x1 of -2.5", Img(1, 1, 1, 1, -2.5)}, {"1x1 of 0", Img(1, 1, 1, 1, 0.0)},
        {"3x3", maskOf(3, 3)}, {"2x13 (26)", maskOf(2, 13)}, {"3x9 (27)", maskOf(3, 9)},
        {"4x7 (28)", maskOf(4, 7)}, {"1x31", maskOf(1, 31)}, {"31x1", maskOf(31, 1)},
        {"30x28", maskOf(30, 28)}, {"3x3x3", maskOf(3, 3, 3)}, {"2x2x8", maskOf(2, 2, 8)},
        {"70x3, wider than the table", maskOf(70, 3)}, {"with NaN", withNan}, {"with -Inf", withInf},
        {"NaN in a far plane", farPlane},
    };
    for (int depth : {1, 6}) {
        const CellTable t = sparseTable(57, 43, depth, 0.08, 7 + depth);
        const Img dense = denseOf(t);
        for (const auto& m : masks) {
            const std::string what = m.name + ", depth " + std::to_string(depth);
            const CellTable s = SmoothCells(t, m.mask);
            expectDense(s, smoothTable(dense, m.mask), what);
            // The rows as they are handed over are the table's rows.
            size_t at = 0;
            unsigned last = 0;
            SmoothRows(t, m.mask, [&](unsigned y, const unsigned* xs, const double* vals, size_t n) {
                EXPECT_TRUE(at == 0 || y > last) << what;
                EXPECT_EQ(s.row[y], at) << what;
                EXPECT_EQ(s.row[y + 1], at + n) << what;
                for (size_t k = 0; k < n && at + k < s.size(); ++k) {
                    EXPECT_EQ(xs[k], s.x[at + k]) << what;
                    for (int q = 0; q < depth; ++q) EXPECT_TRUE(sameBits(vals[k * depth + q], s.at(at + k)[q])) << what;
                }
                at += n;
                last = y;
            });
            EXPECT_EQ(at, s.size()) << what;
        }
    }
    const CellTable t = sparseTable(9, 8, 1, 0.3, 1);
    EXPECT_THROW(SmoothCells(t, Img()), cimg_library::CImgException);
    EXPECT_THROW(SmoothCells(t, Img(2, 1, 1, 2, 1.0)), cimg_library::CImgException);
}

// The joint table of the pixels, on a small table and on one large enough to be sorted by rows.
TEST(StepCells, JointCellsCountThePixels)
{
    for (unsigned w : {40u, 400u}) {
        const unsigned h = w - 3;
        std::mt19937 rng(w);
        std::vector<int> cell(900);
        for (size_t k = 0; k < cell.size(); ++k)
            cell[k] = k % 17 == 5 ? -1 : int((rng() % (w / 4)) * 2 + w * ((rng() % (h / 3)) * 3));
        const std::vector<int> before = cell;
        const double inc = 1.0 / 900;
        Img want(w, h, 1, 1, 0.0);
        for (int c : cell)
            if (c >= 0) want[size_t(c)] += inc;
        CellTable plain, placed;
        std::vector<int> unplaced = cell;
        JointCells(w, h, unplaced, inc, false, plain);
        JointCells(w, h, cell, inc, true, placed);
        expectDense(plain, want, "w " + std::to_string(w));
        expectDense(placed, want, "w " + std::to_string(w) + ", placed");
        EXPECT_EQ(unplaced, before);
        for (size_t k = 0; k < cell.size(); ++k) {
            if (before[k] < 0) {
                EXPECT_EQ(cell[k], -1);
                continue;
            }
            ASSERT_GE(cell[k], 0);
            ASSERT_LT(size_t(cell[k]), placed.size());
            const unsigned y = unsigned(before[k]) / w;
            EXPECT_TRUE(size_t(cell[k]) >= placed.row[y] && size_t(cell[k]) < placed.row[y + 1]);
            EXPECT_EQ(placed.x[size_t(cell[k])], unsigned(before[k]) % w);
        }
    }
}

// Marginals, entropy, the derivative weights and the adjoint sums against the dense loops.
TEST(StepCells, TableSumsGiveTheDenseBits)
{
    CellTable P = sparseTable(61, 47, 1, 0.1, 3);
    for (double& v : P.v) v = std::fabs(v) + (&v - P.v.data() == 5 ? std::numeric_limits<double>::infinity() : 0);
    const Img D = denseOf(P);
    const Img pT = SumDim(D, 2), pI = SumDim(D, 1);
    EXPECT_TRUE(SumDim(P, 2) == pT);
    EXPECT_TRUE(SumDim(P, 1) == pI);
    EXPECT_TRUE(sameBits(entropy(P), entropy(D)));
    CellTable L = P, Lb = P;
    ToMiWeights(L, pT, pI);
    ToMiWeights(Lb, Img(), pI);
    expectDense(L, MiWeights(D, pT, pI), "weights");
    expectDense(Lb, MiWeights(D, Img(), pI), "weights without pA");

    const CellTable at = sparseTable(61, 47, 1, 0.05, 4);
    Img A = maskOf(9, 6), B = maskOf(9, 6) * -0.7;
    Img Bnan = B;
    Bnan(2, 3) = std::numeric_limits<double>::quiet_NaN();
    for (const Img* b : {&B, &Bnan}) {
        const Img Ld = denseOf(L);
        std::vector<double> RA, RB;
        AdjointAt(L, A, *b, at, RA, RB);
        ASSERT_EQ(RA.size(), at.size());
        for (unsigned v = 0; v < at.height; ++v)
            for (size_t c = at.row[v]; c < at.row[v + 1]; ++c) {
                const int u = int(at.x[c]);
                double sa = 0, sb = 0;
                cimg_forXY(A, i, j) {
                    const int x = u - A.width() / 2 + i, y = int(v) - A.height() / 2 + j;
                    if (x < 0 || y < 0 || x >= Ld.width() || y >= Ld.height()) continue;
                    sa += A(i, j) * Ld(x, y);
                    sb += (*b)(i, j) * Ld(x, y);
                }
                EXPECT_TRUE(sameBits(RA[c], sa)) << u << "," << v;
                EXPECT_TRUE(sameBits(RB[c], sb)) << u << "," << v;
            }
    }
}
