// tremlo's stages without a host: the refusals with their texts, the decoding of P, the
// measure each operator builds, the evaluation's placement of every output, and the memory
// estimate of the histograms against what the measures allocate (counted by the test
// binary's allocation functions, alloc_count.h).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>

#include "gateway/tremloCall.h"
#include "similarity/CostFnMI.h"
#include "similarity/CostFnMIpv.h"
#include "similarity/CostFnMIpz.h"
#include "similarity/CostFnNC.h"
#include "similarity/CostFnSSD.h"
#include "similarity/area/CostFnMItri.h"
#include "alloc_count.h"
#include "fixtures.h"

namespace {

// The largest memory that blocks allocated while f runs hold at once (alloc_count.h).
template <class F>
double peakOf(F&& f)
{
    alloccount::start();
    f();
    alloccount::stop();
    return alloccount::peak();
}

}  // namespace

using namespace fixtures;

namespace {

// Inputs as the module converts them: T, I, W, P and, without a fifth input, Z = 0.
TremloInputs inputs(const CImg<float>& T, const CImg<float>& I, const CImg<float>& W, const CImg<float>& P,
                    const CImg<float>& Z = CImg<float>(1, 1, 1, 1, 0.f))
{
    TremloInputs in;
    in.T = T;
    in.I = I;
    in.W = W;
    in.P = P;
    in.Z = Z;
    return in;
}

// The scene of the other mutual-information tests: a 40 x 36 reference, a 24 x 20
// template, intensities spread over L levels.
CImg<float> sceneRef(int L)
{
    return image(40, 36, [&](float x, float y) { return std::floor(miSmooth(x, y) * float(L) / 32.f); });
}
CImg<float> sceneTmp(int L)
{
    return image(24, 20, [&](float i, float j) {
        return std::floor((miSmooth(1.05f * i + 12.7f, 0.95f * j + 11.2f) * 0.9f + 0.05f * j + 1.f) * float(L) / 32.f);
    });
}

const double kNoLimit = std::numeric_limits<double>::infinity();

}  // namespace

// ---- parse -----------------------------------------------------------------------------------

TEST(TremloCall, CountsAreCheckedFirst)
{
    const char inputs[] = "4-5 inputs required (T,I,Warp,Param,<Parzen>).";
    const char outputs[] = "1-3 outputs required (Y,D,DD).";
    const struct { int nrhs, nlhs; const char* want; } cases[] = {
        {3, 1, inputs}, {0, 0, inputs}, {6, 2, inputs}, {3, 5, inputs}, {4, 5, outputs},
        {5, 6, outputs}, {4, 0, nullptr}, {4, 4, nullptr}, {5, 1, nullptr}};
    for (const auto& c : cases) {
        const char* got = countRefusal(c.nrhs, c.nlhs);
        EXPECT_EQ(got ? std::string(got) : "", c.want ? std::string(c.want) : "") << c.nrhs << " " << c.nlhs;
    }
}

