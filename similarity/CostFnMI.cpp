#include "similarity/CostFnMI.h"
#include "similarity/CostFnMIpv.h"
#include "similarity/CostFnMIpz.h"

#include <cmath>
#include <cstring>
#include <limits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "similarity/smooth.h"

namespace {

// (int)max(img) + 1, at least 1. Non-finite elements do not count (binOf puts them into
// the edge bins). More than CCostFnMI::kMaxBins bins are refused.
int binsFor(const CImg<float>& img)
{
    if (img.is_empty())
        throw cimg_library::CImgArgumentException(
            "CImgStats::CImgStats() : Specified input image (%u,%u,%u,%u,%p) is empty.",
            img.width(), img.height(), img.depth(), img.spectrum(), (const void*)img.data());
    // Largest finite element, in eight independent lanes (a non-finite one counts as -Inf).
    const float ninf = -std::numeric_limits<float>::infinity();
    float lane[8] = {ninf, ninf, ninf, ninf, ninf, ninf, ninf, ninf};
    const float* q = img.data();
    const size_t size = img.size(), whole = size & ~size_t(7);
    for (size_t i = 0; i < whole; i += 8)
        for (int k = 0; k < 8; ++k) {
            const float v = q[i + k];
            const float c = v - v == 0.f ? v : ninf;
            lane[k] = lane[k] > c ? lane[k] : c;
        }
    for (size_t i = whole; i < size; ++i) {
        const float v = q[i];
        if (v - v == 0.f && v > lane[0]) lane[0] = v;
    }
    float m = lane[0];
    for (int k = 1; k < 8; ++k) m = lane[k] > m ? lane[k] : m;
    const bool any = m > ninf;
    if (!any || !(m >= 1.f)) return 1;
    const double n = std::floor(double(m)) + 1.0;
    if (!(n <= CCostFnMI::kMaxBins))
        throw cimg_library::CImgArgumentException(
            "CCostFnMI: the largest intensity %g needs a joint histogram too large to build "
            "(intensities are histogram bin numbers).", double(m));
    return int(n);
}

} // namespace

// ---- joint-histogram functions ------------------------------------------------------------

float entropy(const CImg<float>& v)
{
    const long n = (long)v.width() * v.height();
    const float* d = v.data();
    double s = 0;
    for (long k = 0; k < n; ++k) {
        const float e = d[k];
        if (e > 0.f) s += double(e) * std::log(double(e));
    }
    return float(-s);
}

// ---- CCostFnMI ------------------------------------------------------------------------------

CCostFnMI::CCostFnMI(CImgI<float>& r, CImgI<float>& t, int code, CImg<float> Z)
    : CCostFn(r, t, code), parzenWin(Z)
{
    const int nr = binsFor(ref), nt = binsFor(tmp);
    nBins = nr > nt ? nr : nt;
    lastBin = nBins - 1;
    smoothing = parzenWin.size() > 1;
    active = smoothing ? &cellsZ : &cells;
    margRef.assign(nBins, 1, 1, 1, 0.f);
    margTmp.assign(nBins, 1, 1, 1, 0.f);
}

CCostFnMI::~CCostFnMI() {}

void CCostFnMI::setInterpAndOrder(int in, int ord, bool bnd)
{
    CCostFn::setInterpAndOrder(in, ord, bnd);
    switch (order) {
    case 0:
        splineSample = &C2dBspline::zeroSample;
        splineDSample = &C2dBspline::DzzSample;
        splineSampleD = &C2dBspline::zDzSample;
        break;
    case 2:
        splineSample = &C2dBspline::quadSample;
        splineDSample = &C2dBspline::DqqSample;
        splineSampleD = &C2dBspline::qDqSample;
        break;
    case 3:
        splineSample = &C2dBspline::cubicSample;
        splineDSample = &C2dBspline::DccSample;
        splineSampleD = &C2dBspline::cDcSample;
        break;
    default:
        splineSample = &C2dBspline::linearSample;
        splineDSample = &C2dBspline::DllSample;
        splineSampleD = &C2dBspline::lDlSample;
        break;
    }
}

void CCostFnMI::setTmp(CImgI<float>& t)
{
    CCostFn::setTmp(t);   // copies the template and re-applies the sample rate
    groupsValid_ = false;
    setIntensityRate();
}

void CCostFnMI::setIntensityRate()
{
    const int m = binsFor(tmp);
    if (m <= nBins) return;
    groupsValid_ = false;
    lastBin = m - 1;
    nBins = m;
    margRef.assign(m, 1, 1, 1, 0.f);
    margTmp.assign(m, 1, 1, 1, 0.f);
}

float CCostFnMI::Alpha() { return 2.f; }

