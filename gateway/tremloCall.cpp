#include "gateway/tremloCall.h"

#include <algorithm>
#include <cmath>

#include "similarity/CImgI.h"
#include "similarity/CostFnMI.h"
#include "similarity/CostFnMIpv.h"
#include "similarity/CostFnMIpz.h"
#include "similarity/CostFnNC.h"
#include "similarity/CostFnSSD.h"
#include "similarity/area/CostFnMItri.h"

const char kTremloUsage[] =
    "\nUsage: [Y,D,DD] = tremlo(T,I,W,P,<Z>)\n\n"
    "Synopsis:\n"
    "  Selectively measures the similarity values when projecting template T onto\n"
    "  image Y using the warps W.  This is done using a choice a standard\n"
    "  similarity measures, specified using P. For MI metrics Z is used as a\n"
    "  post-parzen window.\n"
    "Inputs:\n"
    "  T - 2D Template image \n"
    "  I - 2D Reference image \n"
    "  W - Warps for which the similarity must be evaluated. \n"
    "  P - 5 value vector specifying, warp method(2-4/6), similarity  \n"
    "      function(1-5), order of similarity fn(0-3), \n"
    "      interpolation method(0/1/3) and spatial resolution (1).\n"
    "  Z - Optional. Applies a Parzen window to histogram before computing MI.\n"
    "Outputs:\n"
    "  Y  - Value of similarity function at warp positions.\n"
    "  D  - Jacobian of similarity function at warp positions. (optional)\n"
    "  DD - Hessian of similarity function at warp positions. (optional).";

const char kTremloParamHelp[] =
    "\nParameter (4th) input has 5 elements, namely: \n"
    " (1) Transformation Method:\n"
    "   2 => Translation (default) (2DoF: [x,y])\n"
    "   3 => Euclidean transform (3Dof: [x,y,t])\n"
    "   4 => Similarity transform (3Dof: [x,y,t,s])\n"
    "   6 => Affine transform (6Dof: [a,b,c,d,x,y])\n"
    " (2) Operator:\n"
    "   1 => Sum of Squared Differences\n"
    "   2 => Normalised Correlation\n"
    "   3 => Mutual Information (default)\n"
    "   4 => Mutual Information using PVE\n"
    "   5 => Mutual Information using Parzen Window\n"
    " (3) Order of spline interpolation (for PVE and Parzen only)\n"
    "   0 => Zeroth order\n"
    "   1 => Linear (default)\n"
    "   2 => Quadratic\n"
    "   3 => Cubic\n"
    " (4) Interpolation Method:\n"
    "   0 => Nearest Neighbour\n"
    "   1 => BiLinear (default)\n"
    "   3 => BiCubic\n"
    " (5) Sampling Rate in pixels (Advice: Set to 1)";

const char kTremloWarning[] = "tremlo Warning - Tmp bigger then Ref Image.";

namespace {

// A code of P (truncated toward zero later) that can stand as a 32-bit integer.
bool usableCode(double v)
{
    return std::isfinite(v) && std::fabs(v) < 2147483648.0;
}

Refusal report(const char* text)
{
    Refusal r;
    r.text = text;
    return r;
}

Refusal hostError(std::string text)
{
    Refusal r;
    r.text = std::move(text);
    r.hostError = "histogramTooLarge";
    return r;
}

}  // namespace

// ---- parse ---------------------------------------------------------------------------------

const char* countRefusal(int nrhs, int nlhs)
{
    if (nrhs != 4 && nrhs != 5) return "4-5 inputs required (T,I,Warp,Param,<Parzen>).";
    if (nlhs > 4) return "1-3 outputs required (Y,D,DD).";
    return nullptr;
}