TEST(TremloCall, ArgumentReportsInTheirOrder)
{
    const std::string empty = "An input has zero dimension or invalid type(struct/array).";
    const std::string codes = "Parameter (4th) input: P(1) to P(4) must be finite integers.";
    const std::string warpType = "Parameter (4th) input: the warp type P(1) must be 2, 3, 4 or 6 (taken modulo 10).";
    const std::string rate = "Sampling rate too low: more than 268435456 samples per warp.";
    const std::string axis = "Sampling rate too low: more than 1048576 samples along a template axis.";
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const CImg<float> T(4, 4, 1, 1, 1.f), I(6, 6, 1, 1, 2.f), W = vec({0, 0}), none;
    const struct {
        CImg<float> T, I, W, P;
        std::string want;
        bool larger;
    } cases[] = {
        {none, I, W, vec({2, 1, 1, 1, 1}), empty, false},
        {T, none, W, vec({2, 1, 1, 1, 1}), empty, false},
        {T, I, none, vec({2, 1, 1, 1, 1}), empty, false},
        {T, I, W, none, empty, false},
        {T, I, W, vec({2, 1, 1, 1}), kTremloParamHelp, false},
        {CImg<float>(9, 4, 1, 1, 1.f), I, W, vec({2, 1, 1, 1}), kTremloParamHelp, false},
        {T, I, W, vec({nan, 1, 1, 1, 1}), codes, false},
        {T, I, W, vec({2, 1, inf, 1, 1}), codes, false},
        {T, I, W, vec({2, 1, 1, -inf, 1}), codes, false},
        {T, I, W, vec({2, 1e10f, 1, 1, 1}), codes, false},
        {T, I, W, vec({2, 2147483648.f, 1, 1, 1}), codes, false},
        {CImg<float>(9, 4, 1, 1, 1.f), I, W, vec({2, nan, 1, 1, 1}), codes, true},
        {T, CImg<float>(6, 3, 1, 1, 2.f), W, vec({5, 1, 1, 1, 1}), warpType, true},
        {T, I, W, vec({0, 1, 1, 1, 1}), warpType, false},
        {T, I, W, vec({0.5f, 1, 1, 1, 1}), warpType, false},
        {T, I, W, vec({10, 1, 1, 1, 1}), warpType, false},
        {T, I, W, vec({-6, 1, 1, 1, 1}), warpType, false},
        {T, I, W, vec({7, 1, 1, 1, 1}), warpType, false},
        {CImg<float>(401, 401), CImg<float>(401, 401), W, vec({2, 1, 1, 1, 1e-5f}), rate, false},
        {CImg<float>(4, 1), CImg<float>(8, 8), W, vec({2, 2, 1, 1, 2e-6f}), axis, false},
        // the rate that operators 5, 6 and 7 ignore, and one below 1e-6, which becomes 1
        {CImg<float>(401, 401), CImg<float>(401, 401), W, vec({2, 5, 1, 1, 1e-5f}), "", false},
        {CImg<float>(401, 401), CImg<float>(401, 401), W, vec({2, 6, 1, 1, 1e-5f}), "", false},
        {CImg<float>(401, 401), CImg<float>(401, 401), W, vec({2, 1, 1, 1, 1e-7f}), "", false},
        {CImg<float>(9, 4, 1, 1, 1.f), I, W, vec({2, 1, 1, 1, 1}), "", true},
    };
    int row = 0;
    for (const auto& c : cases) {
        TremloCall call;
        const Refusal r = parseCall(inputs(c.T, c.I, c.W, c.P), 1, call);
        EXPECT_EQ(r.text, c.want) << "row " << row;
        EXPECT_EQ(r.hostError, nullptr) << "row " << row;
        EXPECT_EQ(call.templateLarger, c.larger) << "row " << row;
        ++row;
    }
}

TEST(TremloCall, CodesDecodeTruncatedAndTheWarpTypeModuloTen)
{
    const CImg<float> T(100, 41, 1, 1, 1.f), I(128, 128, 1, 1, 1.f), W(13, 1, 1, 1, 0.f);
    const struct {
        CImg<float> P;
        int k, op, order, interp;
        float rate;
        unsigned long warps;
        int cols, rows;
    } cases[] = {
        {vec({26, 3, 1, 1, 1}), 6, 3, 1, 1, 1.f, 2, 100, 41},
        {vec({6.9f, -1.5f, 2.7f, 3.2f, 2}), 6, -1, 2, 3, 2.f, 2, 50, 21},
        {vec({-14, 11, 0, 0, 0.3f}), -4, 0, 0, 0, 0, 0, 0, 0},   // refused: k = -4
        {vec({13, 100, 3, 0, 0.3f}), 3, 100, 3, 0, 0.3f, 4, 331, 134},
        {vec({4, 5, 2, 0, 0.3f}), 4, 5, 2, 0, 0.3f, 3, 100, 41},   // operator 5 walks every pixel
        {vec({2, 6, 3, 3, 0.3f}), 2, 6, 3, 1, 1.f, 6, 100, 41},    // operators 6, 7: bilinear, rate 1
        {vec({2, 7, 3, 0, 2}), 2, 7, 1, 1, 1.f, 6, 100, 41},       // operator 7 also order 1
        {vec({2, 1, 1, 1, 1e-7f}), 2, 1, 1, 1, 1e-7f, 6, 100, 41}, // the measure takes 1 for it
        {vec({2, 1, 1, 1, 1, 9, 9}), 2, 1, 1, 1, 1.f, 6, 100, 41},
    };
    for (const auto& c : cases) {
        TremloCall call;
        const Refusal r = parseCall(inputs(T, I, W, c.P), 3, call);
        if (c.k < 0) {
            EXPECT_TRUE(bool(r));
            continue;
        }
        ASSERT_FALSE(bool(r)) << r.text;
        EXPECT_EQ(call.nlhs, 3);
        EXPECT_EQ(call.k, c.k);
        EXPECT_EQ(call.op, c.op);
        EXPECT_EQ(call.order, c.order);
        EXPECT_EQ(call.interp, c.interp);
        EXPECT_EQ(call.rate, c.rate);
        EXPECT_EQ(call.warps, c.warps);
        EXPECT_EQ(call.walkCols, c.cols);
        EXPECT_EQ(call.walkRows, c.rows);
    }
}

