// The binning engine of the mutual-information measures: its strategies against one another
// on the same samples, and the memory estimate against what the evaluations allocate.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "similarity/CostFnMI.h"
#include "similarity/CostFnMInwt.h"
#include "similarity/CostFnMIpv.h"
#include "similarity/CostFnMIpz.h"
#include "alloc_count.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

// The scene of the level tests (smooth, L levels), at a size where the dense table and the
// rows in turn both run: a 56 x 52 reference and a 24 x 20 template.
Img levelsReference(int L)
{
    return image(56, 52, [&](float x, float y) {
        return std::min(std::max(std::floor(miSmooth(x, y) * float(L) / 32.f), 0.f), float(L - 1));
    });
}

Img levelsTemplate(int L)
{
    return padded(24, 20, [&](float i, float j) {
        return (miSmooth(1.05f * i + 12.7f, 0.95f * j + 11.2f) * 0.9f + 0.05f * j + 1.f) * float(L) / 32.f;
    });
}

// A measure whose strategy is forced through denseScan: a dense table (1e30) or rows (0).
template <class M>
struct Forced : M {
    Forced(Img& ref, Img& tmp, int code, const CImg<float>& Z, double scan) : M(ref, tmp, code, Z) { this->denseScan = scan; }
};

enum Kind { kMI, kPV, kPZ, kNewton };
struct Measure {
    Kind kind;
    int order, interp;
    bool parzenD;    // the derivative tables are the Parzen window's too (else plain MI's)
    bool movesD;     // rows gather evalD's gradient sample by sample (without a window)
    bool movesDD;    // and evalDD's (the Newton variant's evalDD takes it from its table)
    const char* name;
};
const Measure kMeasures[] = {
    {kMI, 1, 1, false, true, true, "MI"},        {kPV, 1, 1, false, false, false, "PV 1"},
    {kPV, 3, 3, false, false, false, "PV 3"},    {kPV, 0, 0, false, false, false, "PV 0 nearest"},
    {kPZ, 1, 1, true, false, false, "PZ 1"},     {kPZ, 3, 3, true, false, false, "PZ 3"},
    {kPZ, 2, 0, false, true, true, "PZ 2 nearest"}, {kNewton, 1, 1, false, true, false, "Newton"},
};

std::unique_ptr<CCostFnMI> build(const Measure& m, Img& ref, Img& tmp, int code, const CImg<float>& Z, double scan)
{
    std::unique_ptr<CCostFnMI> f;
    switch (m.kind) {
    case kMI: f.reset(new Forced<CCostFnMI>(ref, tmp, code, Z, scan)); break;
    case kPV: f.reset(new Forced<CCostFnMIpv>(ref, tmp, code, Z, scan)); break;
    case kPZ: f.reset(new Forced<CCostFnMIpz>(ref, tmp, code, Z, scan)); break;
    case kNewton: f.reset(new Forced<CCostFnMInwt>(ref, tmp, code, Z, scan)); break;
    }
    f->setInterpAndOrder(m.interp, m.order, true);
    f->setSampleRate(1.f);
    return f;
}

struct Result {
    float value, valueD, valueDD;
    CImg<float> g, gD, H, hist;
};

Result evaluate(CCostFnMI& f, const CImg<float>& p, int np)
{
    Result r;
    r.g.assign(np, 1, 1, 1, 0.f);
    r.gD.assign(np, 1, 1, 1, 0.f);
    CImgE<float> H(np, np, 1, 1, 0.f);
    r.valueDD = f.evalDD(p, r.g, H);
    r.H = H;
    r.valueD = f.evalD(p, r.gD);
    r.value = f.eval(p);
    r.hist = f.getJointHist();
    return r;
}

void expectClose(const CImg<float>& a, const CImg<float>& b, double rel, const char* what)
{
    ASSERT_TRUE(a.is_sameXYZC(b)) << what;
    const double scale = std::max(maxAbs(a), maxAbs(b));
    for (unsigned k = 0; k < a.size(); ++k) EXPECT_NEAR(a[k], b[k], rel * scale) << what << " " << k;
}