Refusal parseCall(const TremloInputs& in, int nlhs, TremloCall& call)
{
    call = TremloCall();
    call.nlhs = nlhs;
    const CImg<float>& P = in.P;
    if (in.T.is_empty() || in.I.is_empty() || in.W.is_empty() || P.is_empty())
        return report("An input has zero dimension or invalid type(struct/array).");
    if (P.size() < 5) return report(kTremloParamHelp);
    call.templateLarger = in.T.width() > in.I.width() || in.T.height() > in.I.height();

    // The codes truncated toward zero, the warp type as the remainder by 10.
    if (!usableCode(P[0]) || !usableCode(P[1]) || !usableCode(P[2]) || !usableCode(P[3]))
        return report("Parameter (4th) input: P(1) to P(4) must be finite integers.");
    const int k = int(std::fmod(std::trunc(double(P[0])), 10.0));
    if (k != 2 && k != 3 && k != 4 && k != 6)
        return report("Parameter (4th) input: the warp type P(1) must be 2, 3, 4 or 6 (taken modulo 10).");
    call.k = k;
    call.op = int(P[1]);
    call.order = int(P[2]);
    call.interp = int(P[3]);
    call.rate = P[4];
    call.warps = (unsigned long)(in.W.size() / (unsigned long)k);
    const int op = call.op;

    // A rate far below a pixel would keep the call busy for minutes or more, uninterruptibly,
    // or, on a thin template, size the walk's per-column or per-row buffers beyond memory.
    // The rate the measure takes: 1 for operators 5, 6 and 7, and in place of one below 1e-6.
    const float walkRate = (op == 5 || op == 6 || op == 7 || call.rate < 1e-6f) ? 1.f : call.rate;
    CCostFn::walkCounts(walkRate, in.T.width(), in.T.height(), call.walkCols, call.walkRows);
    if (const char* why = CCostFn::walkRefusal(call.walkCols, call.walkRows, in.T.width(), in.T.height()))
        return report(why);

    // The area measures sample bilinearly at every pixel; operator 7 cuts each cell along
    // one diagonal whatever the order.
    if (areaMeasure(op)) {
        call.interp = 1;
        call.rate = 1.f;
        if (op == 7) call.order = 1;
    }
    return Refusal();
}

// ---- refuse --------------------------------------------------------------------------------

HistogramBytes miEvaluationBytes(const TremloCall& call, double n, const CImg<float>& Z)
{
    // The sizes as CCostFnMI and its variants choose them: per evaluation the cells of the
    // bins that samples reach (reserved for the most they can reach), accumulated in a dense
    // table while it costs at most two values per sample, else in rows filled in turn from
    // per-sample records grouped by template bin. The vectors that grow (by doubling, from
    // one warp to the next) count three times their largest content: the new capacity and
    // the old one while it is copied.
    const double N = call.samples(), n2 = n * n;
    const int op = call.op, np = call.k;
    const bool pv = op == 4, pz = op == 5, base = !pv && !pz;
    const bool smoothing = Z.size() > 1;
    const double window = double(Z.width()) * double(Z.height());
    const int nTaps = call.order > 3 ? 2 : call.order + 1;
    const int pzTaps = nTaps >= 1 && nTaps <= 3 ? nTaps : 4;
    const int pvTaps = call.order == 0 ? 1 : call.order == 2 ? 9 : call.order == 3 ? 16 : 4;
    const double taps = pv ? pvTaps : pz ? double(pzTaps) * pzTaps : 1;
    const bool averages = base || call.interp == 0;
    const bool value = call.nlhs <= 1 || (call.nlhs == 4 && op != 100);
    const bool gradient = call.nlhs >= 2, hessian = call.nlhs >= 3;
    auto dense = [&](double slots) { return n2 * (slots + 1.0) <= 2.0 * N; };
    auto slotsOf = [&](int k) { return double(k == 2 || k == 3 || k == 4 || k == 6 ? (k < 4 ? 4 : 8) : 1 + k); };

    HistogramBytes b;
    // margRef, margTmp, the column logarithms, the averaged column sums, the rows' starts,
    // the groups' bounds, the columns' steps of the gradient by sample, the rows' cells held
    b.bins = n * (4 + 4 + 8 + 4 + 8 + 8 + 8 + 8) + 128;
    double cellBytes = 0, perCell = 0, records = 0, acc = 0;
    bool counted = false;
    auto config = [&](double slots, double planes, double reach, double rows, double recordFloats, bool countsCells,
                      bool bySample) {
        const double m = std::min(n2, N * reach);
        cellBytes = std::max(cellBytes, m * (16.0 + 4.0 * planes));
        perCell = std::max(perCell, m);
        if (dense(slots) && !bySample) {
            acc += n2 * 4.0 * (slots + 1.0);
        } else {
            acc += rows * n * (4.0 * slots + 5.0) + 64;
            records = std::max(records, N * (4.0 + 4.0 * recordFloats) + (bySample ? 8.0 * N + 24.0 * (N + 1) : 0.0));
        }
        counted = counted || countsCells;
    };
    // the base's derivative binning: bin and gradient per sample, or the derivative cells
    auto baseDerivatives = [&]() {
        const bool bySample = !smoothing && np > 0 && !dense(1.0 + np);
        if (bySample) config(hessian ? 1.0 + np : 1.0, hessian ? np : 0, hessian ? 2 : 1, 1, 1 + np, true, true);
        else config(1.0 + np, np, 2, 1, 1 + np, true, false);
    };
    if (value) {
        if (base) config(1, 0, 1, 1, 1, true, false);
        else config(1, 0, taps, pz ? 4 : 1, pv ? 4 : 2, false, false);
    }
    if (gradient) {
        if (base || (pz && call.interp == 0)) baseDerivatives();
        else config(slotsOf(np), np, taps, pz ? 4 : 1, pv ? 4 : 6, false, false);
    }
    // per cell: the logarithms of the pdf, the averaged pdf, the gradient's factors
    const double perCellBytes =
        3.0 * ((counted && !smoothing ? 0.0 : 8.0) + (averages && gradient ? 4.0 : 0.0) + (gradient ? 8.0 : 0.0));
    double cells = cellBytes + perCell * perCellBytes;
    if (smoothing) {
        // the smoothed cells, grown as they come, and their rows
        const double mZ = std::min(n2, perCell * window), planes = gradient ? np : 0;
        cells += 3.0 * mZ * (16.0 + 4.0 * planes) + mZ * perCellBytes;
        acc += n * (4.0 * (planes + 1.0) + 5.0) + 64;
    }
    // the values e ln e of the counts of a cell, up to the most samples a cell can hold
    if (counted && !smoothing) records += 24.0 * (N + 1);
    b.cells = cells + acc;
    b.records = records;
    return b;
}