// ---- refuse --------------------------------------------------------------------------------

TEST(TremloCall, IntensitiesTheHistogramsCannotBin)
{
    const std::string finite = "T and I must hold finite values for a histogram-based operator.";
    const std::string negative = "T and I must hold non-negative values for a histogram-based operator.";
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    CImg<float> T = sceneTmp(64), I = sceneRef(64);
    auto put = [](CImg<float> img, int at, float v) { img[at] = v; return img; };
    const struct {
        CImg<float> T, I;
        std::string want;
    } cases[] = {
        {put(T, 5, nan), I, finite},  {T, put(I, 0, inf), finite},    {T, put(I, 77, -inf), finite},
        {put(T, 3, -0.5f), I, negative}, {T, put(I, 1439, -3), negative}, {put(T, 479, nan), put(I, 0, -3), finite},
        {put(T, 3, -0.f), I, ""},     {T / 7, I / 7, ""},             {T / 1000, I / 1000, ""},
    };
    for (int op : {3, 4, 5, 6, 7, 0, 8, 12, 100, -1}) {
        int row = 0;
        for (const auto& c : cases) {
            TremloCall call;
            const TremloInputs in = inputs(c.T, c.I, vec({20, 18}), vec({2, float(op), 1, 1, 1}));
            ASSERT_FALSE(bool(parseCall(in, 1, call)));
            const Refusal r = refuseCall(in, call, kNoLimit);
            EXPECT_EQ(r.text, c.want) << "operator " << op << " row " << row;
            EXPECT_EQ(r.hostError, nullptr);
            ++row;
        }
    }
    // the other operators take any values, even no finite one
    for (int op : {1, 2, 11}) {
        TremloCall call;
        const TremloInputs in = inputs(put(T, 5, nan), put(I, 0, -inf), vec({20, 18}), vec({2, float(op), 1, 1, 1}));
        ASSERT_FALSE(bool(parseCall(in, 1, call)));
        EXPECT_FALSE(bool(refuseCall(in, call, 0)));
    }
}