const CCostFnMI::SampleGroups& CCostFnMI::groupSamples(const CImg<float>& p, bool byParzenBase)
{
    if (groupsValid_ && groupsParzen_ == byParzenBase && groupsRate_ == sampleRate && groupsTmp_ == sampleTmp)
        return groups_;
    const int L = lastBin, keys = byParzenBase ? nBins + 8 : nBins;
    SampleGroups& G = groups_;
    std::vector<int>& key = G.slot;   // the keys first, then (in place) the places
    key.clear();
    if (nSamples >= 1.f && nSamples < 2147483647.f) key.reserve(std::size_t(nSamples));
    walkPos(p, [&](const WalkSample& s) MI_INLINE {
        int g;
        if (byParzenBase) {
            // the template's base bin as the Parzen window takes it, from -4 to L + 4
            const float t = s.t > -4.f ? s.t : -4.f, hi = float(L) + 4.f;
            g = int(t < hi ? t : hi) + 4;
        } else {
            g = binOf(s.t, L);
        }
        key.push_back(g);
    });
    G.samples = int(key.size());
    G.first.assign(keys + 1, 0);
    for (int g : key) ++G.first[g + 1];
    for (int g = 0; g < keys; ++g) G.first[g + 1] += G.first[g];
    std::vector<int>& next = G.next;
    next.assign(G.first.begin(), G.first.end() - 1);
    for (int& k : key) k = next[k]++;
    groupsValid_ = true;
    groupsParzen_ = byParzenBase;
    groupsRate_ = sampleRate;
    groupsTmp_ = sampleTmp;
    return G;
}

// ---- the binning engine ------------------------------------------------------------------

CCostFnMI::TapsInfo CCostFnMI::tapsOf(Tables t, int params, int, int)
{
    const int np = params > 0 ? params : 0;
    switch (t) {
    case Tables::kPdf: return TapsInfo{1, false, 1, 1, 0, true, 1};
    case Tables::kDPdf: return TapsInfo{1 + np, true, 2, 1, np, true, 1};
    default: return TapsInfo{1 + np + np * np, false, 2, 1, 7, false, 1};
    }
}

CCostFnMI::Plan CCostFnMI::plan(Tables t, bool gradient, bool table) const
{
    const TapsInfo taps = tapsInfo(t);
    const bool dense = denseCells(taps.slots);
    // Rows binned in turn, no window, samples that move bins: the gradient sample by sample
    // (no derivative table unless the second-order matrix needs it).
    if (t == Tables::kDPdf && gradient && taps.moves && !smoothing && nParams > 0 && !dense)
        return Plan{t, Strategy::kBySample, table};
    return Plan{t, dense ? Strategy::kDense : Strategy::kRows, t != Tables::kPdf};
}

double CCostFnMI::evalBytes(Kind kind, double bins, int params, double cols, double rows, int order, int interp,
                            double window, int outputs)
{
    switch (kind) {
    case Kind::kPartialVolume:
        return bytesFor(CCostFnMIpv::tapsOf(Tables::kPdf, params, order, interp),
                        CCostFnMIpv::tapsOf(Tables::kDPdf, params, order, interp), interp == 0, bins, params, cols,
                        rows, window, outputs);
    case Kind::kParzen:
        return bytesFor(CCostFnMIpz::tapsOf(Tables::kPdf, params, order, interp),
                        CCostFnMIpz::tapsOf(Tables::kDPdf, params, order, interp), interp == 0, bins, params, cols,
                        rows, window, outputs);
    default:
        return bytesFor(tapsOf(Tables::kPdf, params, order, interp), tapsOf(Tables::kDPdf, params, order, interp), true,
                        bins, params, cols, rows, window, outputs);
    }
}