HistogramBytes callHistogramBytes(const TremloCall& call, const IntensityRange& tmp, const IntensityRange& ref,
                                  const CImg<float>& Z)
{
    const double n = intensityBins(std::max(tmp.hi, ref.hi));
    HistogramBytes b;
    if (areaMeasure(call.op))
        b = CCostFnMItri::evaluationBytes(n, std::floor(ref.hi) - std::floor(ref.lo) + 1);
    else {
        b = miEvaluationBytes(call, n, Z);
        // The measure's own statement of what its evaluations allocate bounds the parts.
        const CCostFnMI::Kind kind = call.op == 4 ? CCostFnMI::Kind::kPartialVolume
                                     : call.op == 5 ? CCostFnMI::Kind::kParzen
                                                    : CCostFnMI::Kind::kPlain;
        const double own = CCostFnMI::evalBytes(kind, n, call.k, call.walkCols, call.walkRows, call.order, call.interp,
                                                double(Z.size()), call.op == 100 ? std::min(call.nlhs, 3) : call.nlhs);
        if (own > b.total()) b.cells += own - b.total();
    }
    // The fourth output: one dense histogram per warp, the one of the current warp, the
    // output array in double.
    if (call.nlhs == 4 && call.op != 100) b.dense = n * n * (4.0 + double(call.warps) * (4.0 + 8.0));
    return b;
}

Refusal refuseCall(const TremloInputs& in, const TremloCall& call, double budget)
{
    if (!binsIntensities(call.op)) return Refusal();
    // Intensities are the histograms' bin numbers.
    const IntensityRange t = scanIntensities(in.T), r = scanIntensities(in.I);
    if (!t.finite || !r.finite) return report("T and I must hold finite values for a histogram-based operator.");
    if (t.lo < 0 || r.lo < 0) return report("T and I must hold non-negative values for a histogram-based operator.");
    const double largest = std::max(t.hi, r.hi), bins = intensityBins(largest);
    const double cap = areaMeasure(call.op) ? BinCaps::kAreaBins : BinCaps::kPointBins;
    if (bins > cap) return hostError(binCapRefusal(largest, bins, cap, call.op));
    HistogramCall what;
    what.largest = largest;
    what.bins = bins;
    what.samples = call.samples();
    what.denseTables = call.warps;
    what.area = areaMeasure(call.op);
    const std::string why = histogramRefusal(callHistogramBytes(call, t, r, in.Z), what, budget);
    if (!why.empty()) return hostError(why);
    return Refusal();
}

// ---- build ---------------------------------------------------------------------------------