TEST(TremloCall, HistogramRefusalsNameWhatWouldTakeTheMemory)
{
    auto refusal = [](const CImg<float>& T, const CImg<float>& I, const CImg<float>& W, const CImg<float>& P,
                      int nlhs, double budget) {
        TremloCall call;
        const TremloInputs in = inputs(T, I, W, P);
        EXPECT_FALSE(bool(parseCall(in, nlhs, call)));
        return refuseCall(in, call, budget);
    };
    CImg<float> T = sceneTmp(64), I = sceneRef(64);
    const CImg<float> W = vec({20, 18});
    // Beyond a measure's bins: refused whatever the budget, the area measures at fewer bins.
    CImg<float> Tb = T;
    Tb[7] = 16777216.f;
    for (int op : {6, 7}) {
        const Refusal r = refusal(Tb, I, W, vec({2, float(op), 1, 1, 1}), 1, kNoLimit);
        EXPECT_STREQ(r.hostError, "histogramTooLarge");
        EXPECT_EQ(r.text, "Intensities up to 1.67772e+07 need 16777217 bins per histogram axis, more than the "
                          "16777216 that operator " + std::to_string(op) + " takes.");
    }
    EXPECT_FALSE(bool(refusal(Tb, I, W, vec({2, 3, 1, 1, 1}), 1, kNoLimit)));
    Tb[7] = 1e9f;
    EXPECT_EQ(refusal(Tb, I, W, vec({2, 4, 1, 1, 1}), 1, kNoLimit).text,
              "Intensities up to 1e+09 need 1000000001 bins per histogram axis, more than the 67108864 that "
              "operator 4 takes.");

    // Refused exactly when the estimate exceeds the budget: here at some 2e8 samples per
    // warp (a rate of 1 / 700 on this template), value and gradient.
    for (int op : {3, 4, 5, 6}) {
        TremloCall call;
        const TremloInputs in = inputs(T, I, W, vec({2, float(op), 1, 1, 1.f / 700}));
        ASSERT_FALSE(bool(parseCall(in, 2, call)));
        const double need = callHistogramBytes(call, scanIntensities(T), scanIntensities(I), in.Z).total();
        const Refusal r = refuseCall(in, call, need * (1 - 1e-9));
        EXPECT_STREQ(r.hostError, "histogramTooLarge") << op;
        EXPECT_NE(r.text.find("GB that this call needs (intensities up to "), std::string::npos) << r.text;
        EXPECT_FALSE(bool(refuseCall(in, call, need))) << op;
    }
    // The fourth output's dense histograms, one per warp; none for operator 100 (ones).
    T[0] = 4095;
    const CImg<float> W16(2, 16, 1, 1, 19.f);
    Refusal r = refusal(T, I, W16, vec({2, 3, 1, 1, 1}), 4, 1e9);
    EXPECT_EQ(r.text.rfind("The fourth output's 16 joint histograms of 4096 x 4096 bins would take 3.29 GB", 0), 0u);
    EXPECT_FALSE(bool(refusal(T, I, W16, vec({2, 3, 1, 1, 1}), 3, 1e9)));
    EXPECT_FALSE(bool(refusal(T, I, W16, vec({2, 100, 1, 1, 1}), 4, 1e9)));
    // The area measures' rows: as many as the reference's intensities reach.
    CImg<float> Ib = I;
    Ib[0] = 999999;
    r = refusal(T, Ib, W, vec({2, 6, 2, 1, 1}), 1, 1e9);
    EXPECT_EQ(r.text.rfind("The rows of 1000000 bins that the reference's intensities reach would take", 0), 0u);
    EXPECT_FALSE(bool(refusal(Tb.fill(0.f) + 999999.f, I, W, vec({2, 6, 2, 1, 1}), 1, 1e9)));
}

// ---- build, evaluate, outputs ---------------------------------------------------------------

TEST(TremloCall, EachOperatorBuildsItsMeasure)
{
    for (int op : {1, 2, 3, 4, 5, 6, 7, 11, 0, 8, 12, 100, -3}) {
        TremloCall call;
        TremloInputs in = inputs(sceneTmp(32), sceneRef(32), vec({20, 18}), vec({2, float(op), 2, 3, 1}));
        ASSERT_FALSE(bool(parseCall(in, 1, call)));
        const TremloMeasure m = buildMeasure(call, in);
        CCostFn* const f = m.fn.get();
        const bool mi = op != 1 && op != 2 && op != 6 && op != 7 && op != 11;
        EXPECT_EQ(dynamic_cast<CCostFnSSDgn*>(f) != nullptr, op == 1) << op;
        EXPECT_EQ(dynamic_cast<CCostFnNC*>(f) != nullptr, op == 2) << op;
        EXPECT_EQ(dynamic_cast<CCostFnMIpv*>(f) != nullptr, op == 4) << op;
        EXPECT_EQ(dynamic_cast<CCostFnMIpz*>(f) != nullptr, op == 5) << op;
        EXPECT_EQ(dynamic_cast<CCostFnMItrigrid*>(f) != nullptr, op == 7) << op;
        EXPECT_EQ(m.mi, mi ? dynamic_cast<CCostFnMI*>(f) : nullptr) << op;
        EXPECT_EQ(m.tri != nullptr, op == 6 || op == 7) << op;
        EXPECT_EQ(dynamic_cast<CCostFnSSD*>(f) != nullptr && !dynamic_cast<CCostFnSSDgn*>(f), op == 11) << op;
        // the measure has the pixels: nothing is left in the inputs
        EXPECT_TRUE(in.T.is_empty() && in.I.is_empty()) << op;
    }
}