double CCostFnMI::bytesFor(const TapsInfo& pdf, const TapsInfo& dpdf, bool averaging, double n, int params,
                           double cols, double rows, double window, int outputs)
{
    const double P = params > 0 ? params : 0, n2 = n * n, N = cols * rows;
    const bool smoothing = window > 1;
    // Every array at the largest size the evaluations of the call give it (a vector sized by
    // the cells counted twice: its old and its new room while it grows).
    enum { kSlot, kFirst, kRecI, kRecF, kAccData, kAccCount, kAccMarks, kHeld, kBits, kCells, kRowLists, kRowStart,
           kCellsZ, kAccZ, kTerms, kColumnLogs, kAvg, kMargAvg, kLogs, kCountLog, kSampleGrad, kRecips, kWeights,
           kSums, kDense, kArrays };
    double peak[kArrays] = {};
    auto at = [&](int k, double b) { peak[k] = b > peak[k] ? b : peak[k]; };
    auto evaluation = [&](bool deriv, bool hessian) {
        const TapsInfo& t = deriv ? dpdf : pdf;
        const bool dense = denseFits(n, t.slots, N, 2.0);
        const bool bySample = deriv && t.moves && !smoothing && P > 0 && !dense;
        const bool planes = deriv && (!bySample || hessian);
        const double S = deriv && !planes ? 1 : t.slots, D = planes ? P : 0;
        const double reach = deriv && !planes ? 1 : t.reach;
        const double most = std::min(n2, N * reach);
        const double C = most < 1e9 ? most : 2 * most;   // (beyond, the cells grow by doubling)
        if (dense) {
            at(kAccData, 4 * n2 * S);
            at(kAccCount, 4 * n2);
            at(kHeld, 4 * n);
        } else {
            const double R = t.inTurn, keys = R > 1 ? n + 8 : n;
            at(kSlot, 4 * N);
            at(kFirst, 8 * (keys + 1));
            at(kRecI, 4 * N * t.ints);
            at(kRecF, 4 * N * t.floats);
            at(kAccData, 4 * R * n * S);
            at(kAccCount, 4 * R * n);
            at(kAccMarks, R * n + 64);
        }
        at(kBits, 8 * (n / 64 + 1));
        at(kCells, C * (8 + 4 * D + (t.counted ? 4 : 0)));
        at(kRowLists, 16 * std::min(n, C));
        double m = C;   // the cells the sums read
        if (smoothing) {
            const double Cz = std::min(n2, C * window), capZ = Cz < 1e9 ? Cz : 2 * Cz;
            at(kRowStart, 4 * (n + 1));
            at(kCellsZ, capZ * (8 + 4 * D) + 16 * std::min(n, Cz));
            at(kAccZ, n * (4 * (D + 1) + 4 + 1) + 64);
            at(kTerms, 12 * window);
            m = Cz;
        }
        at(kColumnLogs, 8 * n);
        if (deriv && averaging) {
            at(kAvg, 8 * m);
            at(kMargAvg, 4 * n);
        }
        if (deriv && !bySample) at(kLogs, 16 * m);
        if (t.counted && !smoothing) at(kCountLog, 16 * (std::min(N, C + 1024) + 1));
        if (bySample) at(kSampleGrad, 8 * N + 8 * n + 16 * (std::min(N, 65536.0) + 1));
        if (hessian) {
            at(kRecips, 4 * n);
            at(kWeights, 8 * m);
        }
        at(kSums, 8 * P + 4 * P * P + 4 * (P + 1));
    };
    if (outputs >= 2) evaluation(true, outputs >= 3);
    if (outputs <= 1 || outputs >= 4) evaluation(false, false);
    if (outputs >= 4) at(kDense, 4 * n2);   // getJointHist's dense table, one warp at a time
    double bytes = 8 * n                     // the marginals
                   + 16 * (cols + rows);   // the walk's tables: four floats per column and per row
    for (double b : peak) bytes += b;
    return bytes;
}

// Plain MI's value taps: a sample counts in bin (binOf(r), binOf(t)); it keeps its bin.
struct CCostFnMI::CountTaps : TapsBase {
    using Recorder = CountTaps;
    static constexpr int kWalk = 0, kSlots = 1, kInts = 1, kFloats = 0;
    int last;
    int floats() const { return 0; }
    CellForm form() const { return CellForm{0, true, false, false, 1}; }
    int row(const WalkSample& s) const { return binOf(s.t, last); }
    void record(const WalkSample& s, int* i, float*) const { i[0] = binOf(s.r, last); }
    template <class A> MI_INLINE void bin(const A& acc, const int* i, const float*, int t) const { ++acc.count(i[0], t); }
};

// What plain MI's derivative taps keep of a sample: its reference bin and J, the derivatives
// of its reference value by the warp parameters times 1 / N. Form: the Jacobian rows of a
// CWarp::JacForm inlined, or (-1) any warp through CWarp::CalcJcbn.
template <int Form>
struct CCostFnMI::MoveRecorder : TapsBase {
    static constexpr int NP = Form >= 0 ? CWarp::formRows(Form) : 0;
    static constexpr int kWalk = 1, kInts = 1, kFloats = NP;
    CCostFnMI& m;
    const CImg<float>& p;
    CWarp::JacState st;
    int np, last;
    float w;
    int floats() const { return np; }
    int row(const WalkSample& s) const { return binOf(s.t, last); }
    MI_INLINE void record(const WalkSample& s, int* i, float* J) const
    {
        i[0] = binOf(s.r, last);
        if constexpr (Form >= 0) {
            CWarp::jcbnAt<Form>(st, s.x, s.y, s.rdx, s.rdy, J);
            MI_UNROLL
            for (int k = 0; k < NP; ++k) J[k] *= w;
        } else {
            m.warp.CalcJcbn(m.jcbn, p, s.x, s.y, s.rdx, s.rdy);
            for (int k = 0; k < np; ++k) J[k] = m.jcbn[k] * w;
        }
    }
};