CImg<float> window()
{
    CImg<float> Z(3, 3, 1, 1, 0.05f);
    Z(1, 1) = 0.5f;
    Z(2, 0) = 0.15f;
    return Z;
}

}  // namespace

// The same samples binned at once into a dense table and row by row. Every cell receives the
// same terms in the same order either way (the samples of one template row, in visiting
// order) except in the Parzen window's tables, whose samples reach several rows and are
// visited by their window's base row when binned row by row: so the tables, and what is
// summed from them in their scan order (value, histogram, second-order matrix, a gradient
// taken from the table), are bit for bit the same, the Parzen window's only to float
// rounding. Where samples move weight to the next bin, rows without a window gather the
// gradient sample by sample: another order of the same sums, equal to rounding. evalD's
// gradient is evalDD's, bit for bit, where both take it the same way.
TEST(MIEngine, StrategiesGiveTheSameTablesAndSums)
{
    const int L = 256;
    Img ref = levelsReference(L), tmp = levelsTemplate(L);
    for (int code : {6, 3})
        for (const CImg<float>& Z : {CImg<float>(), window()})
            for (const Measure& m : kMeasures) {
                SCOPED_TRACE(testing::Message() << m.name << ", code " << code << ", window " << Z.size());
                auto dense = build(m, ref, tmp, code, Z, 1e30);
                auto rows = build(m, ref, tmp, code, Z, 0.0);
                const CImg<float> p = miWarpFor(code);
                const Result a = evaluate(*dense, p, code), b = evaluate(*rows, p, code);
                const bool plain = Z.size() <= 1;
                EXPECT_TRUE(a.gD == a.g);
                EXPECT_EQ(a.valueD, a.valueDD);
                EXPECT_EQ(b.valueD, b.valueDD);
                if (m.movesD == m.movesDD || !plain) EXPECT_TRUE(b.gD == b.g) << "evalD's gradient is evalDD's";
                else expectClose(b.gD, b.g, 1e-4, "evalD's gradient, by sample");
                // the value's table
                if (m.kind != kPZ) {
                    EXPECT_EQ(a.value, b.value);
                    EXPECT_TRUE(a.hist == b.hist);
                } else {
                    EXPECT_NEAR(a.value, b.value, 1e-5 * std::fabs(a.value));
                    expectClose(a.hist, b.hist, 1e-6, "histogram");
                }
                // the derivative tables
                if (!m.parzenD) {
                    EXPECT_EQ(a.valueDD, b.valueDD);
                    EXPECT_TRUE(a.H == b.H);
                } else {
                    EXPECT_NEAR(a.valueDD, b.valueDD, 1e-5 * std::fabs(a.valueDD));
                    expectClose(a.H, b.H, 1e-4, "second-order matrix");
                }
                if (!m.parzenD && !(m.movesDD && plain)) EXPECT_TRUE(a.g == b.g);
                else expectClose(a.g, b.g, 1e-4, "gradient");
                if (!m.parzenD && !(m.movesD && plain)) EXPECT_TRUE(a.gD == b.gD);
                else expectClose(a.gD, b.gD, 1e-4, "evalD's gradient");
                EXPECT_GT(maxAbs(a.g), 1e-4);
            }
}