TremloMeasure buildMeasure(const TremloCall& call, TremloInputs& in)
{
    // Reference (the converted I itself) and the padded template; nothing reads them after
    // the measure is built, so it takes their pixels instead of copying them.
    CImgI<float> ref;
    ref.swap(in.I);
    ref.setLast();
    CImgI<float> tmp(in.T.width() + 3, in.T.height() + 3, 1, 1, 0.f);
    tmp.draw_image(1, 1, 0, 0, in.T, 1.f);
    tmp.setLast();
    in.T.assign();
    ref.handOver = tmp.handOver = true;

    const int k = call.k;
    const CImg<float>& Z = in.Z;
    TremloMeasure m;
    switch (call.op) {
    case 1: m.fn.reset(new CCostFnSSDgn(ref, tmp, k)); break;
    case 2: m.fn.reset(new CCostFnNC(ref, tmp, k)); break;
    case 4: m.fn.reset(m.mi = new CCostFnMIpv(ref, tmp, k, Z)); break;
    case 5: m.fn.reset(m.mi = new CCostFnMIpz(ref, tmp, k, Z)); break;
    case 6: m.fn.reset(m.tri = new CCostFnMItri(ref, tmp, k)); break;
    case 7: m.fn.reset(m.tri = m.grid = new CCostFnMItrigrid(ref, tmp, k)); break;
    case 11: m.fn.reset(new CCostFnSSD(ref, tmp, k)); break;
    default: m.fn.reset(m.mi = new CCostFnMI(ref, tmp, k, Z)); break;
    }
    m.fn->setInterpAndOrder(call.interp, call.order, true);
    m.fn->setSampleRate(call.rate);
    return m;
}

Refusal refuseWarps(TremloMeasure& m, const TremloCall& call, const CImg<float>& W)
{
    if (!m.grid) return Refusal();
    // Warps that would cut the cells beyond the bounds end the call before any evaluation.
    const int k = call.k;
    CImgE<float> p(k, 1, 1, 1, 0.f);
    for (unsigned long j = 0; j < call.warps; ++j) {
        p = W.data() + j * k;
        if (const char* why = m.grid->tooLarge(p)) return report(why);
    }
    return Refusal();
}

// ---- evaluate ------------------------------------------------------------------------------

TremloResults evaluateWarps(TremloMeasure& m, const TremloCall& call, const CImg<float>& W)
{
    const int k = call.k, nlhs = call.nlhs;
    const unsigned long n = call.warps;
    CCostFn& fn = *m.fn;
    const float* const warps = W.data();
    CImgE<float> p(k, 1, 1, 1, 0.f);
    TremloResults r;
    r.Y.assign(n, 1, 1, 1, 0.f);
    CImg<float> g;
    CImgE<float> H;
    if (nlhs >= 2) {
        r.D.assign(k, n, 1, 1, 0.f);
        g.assign(k, 1, 1, 1, 0.f);
    }
    if (nlhs >= 3) {
        r.DD.assign(k, k, n, 1, 0.f);
        H.assign(k, k, 1, 1, 0.f);
    }
    const CImg<float> one(1, 1, 1, 1, 1.f);
    for (unsigned long j = 0; j < n; ++j) {
        p = warps + j * k;
        if (nlhs <= 1) {
            r.Y[j] = fn.eval(p);
        } else if (nlhs == 2) {
            r.Y[j] = fn.evalD(p, g);
            r.D.draw_image(0, int(j), 0, 0, g, 1.f);
        } else {
            r.Y[j] = fn.evalDD(p, g, H);
            r.D.draw_image(0, int(j), 0, 0, g, 1.f);
            r.DD.draw_image(0, 0, int(j), 0, H, 1.f);
        }
        if (nlhs == 4) {
            CImg<float> s;
            if (m.tri) {
                s = m.tri->getJointHist();
            } else if (m.mi && call.op != 100) {
                m.mi->eval(p);
                s = m.mi->getJointHist();
            }
            const CImg<float>& h = s.is_empty() ? one : s;
            if (j == 0) r.H.assign(h.width(), h.height(), n, 1, 0.f);
            r.H.draw_image(0, 0, int(j), 0, h, 1.f);
        }
    }
    return r;
}

// ---- outputs -------------------------------------------------------------------------------

std::vector<CImg<float>> tremloOutputs(TremloResults&& r, int nlhs)
{
    std::vector<CImg<float>> out(nlhs > 1 ? std::size_t(nlhs) : 1);
    r.Y.move_to(out[0]);
    if (nlhs >= 2) r.D.move_to(out[1]);
    if (nlhs >= 3) r.DD.move_to(out[2]);
    if (nlhs >= 4) r.H.move_to(out[3]);
    return out;
}