// One sample of the derivative binning: bin (r, t) counts it and loses J, bin (r + 1, t)
// gains J.
template <class Access>
static inline MI_INLINE void dpdfSample(const Access& A, int r, int t, int last, const float* __restrict J, int np)
{
    ++A.count(r, t);
    if (r == last) return;   // the move to the next bin and back cancel
    {
        float* __restrict d = A.cell(r, t) + 1;
        MI_UNROLL
        for (int k = 0; k < np; ++k) d[k] -= J[k];
    }
    float* __restrict e = A.cell(r + 1, t) + 1;
    MI_UNROLL
    for (int k = 0; k < np; ++k) e[k] += J[k];
}

// Plain MI's derivative taps: each sample moves weight J from its bin to the next (above);
// without Planes the counts alone, the gradient then gathered sample by sample (`gather`).
template <int Form, bool Planes>
struct CCostFnMI::MoveTaps : MoveRecorder<Form> {
    using Recorder = MoveRecorder<Form>;
    using Recorder::NP;
    static constexpr int kSlots = Planes ? (Form >= 0 ? 1 + NP : 0) : 1;
    static constexpr bool kRowsOnly = !Planes;
    SampleGradient* gather;
    int slots() const { return Planes ? 1 + this->np : 1; }
    CellForm form() const { return CellForm{Planes ? this->np : 0, true, false, false, Planes ? 2 : 1}; }
    template <class A> MI_INLINE void bin(const A& acc, const int* i, const float* J, int t) const
    {
        if constexpr (Planes) dpdfSample(acc, i[0], t, this->last, J, Form >= 0 ? NP : this->np);
        else ++acc.count(i[0], t);
    }
    void rowsBegin(int samples) const
    {
        if (gather) gather->begin(samples, this->m.nBins, this->w);
    }
    void rowBinned(const int* counts, const int* bins, int q, int k) const
    {
        if (gather) gather->row(counts, bins, q, k, this->last);
    }
};

void CCostFnMI::bin(const CImg<float>& p, const Plan& pl)
{
    if (pl.tables == Tables::kPdf) {
        binSamples(p, pl, CountTaps{{}, lastBin});
        return;
    }
    const int np = nParams > 0 ? nParams : 0;
    const float w = 1.f / nSamples;
    warp.takeParams(p);   // the Jacobian rows read the warp's state at p
    const CWarp::JacState st = warp.jacState(p);
    SampleGradient* const gather = pl.strategy == Strategy::kBySample ? &sampleGrad_ : nullptr;
    auto run = [&](auto form) {
        constexpr int F = decltype(form)::value;
        const MoveRecorder<F> rec{{}, *this, p, st, np, lastBin, w};
        if (pl.planes) binSamples(p, pl, MoveTaps<F, true>{rec, gather});
        else binSamples(p, pl, MoveTaps<F, false>{rec, gather});
    };
    const CWarp::JacForm form = warp.jacForm();
    if (np == 0 || np != warp.jacobianRows() || np != CWarp::formRows(form)) run(std::integral_constant<int, -1>());
    else if (form == CWarp::kJacShift) run(std::integral_constant<int, CWarp::kJacShift>());
    else if (form == CWarp::kJacEuclidean) run(std::integral_constant<int, CWarp::kJacEuclidean>());
    else if (form == CWarp::kJacSimilarity) run(std::integral_constant<int, CWarp::kJacSimilarity>());
    else run(std::integral_constant<int, CWarp::kJacAffine>());
}

void CCostFnMI::PdfJnt(const CImg<float>& p, CImg<float>& pdf)
{
    bin(p, plan(Tables::kPdf, false, false));
    cells.toDense(pdf, 0, 1);
}

void CCostFnMI::DPdfJnt(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf)
{
    bin(p, plan(Tables::kDPdf, false, true));
    cells.toDense(pdf, 0, 1);
    cells.toDense(dpdf, 1, nParams > 0 ? nParams : 0);
}

void CCostFnMI::activate()
{
    evaluated_ = true;
    if (smoothing) smoothCells(cells, parzenWin, cellsZ, accZ);
}

