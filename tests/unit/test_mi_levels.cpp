// The histogram measures at the intensity ranges of real images (256 and 1024 levels): the
// cells binned row by row against the dense table, values, gradients, second-order matrices
// and joint histograms against the defining sums over the dense tables (smoothed by the
// library's convolution), and evaluations in a row against fresh objects.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "similarity/CostFnMI.h"
#include "similarity/CostFnMInwt.h"
#include "similarity/CostFnMIpv.h"
#include "similarity/CostFnMIpz.h"
#include "similarity/smooth.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

// The smooth scene of the other mutual-information tests, its intensities spread over L
// levels: a 56 x 52 reference and a 24 x 20 template.
Img levelsReference(int L)
{
    return image(56, 52, [&](float x, float y) {
        return std::min(std::max(std::floor(miSmooth(x, y) * float(L) / 32.f), 0.f), float(L - 1));
    });
}

Img levelsTemplate(int L)
{
    return padded(24, 20, [&](float i, float j) {
        const float v = miSmooth(1.05f * i + 12.7f, 0.95f * j + 11.2f) * 0.9f + 0.05f * j + 1.f;
        return v * float(L) / 32.f;
    });
}

// Sets where the cells are accumulated: a dense table (a large denseScan) or rows in turn (0).
template <class M>
struct Probe : M {
    using M::M;
    using M::denseScan;
};

enum Kind { kMI, kPV, kPZ, kNewton };
struct Measure {
    Kind kind;
    int order, interp, code;
    const char* name;
};
// Operator 3, partial volume of orders 1 and 3 (and nearest-neighbour interpolation, which
// averages), Parzen window of orders 1 and 3, the Newton variant.
const Measure kMeasures[] = {{kMI, 1, 1, 6, "MI"},          {kPV, 1, 1, 6, "PV 1"},   {kPV, 3, 1, 6, "PV 3"},
                             {kPV, 1, 0, 6, "PV 1 nearest"}, {kPZ, 1, 1, 6, "PZ 1"},   {kPZ, 3, 3, 6, "PZ 3"},
                             {kNewton, 1, 3, 3, "Newton"}};

template <class M>
CCostFnMI* make(Img& ref, Img& tmp, int code, const CImg<float>& Z, double denseScan)
{
    Probe<M>* f = new Probe<M>(ref, tmp, code, Z);
    if (denseScan >= 0) f->denseScan = denseScan;
    return f;
}

// denseScan < 0: the measure's own choice.
std::unique_ptr<CCostFnMI> build(const Measure& m, Img& ref, Img& tmp, const CImg<float>& Z, double denseScan = -1)
{
    std::unique_ptr<CCostFnMI> f;
    switch (m.kind) {
    case kMI: f.reset(make<CCostFnMI>(ref, tmp, m.code, Z, denseScan)); break;
    case kPV: f.reset(make<CCostFnMIpv>(ref, tmp, m.code, Z, denseScan)); break;
    case kPZ: f.reset(make<CCostFnMIpz>(ref, tmp, m.code, Z, denseScan)); break;
    case kNewton: f.reset(make<CCostFnMInwt>(ref, tmp, m.code, Z, denseScan)); break;
    }
    f->setInterpAndOrder(m.interp, m.order, true);
    f->setSampleRate(1.f);
    return f;
}

bool averages(const Measure& m) { return m.kind == kMI || m.kind == kNewton || m.interp == 0; }

CImg<float> warpFor(int code) { return miWarpFor(code); }

// The dense tables of the measure at p: pdf, first derivatives, second derivatives (Newton).
void denseTables(const Measure& m, CCostFnMI& f, const CImg<float>& p, CImg<float>& P, CImg<float>& D, CImg<float>& D2)
{
    if (m.kind == kNewton)
        static_cast<CCostFnMInwt&>(f).DDPdfJnt(p, P, D, D2);
    else
        f.DPdfJnt(p, P, D);
}

struct Sums {
    double value;
    std::vector<double> g, H;
};