TEST(TremloCall, OperatorSevenRefusesAWarpBeyondItsBoundsBeforeAnyEvaluation)
{
    TremloCall call;
    TremloInputs in = inputs(sceneTmp(32), sceneRef(32), vec({20, 18, 0.3f, 0}), vec({4, 7, 1, 1, 1}));
    ASSERT_FALSE(bool(parseCall(in, 1, call)));
    TremloMeasure m = buildMeasure(call, in);
    EXPECT_FALSE(bool(refuseWarps(m, call, in.W)));
    // a zoom of 3001 spans too many positions, one of 301 cuts into too many pieces; the
    // first warp within the bounds does not matter
    const CImg<float> W(4, 2, 1, 1, 0.f);
    TremloCall two = call;
    two.warps = 2;
    const struct {
        CImg<float> W;
        const char* want;
    } cases[] = {
        {W.get_fill(20, 18, 0.3f, 0, 20, 18, 0.3f, 3000),
         "Warp too large for operator 7: its cells span more than 67108864 reference positions."},
        {W.get_fill(20, 18, 0.3f, 0, 1e6f, 1e6f, 0.3f, 300),
         "Warp too large for operator 7: its cells would be cut into more than 268435456 pieces."},
    };
    for (const auto& c : cases) {
        const Refusal r = refuseWarps(m, two, c.W);
        EXPECT_EQ(r.text, c.want);
        EXPECT_EQ(r.hostError, nullptr);
    }
}

// Every output count: Y, D and DD in their places, the fourth output the joint histogram of
// each warp (a literal count at whole-pixel translations: bin (reference, template)), ones
// for the operators without one, and only the requested slots.
TEST(TremloCall, EvaluationPlacesEveryWarpsResults)
{
    const CImg<float> T = sceneTmp(32), I = sceneRef(32);
    const CImg<float> W = vec({14, 15, 14.5f, 12, 11.5f, 13});   // three warps and no more
    for (int op : {1, 3, 4, 6, 100}) {
        for (int nlhs = 0; nlhs <= 4; ++nlhs) {
            TremloCall call;
            TremloInputs in = inputs(T, I, W, vec({2, float(op), 1, 1, 1}));
            ASSERT_FALSE(bool(parseCall(in, nlhs, call)));
            TremloMeasure m = buildMeasure(call, in);
            const std::vector<CImg<float>> out = tremloOutputs(evaluateWarps(m, call, in.W), nlhs);
            ASSERT_EQ(out.size(), std::size_t(nlhs > 1 ? nlhs : 1));
            EXPECT_TRUE(out[0].width() == 3 && out[0].height() == 1 && out[0].depth() == 1);
            for (int j = 0; j < 3; ++j) {
                CImg<float> p = vec({W[2 * j], W[2 * j + 1]}), g(2, 1, 1, 1, 0.f);
                CImgE<float> H(2, 2, 1, 1, 0.f);
                if (nlhs <= 1) {
                    EXPECT_EQ(out[0][j], m.fn->eval(p)) << op << " " << nlhs << " " << j;
                    continue;
                }
                const float y = nlhs == 2 ? m.fn->evalD(p, g) : m.fn->evalDD(p, g, H);
                EXPECT_EQ(out[0][j], y) << op << " " << nlhs << " " << j;
                EXPECT_TRUE(out[1].width() == 2 && out[1].height() == 3);
                for (int a = 0; a < 2; ++a) EXPECT_EQ(out[1](a, j), g[a]) << op << " " << nlhs << " " << j;
                if (nlhs < 3) continue;
                EXPECT_TRUE(out[2].width() == 2 && out[2].height() == 2 && out[2].depth() == 3);
                for (int a = 0; a < 4; ++a) EXPECT_EQ(out[2](a % 2, a / 2, j), H[a]) << op << " " << j;
                if (nlhs < 4) continue;
                const CImg<float>& hist = out[3];
                if (op == 1 || op == 100) {
                    EXPECT_TRUE(hist.width() == 1 && hist.height() == 1 && hist.depth() == 3 && hist.min() == 1.f);
                    continue;
                }
                const int n = int(intensityBins(std::max(T.max(), I.max())));
                EXPECT_TRUE(hist.width() == n && hist.height() == n && hist.depth() == 3) << op;
            }
            if (nlhs == 4 && op == 3) {
                // the first warp's histogram as a literal count of nearest-pixel pairs at a
                // whole-pixel translation of the template's even-sized grid (centre 11.5, 9.5)
                TremloCall c2;
                TremloInputs whole = inputs(T, I, vec({14.5f, 12.5f}), vec({2, 3, 1, 1, 1}));
                ASSERT_FALSE(bool(parseCall(whole, 4, c2)));
                TremloMeasure m2 = buildMeasure(c2, whole);
                const CImg<float> h = tremloOutputs(evaluateWarps(m2, c2, whole.W), 4)[3];
                const int n = int(intensityBins(std::max(T.max(), I.max())));
                ASSERT_TRUE(h.width() == n && h.height() == n && h.depth() == 1);
                CImg<double> want(n, n, 1, 1, 0.0);
                for (int y = 0; y < T.height(); ++y)
                    for (int x = 0; x < T.width(); ++x) want(int(I(x + 3, y + 3)), int(T(x, y))) += 1.0 / T.size();
                for (int a = 0; a < n * n; ++a) EXPECT_NEAR(h[a], want[a], 1e-6) << a;
            }
        }
    }
}