// One sweep over the cells in the order of a scan of the dense table, in the precision of
// the dense sums: both marginals and sum e ln e (by count when Counted: e ln e of a bin then
// depends on its count only); with Average also the averaged pdf per cell and its column
// sums. A bin whose left neighbour holds a cell averages with it (the cell before it in scan
// order); a bin with no cell right of a cell holds half of that cell and adds to the column
// sums only (its derivatives are 0), in its row's turn. Without Counted, lp[i] = ln e of
// every cell with e > 0 (for the gradient; lp may be null).
// e ln e of e = k w, the probability of a cell of count k (0 for e = 0).
static inline double countEntropy(int k, float w)
{
    const float e = float(k) * w;
    return e > 0.f ? double(e) * std::log(double(e)) : 0.0;
}

// (countLog: countEntropy by count, for the counts up to `top`; w the count weight)
template <bool Counted, bool Average>
static double valueSweep(const HistCells& t, const double* countLog, int top, float w, float* mt, float* mr, float* avg,
                         float* ma, double* lp)
{
    const int n = t.bins();
    const int* const X = t.columns();
    const float* const P = t.pdfs();
    const int* const C = t.counts();
    double s = 0;
    for (int r = 0, rows = t.rowCount(); r < rows; ++r) {
        const int b = t.rowFirst(r), e = t.rowFirst(r + 1);
        float rowSum = 0.f;
        for (int i = b; i < e; ++i) {
            const float v = P[i];
            const int x = X[i];
            rowSum += v;
            mr[x] += v;
            if (Counted) {
                const int c = C[i];
                s += c <= top ? countLog[c] : countEntropy(c, w);
            } else if (v > 0.f) {
                const double l = std::log(double(v));
                if (lp) lp[i] = l;
                s += double(v) * l;
            }
            if (Average) {
                // (selects, not branches: which neighbours a cell has follows the data; v + 0
                // is v, and ma[x] + 0 is ma[x])
                const int before = i > b ? i - 1 : i, after = i + 1 < e ? i + 1 : i;
                const bool leftHeld = before != i && X[before] == x - 1;
                const float a = (v + (leftHeld ? P[before] : 0.f)) * 0.5f;
                avg[i] = a;
                ma[x] += a;
                const bool nextHeld = after != i && X[after] == x + 1;
                const bool nextEmpty = x + 1 < n && !nextHeld;
                ma[nextEmpty ? x + 1 : x] += nextEmpty ? (0.f + v) * 0.5f : 0.f;
            }
        }
        mt[t.rowY(r)] = rowSum;
    }
    return s;
}

float CCostFnMI::valueOfActive(bool average, bool gradient)
{
    const HistCells& t = *active;
    const int n = nBins, m = t.size();
    margTmp.fill(0.f);
    margRef.fill(0.f);
    float* const mt = margTmp.data();
    float* const mr = margRef.data();
    sizeTo(avgPdf_, average ? std::size_t(m) : 0);
    margAvg_.assign(average ? n : 0, 0.f);
    float* const avg = avgPdf_.data();
    float* const ma = margAvg_.data();
    const double* L = nullptr;
    const float w = 1.f / nSamples;
    int top = -1;
    if (t.counted()) {
        // the counts' e ln e tabulated up to the largest count, or as far as a table no
        // larger than the cells' (the rest taken cell by cell)
        if (countLogW_ != w) {
            countLog_.clear();
            countLogW_ = w;
        }
        const int most = std::min(t.maxCount(), m + 1024);
        for (int k = (int)countLog_.size(); k <= most; ++k) countLog_.push_back(countEntropy(k, w));
        L = countLog_.data();
        top = int(countLog_.size()) - 1;
    }
    // ln P per cell, for a gradient that reads the pdf itself
    const bool keep = !L && !average && gradient;
    sizeTo(logPdf_, keep ? std::size_t(m) : 0);
    double* const lp = keep ? logPdf_.data() : nullptr;
    const double s = L ? (average ? valueSweep<true, true>(t, L, top, w, mt, mr, avg, ma, lp)
                                  : valueSweep<true, false>(t, L, top, w, mt, mr, avg, ma, lp))
                       : (average ? valueSweep<false, true>(t, L, top, w, mt, mr, avg, ma, lp)
                                  : valueSweep<false, false>(t, L, top, w, mt, mr, avg, ma, lp));
    logPdfValid_ = keep;
    columnLogs_.assign(n, std::numeric_limits<double>::quiet_NaN());
    const float value = float(-s) - entropy(margRef) - entropy(margTmp);
    if (average) std::copy(ma, ma + n, mr);
    sumPdf_ = average ? avg : t.pdfs();
    return value;
}

float CCostFnMI::eval(const CImg<float>& p)
{
    switchSamplers(p);
    bin(p, plan(Tables::kPdf, false, false));
    activate();
    return valueOfActive(false, false);
}

void CCostFnMI::AvgHist()
{
    if (!averages()) return;
    // the sweep of valueOfActive, for the averaged pdf and its column sums
    valueOfActive(true, false);
}