// The defining sums over dense tables, in double: -MI of P; with `average` the pdf A
// averaged along the reference axis (else A = P) and M its column sums; then
//   g_k = -sum_{A != 0} (ln(A / M_x) + 1) D_k,
//   H_ab = sum_{A != 0} D_a D_b (1 / A - 1 / M_x) [+ (ln(A / M_x) + 1) D2_ab].
Sums denseSums(const CImg<float>& P, const CImg<float>& D, const CImg<float>& D2, bool average, int np)
{
    const int n = P.width();
    auto plogp = [](double v) { return v > 0 ? v * std::log(v) : 0.0; };
    std::vector<double> mr(n, 0.0), mt(n, 0.0), M(n, 0.0);
    Sums s{0, std::vector<double>(np, 0.0), std::vector<double>(np * np, 0.0)};
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            s.value -= plogp(P(x, y));
            mr[x] += P(x, y);
            mt[y] += P(x, y);
        }
    for (int k = 0; k < n; ++k) s.value += plogp(mr[k]) + plogp(mt[k]);
    CImg<double> A(n, n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            A(x, y) = average ? 0.5 * (double(P(x, y)) + (x ? P(x - 1, y) : 0.0)) : P(x, y);
            M[x] += A(x, y);
        }
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            if (A(x, y) == 0) continue;
            const double F = std::log(A(x, y) / M[x]) + 1;
            for (int a = 0; a < np; ++a) {
                s.g[a] -= F * D(x, y, a);
                for (int b = 0; b < np; ++b) {
                    double h = double(D(x, y, a)) * D(x, y, b) * (1 / A(x, y) - 1 / M[x]);
                    if (!D2.is_empty()) h += F * D2(x, y, a, b);
                    s.H[b + np * a] += h;
                }
            }
        }
    return s;
}

double maxAbs(const std::vector<double>& v)
{
    double m = 0;
    for (double e : v) m = std::max(m, std::fabs(e));
    return m;
}

void expectSameImage(const CImg<float>& a, const CImg<float>& b, double tol, const char* what)
{
    ASSERT_TRUE(a.is_sameXYZC(b)) << what;
    double scale = 0, worst = 0;
    for (unsigned long k = 0; k < a.size(); ++k) {
        scale = std::max(scale, std::fabs(double(b[k])));
        worst = std::max(worst, std::fabs(double(a[k]) - b[k]));
    }
    EXPECT_LE(worst, tol * scale) << what;
}

CImg<float> window()
{
    CImg<float> Z(3, 3, 1, 1, 0.05f);
    Z(1, 1) = 0.5f;
    Z(2, 0) = 0.15f;   // not symmetric: the orientation of the convolution counts
    return Z;
}

}  // namespace

// The rows binned in turn give the cells of the dense table: term for term (the same
// additions in the same order) except for the Parzen window, whose samples reach each bin
// grouped by their template bin (float rounding).
TEST(MutualInfoLevels, RowBinningGivesTheDenseTable)
{
    for (int L : {256, 1024}) {
        Img ref = levelsReference(L), tmp = levelsTemplate(L);
        for (const Measure& m : kMeasures) {
            SCOPED_TRACE(testing::Message() << m.name << ", " << L << " levels");
            auto dense = build(m, ref, tmp, CImg<float>(), 1e30);
            auto rows = build(m, ref, tmp, CImg<float>(), 0);
            const CImg<float> p = warpFor(m.code);
            CImg<float> P0, D0, E0, P1, D1, E1;
            denseTables(m, *dense, p, P0, D0, E0);
            denseTables(m, *rows, p, P1, D1, E1);
            ASSERT_GT(P0.width(), 0.8 * L);   // the scene spans most of the levels
            const double tol = m.kind == kPZ ? 1e-6 : 0.0;
            expectSameImage(P1, P0, tol, "pdf");
            expectSameImage(D1, D0, tol, "first derivatives");
            expectSameImage(E1, E0, tol, "second derivatives");
            EXPECT_GT(P0.max(), 0.f);
        }
    }
}