// The estimate is an upper bound of what the measures allocate as they are built and
// evaluated, for every operator that bins intensities, tables accumulated whole and row by
// row (16 and 256 levels on this template), with and without a window, at every output count.
TEST(TremloCall, HistogramEstimateBoundsWhatTheMeasuresAllocate)
{
    const CImg<float> Z3 = CImg<float>(3, 3, 1, 1, 1.f / 9), none(1, 1, 1, 1, 0.f);
    const struct { int op, order, interp; } measures[] = {
        {3, 1, 1}, {3, 1, 0}, {4, 1, 1}, {4, 3, 0}, {4, 2, 3}, {5, 1, 1}, {5, 3, 3}, {5, 2, 0}, {5, 0, 1},
        {6, 2, 1}, {6, 3, 1}, {7, 1, 1}, {100, 1, 1}};
    for (const auto& c : measures)
        for (int L : {16, 256})
            for (const CImg<float>* Z : {&none, &Z3})
                for (int k : {2, 6})
                    for (int nlhs = 1; nlhs <= 4; ++nlhs) {
                        const CImg<float> W = k == 2 ? vec({14, 15, 13.7f, 15.4f})
                                                     : vec({0.02f, -0.01f, 0.01f, 0.03f, 14, 15, 0, 0, 0, 0, 13.6f, 15.2f});
                        TremloCall call;
                        TremloInputs in = inputs(sceneTmp(L), sceneRef(L), W,
                                                 vec({float(k), float(c.op), float(c.order), float(c.interp), 1}), *Z);
                        ASSERT_FALSE(bool(parseCall(in, nlhs, call)));
                        ASSERT_FALSE(bool(refuseCall(in, call, kNoLimit)));
                        const HistogramBytes b =
                            callHistogramBytes(call, scanIntensities(in.T), scanIntensities(in.I), in.Z);
                        // besides the histograms: the padded template, the walk's tables, the
                        // outputs and the measure itself
                        const double others = 4.0 * (in.T.width() + 3) * (in.T.height() + 3) + 16.0 * 64 * 2 + 16384;
                        const double peak = peakOf([&] {
                            TremloMeasure m = buildMeasure(call, in);
                            tremloOutputs(evaluateWarps(m, call, in.W), nlhs);
                        });
                        EXPECT_LE(peak, b.total() + others)
                            << "operator " << c.op << " order " << c.order << " interp " << c.interp << " L " << L
                            << " window " << Z->size() << " k " << k << " outputs " << nlhs;
                    }
}