// G[k] -= F dP_k over the cells, in double; NP > 0 the parameter count at compile time.
template <int NP>
static void gradientSums(const HistCells& t, const float* pdf, const double* F, int np, double* G)
{
    if (NP > 0) {
        double acc[NP > 0 ? NP : 1] = {};
        for (int i = 0, m = t.size(); i < m; ++i) {
            if (pdf[i] == 0.f) continue;
            const double f = F[i];
            const float* d = t.planes(i);
            MI_UNROLL
            for (int k = 0; k < NP; ++k) acc[k] -= f * d[k];
        }
        for (int k = 0; k < NP; ++k) G[k] = acc[k];
        return;
    }
    for (int i = 0, m = t.size(); i < m; ++i) {
        if (pdf[i] == 0.f) continue;
        const double f = F[i];
        const float* d = t.planes(i);
        for (int k = 0; k < np; ++k) G[k] -= f * d[k];
    }
}

void CCostFnMI::gradientOfActive(CImg<float>& g)
{
    if (!g.is_empty()) g.fill(0.f);
    const HistCells& t = *active;
    int np = nParams < t.planes() ? nParams : t.planes();
    if (np > (int)g.size()) np = (int)g.size();
    const int m = t.size();
    const float* pdf = sumPdf_;   // (averaged where the measure averages)
    const float* M = margRef.data();
    // the factors replace the logarithms of the value's sweep, cell by cell
    const bool lp = logPdfValid_;
    sizeTo(logPdf_, std::size_t(m));
    logPdfValid_ = false;
    double* const F = logPdf_.data();
    for (int i = 0; i < m; ++i) {
        const float v = pdf[i];
        const int x = t.x(i);
        double f = 0.0;
        if (v > 0.f && M[x] > 0.f) f = (lp ? F[i] : std::log(double(v))) - columnLog(x) + 1.0;
        else if (v != 0.f) f = std::log(double(v / M[x])) + 1.0;
        F[i] = f;
    }
    logFactor = F;
    gSum_.assign(np > 0 ? np : 0, 0.0);
    double* const G = gSum_.data();
    withParamCount(np, [&](auto NP) { gradientSums<decltype(NP)::value>(t, pdf, F, np, G); });
    for (int k = 0; k < np; ++k) g[k] = float(G[k]);
}

void CCostFnMI::SampleGradient::begin(int samples, int n, float weight)
{
    sizeTo(dlnA, std::size_t(samples));
    lo = n;
    hi = -1;
    if (w != weight) {
        pairLog.clear();
        w = weight;
    }
}

// ln A of two bins of counts summing to c: ln (c w / 2), 0 for c = 0.
static inline double pairLogOf(int c, float w) { return c ? std::log(double(float(c) * w) * 0.5) : 0.0; }

void CCostFnMI::SampleGradient::row(const int* counts, const int* bin, int q, int k, int last)
{
    // (two bins of the row hold at most its k samples: pairLog up to k, or as far as 2^16;
    // beyond, the logarithms are taken for the bin, once for the samples in it one after
    // another)
    const int most = std::min(k, 1 << 16);
    for (int c = int(pairLog.size()); c <= most; ++c) pairLog.push_back(pairLogOf(c, w));
    const int top = int(pairLog.size()) - 1;
    const double* const lnA = pairLog.data();
    double* const d = dlnA.data();
    int before = -1;
    double dBefore = 0.0;
    for (int i = q; i < q + k; ++i) {
        const int r = bin[i];
        if (r == last) continue;   // the move to the next bin and back cancel
        const int c0 = r > 0 ? counts[r - 1] : 0, c1 = counts[r], c2 = counts[r + 1];
        const int up = c1 + c2, down = c0 + c1;
        if (up <= top && down <= top) {
            d[i] = lnA[up] - lnA[down];
        } else {
            if (r != before) {
                before = r;
                dBefore = (up <= top ? lnA[up] : pairLogOf(up, w)) - (down <= top ? lnA[down] : pairLogOf(down, w));
            }
            d[i] = dBefore;
        }
        lo = r < lo ? r : lo;
        hi = r > hi ? r : hi;
    }
}

template <int NP>
void CCostFnMI::SampleGradient::sum(const int* bin, const float* J, int samples, int last, int np, double* G) const
{
    if (NP > 0) np = NP;
    double acc[NP > 0 ? NP : 1] = {};
    double* const S = NP > 0 ? acc : G;
    const double* const dM = dlnM.data();
    for (int q = 0; q < samples; ++q) {
        const int r = bin[q];
        if (r == last) continue;
        const double dF = dlnA[q] - dM[r];
        const float* const f = J + std::size_t(q) * np;
        MI_UNROLL
        for (int k = 0; k < np; ++k) S[k] -= double(f[k]) * dF;
    }
    if (NP > 0)
        for (int k = 0; k < NP; ++k) G[k] = acc[k];
}