// What a call's evaluations allocate, counted block by block as tremlo makes them (the measure
// over images it takes, configured, then every warp with the evaluation of the output count,
// and with four outputs eval and getJointHist as well): never more than evalBytes says, and
// not far less (the estimate bounds every array by the most cells the samples could reach).
TEST(MIEngine, EvalBytesBoundsWhatTheEvaluationsAllocate)
{
    struct Case {
        CCostFnMI::Kind kind;
        int order, interp, levels, outputs, window;
    };
    using K = CCostFnMI::Kind;
    const std::vector<Case> cases = {
        {K::kPlain, 1, 1, 64, 1, 1},          {K::kPlain, 1, 1, 64, 3, 1},          {K::kPlain, 1, 1, 1024, 1, 1},
        {K::kPlain, 1, 1, 1024, 2, 1},        {K::kPlain, 1, 1, 1024, 3, 1},        {K::kPlain, 1, 1, 1024, 4, 1},
        {K::kPlain, 1, 1, 1024, 3, 9},        {K::kPartialVolume, 1, 1, 64, 2, 1},  {K::kPartialVolume, 1, 1, 1024, 1, 1},
        {K::kPartialVolume, 1, 1, 1024, 3, 1}, {K::kPartialVolume, 3, 1, 1024, 2, 1}, {K::kPartialVolume, 1, 0, 1024, 3, 1},
        {K::kPartialVolume, 1, 1, 256, 2, 25}, {K::kParzen, 3, 1, 64, 2, 1},        {K::kParzen, 3, 1, 1024, 1, 1},
        {K::kParzen, 3, 1, 1024, 4, 1},       {K::kParzen, 1, 0, 1024, 3, 1},       {K::kParzen, 0, 3, 4096, 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << int(c.kind) << " order " << c.order << " interp " << c.interp
                                        << ", " << c.levels << " levels, " << c.outputs << " outputs, window " << c.window);
        // the scene of the benchmarks: a smooth 256 x 256 reference, a 128 x 128 template cut from it
        const int L = c.levels;
        Img ref = image(256, 256, [&](float x, float y) {
            const double v = 31.5 + 13 * std::sin(x / 5.9) * std::cos(y / 8.4) + 10 * std::sin((x + y) / 3.7);
            return std::min(std::max(std::floor(v * L / 64), 0.0), L - 1.0);
        });
        Img tmp = padded(128, 128, [&](float i, float j) { return ref(int(i) + 64, int(j) + 64); });
        ref.handOver = tmp.handOver = true;
        const int z = c.window == 9 ? 3 : c.window == 25 ? 5 : 1;
        const CImg<float> Z(z, z, 1, 1, 1.f / float(z * z));
        const CImg<float> p = vec({0.01f, -0.005f, 0.004f, -0.008f, 127.8f, 127.3f});
        alloccount::start();
        double samples = 0;
        int bins = 0;
        {
            std::unique_ptr<CCostFnMI> f;
            if (c.kind == K::kPartialVolume) f.reset(new CCostFnMIpv(ref, tmp, 6, Z));
            else if (c.kind == K::kParzen) f.reset(new CCostFnMIpz(ref, tmp, 6, Z));
            else f.reset(new CCostFnMI(ref, tmp, 6, Z));
            f->setInterpAndOrder(c.interp, c.order, true);
            f->setSampleRate(1.f);
            CImg<float> g(6, 1, 1, 1, 0.f);
            CImgE<float> H(6, 6, 1, 1, 0.f);
            for (int w = 0; w < 3; ++w) {
                CImg<float> q(p);
                q[4] += 0.7f * float(w);
                q[5] -= 0.4f * float(w);
                if (c.outputs <= 1) f->eval(q);
                else if (c.outputs == 2) f->evalD(q, g);
                else f->evalDD(q, g, H);
                if (c.outputs == 4) {
                    f->eval(q);
                    const CImg<float> h = f->getJointHist();
                    EXPECT_EQ(h.width(), f->bins());
                }
            }
            samples = f->nSamples;
            bins = f->bins();
        }
        alloccount::stop();
        EXPECT_EQ(alloccount::live(), 0.0) << "every block given back";
        ASSERT_EQ(samples, 128.0 * 128.0);
        EXPECT_GT(bins, 0.8 * L);
        const double est = CCostFnMI::evalBytes(c.kind, bins, 6, 128, 128, c.order, c.interp, c.window, c.outputs);
        const double peak = alloccount::peak();
        EXPECT_GE(est, peak);
        if (c.window == 1) {
            EXPECT_LE(est, 2.0 * peak + 256e3);
        }
    }
}