// evalDD, evalD and the fourth output (eval, then getJointHist) against the sums over the
// dense tables, with and without a window Z (the tables smoothed by smoothTable).
TEST(MutualInfoLevels, ValuesGradientsHessiansAndHistogramsMatchDenseSums)
{
    for (int L : {256, 1024})
        for (const CImg<float>& Z : {CImg<float>(), window()}) {
            Img ref = levelsReference(L), tmp = levelsTemplate(L);
            for (const Measure& m : kMeasures) {
                SCOPED_TRACE(testing::Message() << m.name << ", " << L << " levels, window " << Z.size());
                auto f = build(m, ref, tmp, Z);
                const CImg<float> p = warpFor(m.code);
                const int np = m.code;
                CImg<float> P, D, D2;
                denseTables(m, *f, p, P, D, D2);
                if (Z.size() > 1) {
                    P = smoothTable(P, Z);
                    D = smoothTable(D, Z);
                    if (!D2.is_empty()) D2 = smoothTable(D2, Z);
                }
                const Sums want = denseSums(P, D, D2, averages(m), np);

                CImg<float> g(np);
                CImgE<float> H(np, np);
                const float v = f->evalDD(p, g, H);
                EXPECT_NEAR(v, want.value, 2e-5 * (1 + std::fabs(want.value)));
                const double gs = maxAbs(want.g), hs = maxAbs(want.H);
                EXPECT_GT(gs, 1e-4);
                for (int k = 0; k < np; ++k) EXPECT_NEAR(g[k], want.g[k], 2e-4 * gs) << "g " << k;
                for (int k = 0; k < np * np; ++k) EXPECT_NEAR(H[k], want.H[k], 2e-4 * hs) << "H " << k;

                // evalD's gradient: taken sample by sample where the rows are binned in turn
                CImg<float> g1(np);
                EXPECT_EQ(f->evalD(p, g1), v);
                for (int k = 0; k < np; ++k) EXPECT_NEAR(g1[k], want.g[k], 2e-4 * gs) << "evalD g " << k;

                EXPECT_EQ(f->eval(p), v);
                expectSameImage(f->getJointHist(), P, 0.0, "joint histogram");
            }
        }
}

// An evaluation leaves nothing behind for the next: evaluations in a row, at other warps
// and with other outputs, give what fresh objects give.
TEST(MutualInfoLevels, EvaluationsInARowEqualFreshObjects)
{
    for (int L : {64, 1024})
        for (const CImg<float>& Z : {CImg<float>(), window()}) {
            Img ref = levelsReference(L), tmp = levelsTemplate(L);
            for (const Measure& m : kMeasures) {
                SCOPED_TRACE(testing::Message() << m.name << ", " << L << " levels, window " << Z.size());
                const int np = m.code;
                const CImg<float> p0 = warpFor(m.code);
                std::vector<CImg<float>> warps;
                for (int k = 0; k < 4; ++k) {
                    CImg<float> p(p0);
                    p[0] += 0.7f * k;   // the samples land in other bins
                    p[np - 1] -= 0.4f * k;
                    warps.push_back(p);
                }
                auto f = build(m, ref, tmp, Z);
                for (int k = 0; k < 4; ++k) {
                    auto fresh = build(m, ref, tmp, Z);
                    const CImg<float>& p = warps[k];
                    CImg<float> g(np), g0(np);
                    CImgE<float> H(np, np), H0(np, np);
                    if (k % 2 == 0) {
                        EXPECT_EQ(f->evalDD(p, g, H), fresh->evalDD(p, g0, H0));
                        for (int e = 0; e < np * np; ++e) EXPECT_EQ(H[e], H0[e]);
                    } else {
                        EXPECT_EQ(f->evalD(p, g), fresh->evalD(p, g0));
                    }
                    for (int e = 0; e < np; ++e) EXPECT_EQ(g[e], g0[e]);
                    EXPECT_EQ(f->eval(p), fresh->eval(p));
                    EXPECT_TRUE(f->getJointHist() == fresh->getJointHist());
                }
            }
        }
}