float CCostFnMI::evalD(const CImg<float>& p, CImg<float>& g)
{
    switchSamplers(p);
    return gradient(p, g, nullptr);
}

float CCostFnMI::gradient(const CImg<float>& p, CImg<float>& g, CImgE<float>* H)
{
    const Plan pl = plan(Tables::kDPdf, true, H != nullptr);
    bin(p, pl);
    activate();
    const float value = valueOfActive(averages(), true);
    if (pl.strategy != Strategy::kBySample) {
        gradientOfActive(g);
    } else {
        if (!g.is_empty()) g.fill(0.f);
        int np = nParams;
        if (np > (int)g.size()) np = (int)g.size();
        SampleGradient& sg = sampleGrad_;
        // ln M(r + 1) - ln M(r) for the columns of the samples (M > 0 at both: A > 0 there)
        sg.dlnM.resize(nBins);
        for (int x = sg.lo; x <= sg.hi; ++x)
            sg.dlnM[x] = margRef[x] > 0.f ? columnLog(x + 1) - columnLog(x) : 0.0;
        const int all = nParams, samples = groups_.samples;
        gSum_.assign(all, 0.0);
        double* const G = gSum_.data();
        const int* const R = recI.data();
        const float* const J = recF.data();
        withParamCount(all, [&](auto NP) { sg.template sum<decltype(NP)::value>(R, J, samples, lastBin, all, G); });
        for (int k = 0; k < np; ++k) g[k] = float(G[k]);
    }
    if (H) hessianOfActive(*H);
    return value;
}

// S[b + np a] (b >= a) += dP_a dP_b W[i] over the cells i with P != 0, each element in float
// in scan order; NP > 0 the parameter count at compile time (the sums then in registers).
template <int NP>
static void hessianSums(const HistCells& t, const float* pdf, const float* W, int np, float* S)
{
    const int m = t.size();
#if defined(__SSE2__)
    if constexpr (NP == 6) {
        // The same sums four lanes at a time: lane b of row a's vectors is dP_a dP_b w, rows
        // 0 .. 3 over b = 0 .. 3 (lo) and every row over b = 4, 5 (hi); the lanes below the
        // diagonal are not read.
        __m128 lo0 = _mm_setzero_ps(), lo1 = lo0, lo2 = lo0, lo3 = lo0;
        __m128 hi0 = lo0, hi1 = lo0, hi2 = lo0, hi3 = lo0, hi4 = lo0, hi5 = lo0;
        for (int i = 0; i < m; ++i) {
            const float v = pdf[i];
            if (v == 0.f) continue;
            const __m128 w = _mm_set1_ps(W[i]);
            const float* d = t.planes(i);
            const __m128 L = _mm_loadu_ps(d);
            const __m128 H = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(d + 4)));
            __m128 a = _mm_set1_ps(d[0]);
            lo0 = _mm_add_ps(lo0, _mm_mul_ps(_mm_mul_ps(a, L), w));
            hi0 = _mm_add_ps(hi0, _mm_mul_ps(_mm_mul_ps(a, H), w));
            a = _mm_set1_ps(d[1]);
            lo1 = _mm_add_ps(lo1, _mm_mul_ps(_mm_mul_ps(a, L), w));
            hi1 = _mm_add_ps(hi1, _mm_mul_ps(_mm_mul_ps(a, H), w));
            a = _mm_set1_ps(d[2]);
            lo2 = _mm_add_ps(lo2, _mm_mul_ps(_mm_mul_ps(a, L), w));
            hi2 = _mm_add_ps(hi2, _mm_mul_ps(_mm_mul_ps(a, H), w));
            a = _mm_set1_ps(d[3]);
            lo3 = _mm_add_ps(lo3, _mm_mul_ps(_mm_mul_ps(a, L), w));
            hi3 = _mm_add_ps(hi3, _mm_mul_ps(_mm_mul_ps(a, H), w));
            a = _mm_set1_ps(d[4]);
            hi4 = _mm_add_ps(hi4, _mm_mul_ps(_mm_mul_ps(a, H), w));
            a = _mm_set1_ps(d[5]);
            hi5 = _mm_add_ps(hi5, _mm_mul_ps(_mm_mul_ps(a, H), w));
        }
        float l[4][4], h[6][4];
        _mm_storeu_ps(l[0], lo0); _mm_storeu_ps(l[1], lo1); _mm_storeu_ps(l[2], lo2); _mm_storeu_ps(l[3], lo3);
        _mm_storeu_ps(h[0], hi0); _mm_storeu_ps(h[1], hi1); _mm_storeu_ps(h[2], hi2);
        _mm_storeu_ps(h[3], hi3); _mm_storeu_ps(h[4], hi4); _mm_storeu_ps(h[5], hi5);
        for (int a = 0; a < 6; ++a)
            for (int b = a; b < 6; ++b) S[b + 6 * a] = b < 4 ? l[a][b] : h[a][b - 4];
        return;
    }
#endif
    if constexpr (NP > 0) {
        float acc[NP * (NP + 1) / 2] = {};
        for (int i = 0; i < m; ++i) {
            const float v = pdf[i];
            if (v == 0.f) continue;
            const float w = W[i];
            const float* d = t.planes(i);
            int k = 0;
            MI_UNROLL
            for (int a = 0; a < NP; ++a) {
                const float da = d[a];
                MI_UNROLL
                for (int b = a; b < NP; ++b) acc[k++] += da * d[b] * w;
            }
        }
        int k = 0;
        for (int a = 0; a < NP; ++a)
            for (int b = a; b < NP; ++b) S[b + NP * a] = acc[k++];
    } else {
        for (int i = 0; i < m; ++i) {
            const float v = pdf[i];
            if (v == 0.f) continue;
            const float w = W[i];
            const float* d = t.planes(i);
            for (int a = 0; a < np; ++a)
                for (int b = a; b < np; ++b) S[b + np * a] += d[a] * d[b] * w;
        }
    }
}

void CCostFnMI::hessianOfActive(CImgE<float>& H)
{
    if (!H.is_empty()) H.fill(0.f);
    const HistCells& t = *active;
    const int P = nParams;
    const int np = P < t.planes() ? P : t.planes();
    if (np <= 0) return;
    gAcc_.assign((size_t)np * np, 0.f);
    float* const S = gAcc_.data();
    const float* pdf = sumPdf_;
    // rM = 1 / margRef[x] (0 where margRef[x] is 0) over the columns of the cells, then per
    // cell with P != 0 the weight 1 / P - rM[x]
    const int m = t.size();
    const int* const X = t.columns();
    int xlo = nBins, xhi = -1;
    for (int i = 0; i < m; ++i) {
        xlo = X[i] < xlo ? X[i] : xlo;
        xhi = X[i] > xhi ? X[i] : xhi;
    }
    const float* const M = margRef.data();
    columnRecips_.resize(std::size_t(nBins));
    float* const rM = columnRecips_.data();
    for (int x = xlo; x <= xhi; ++x) rM[x] = M[x] != 0.f ? 1.f / M[x] : 0.f;
    sizeTo(cellWeights_, std::size_t(m));
    float* const cw = cellWeights_.data();
    int i = 0;
#if defined(__SSE2__)
    const __m128 one = _mm_set1_ps(1.f), zero = _mm_setzero_ps();
    for (; i + 4 <= m; i += 4) {
        const __m128 v = _mm_loadu_ps(pdf + i);
        const __m128 z = _mm_cmpeq_ps(v, zero);   // (P = 0: divided by 1, not read)
        const __m128 r = _mm_div_ps(one, _mm_or_ps(_mm_and_ps(z, one), _mm_andnot_ps(z, v)));
        _mm_storeu_ps(cw + i, _mm_sub_ps(r, _mm_set_ps(rM[X[i + 3]], rM[X[i + 2]], rM[X[i + 1]], rM[X[i]])));
    }
#endif
    for (; i < m; ++i) cw[i] = pdf[i] != 0.f ? 1.f / pdf[i] - rM[X[i]] : 0.f;
    withParamCount(np, [&](auto NP) { hessianSums<decltype(NP)::value>(t, pdf, cw, np, S); });
    const long hsize = (long)H.size();
    for (int a = 0; a < np; ++a)
        for (int b = a; b < np; ++b) {
            const long idx = b + (long)P * a;
            if (idx < hsize) H[idx] = S[b + np * a];
        }
    // mirror: H(a, b) = H(b, a) for a < b
    const int W = H.width(), Hh = H.height();
    for (int b = 1; b < Hh; ++b)
        for (int a = 0; a < b && a < W; ++a)
            if (b < W) H(a, b) = H(b, a);
}

float CCostFnMI::evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H)
{
    switchSamplers(p);
    return gradient(p, g, &H);   // the gradient as evalD takes it
}

CImg<float> CCostFnMI::getJointHist()
{
    CImg<float> h;
    if (evaluated_) active->toDense(h, 0, 1);
    else if (smoothing) h.assign(nBins + parzenWin.width() - 1, nBins + parzenWin.height() - 1, 1, 1, 0.f);
    else h.assign(nBins, nBins, 1, 1, 0.f);
    return h;
}
