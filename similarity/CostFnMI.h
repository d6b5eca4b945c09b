// Mutual information from a joint histogram of reference and template intensities, with
// an optional smoothing window Z, its gradient and a second-order matrix.
//
// Tables: column x (the fast axis) is the reference bin, row y the template bin; plane k of
// a derivative table belongs to warp parameter k, element (x, y, k) at x + n (y + n k).
// Intensities are bin numbers: a value's bin is the value truncated toward zero. Every
// histogram update goes through binOf(), which keeps the bin inside 0 .. lastBin (see there).
//
// An evaluation holds only the bins that samples reach (HistCells), in the order of a scan
// of the dense table: per cell the probability and its derivatives by the warp parameters.
// Marginals, entropies, the averaging, the smoothing by Z and the derivative sums run over
// those cells in that order (plus the two marginals), so the cost follows the samples, not
// n^2; the marginals and the entropies add the terms of the dense table's scan in its order,
// the derivative sums are taken in double. The dense n x n tables are built only on request:
// getJointHist, PdfJnt, DPdfJnt.
//
// The binning engine (binSamples) is shared by every measure of the family: a measure
// supplies its taps (what one sample adds to which cells, and what the walk must keep of
// it); plan() chooses, once per evaluation, how the samples reach the cells (Strategy).
//
// The value is joint entropy less both marginal entropies: minus the mutual information.
// The gradient and the second-order matrix use the averaged table (AvgHist) where the
// measure averages.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <type_traits>
#include <vector>

#include "bridge/cimg.h"
#include "similarity/Bspline.h"
#include "similarity/CImgI.h"
#include "similarity/CostFn.h"
#include "similarity/HistCells.h"

// The per-sample bodies are inlined into every instantiation of the base's walk.
#if defined(__GNUC__)
#define MI_INLINE __attribute__((always_inline))
#define MI_UNROLL _Pragma("GCC unroll 8")
#else
#define MI_INLINE
#define MI_UNROLL
#endif

// v resized to m elements, room made for exactly m where it grows (the evaluations' arrays
// hold at most their largest size, and the old and the new never more than twice it).
template <class V>
inline void sizeTo(V& v, std::size_t m)
{
    if (m > v.capacity()) v.reserve(m);
    v.resize(m);
}

// -sum of e ln e over the elements e > 0 of the first width * height elements of v,
// accumulated in double precision. Zero, negative and NaN elements are skipped.
float entropy(const CImg<float>& v);

// f(std::integral_constant<int, NP>()) with NP = np for the warps' parameter counts 2, 3,
// 4 and 6 (loops over the parameters unrolled at compile time), NP = 0 (the count taken at
// run time) for any other.
template <class F>
inline void withParamCount(int np, F&& f)
{
    switch (np) {
    case 2: f(std::integral_constant<int, 2>()); break;
    case 3: f(std::integral_constant<int, 3>()); break;
    case 4: f(std::integral_constant<int, 4>()); break;
    case 6: f(std::integral_constant<int, 6>()); break;
    default: f(std::integral_constant<int, 0>()); break;
    }
}

class CCostFnMI : public CCostFn {
public:
    // Z: the smoothing window, copied; more than one element means the tables are smoothed.
    CCostFnMI(CImgI<float>& ref, CImgI<float>& tmp, int nParams, CImg<float> Z);
    ~CCostFnMI() override;

    void setInterpAndOrder(int interp, int order, bool bounded) override;
    // Replaces the template (as the base does), re-applies the sample rate, grows the bins.
    void setTmp(CImgI<float>& tmp) override;
    float eval(const CImg<float>& p) override;
    float evalD(const CImg<float>& p, CImg<float>& g) override;
    float evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H) override;

    // Where the measure averages (averages()): the active pdf averaged along the reference
    // axis, P(x, y) = (P(x, y) + P(x - 1, y)) / 2, and margRef its column sums; the gradient
    // and the second-order matrix then use it. The evaluations do the same in their sweep.
    void AvgHist();
    virtual float Alpha();
    // The dense joint pdf (n x n) at warp p, as eval bins it.
    void PdfJnt(const CImg<float>& p, CImg<float>& pdf);
    // The dense joint pdf (n x n) and its derivative table (n x n x P) at warp p (the table
    // a gradient taken from the table reads).
    void DPdfJnt(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf);
    // The (smoothed) joint pdf of the last evaluation as a dense n x n image; before any,
    // zeros of (n + Zw - 1) x (n + Zh - 1) with a window, n x n without.
    virtual CImg<float> getJointHist();

    // Grows the bin count to cover the template's maximum; never shrinks it.
    void setIntensityRate();

    // The bin of an intensity: trunc(v) toward zero, clamped to 0 .. last. Values below 0
    // (and -Inf) give bin 0, values at or above last (and +Inf) give bin last, NaN gives bin 0.
    // A non-finite value is never converted to an integer.
    static int binOf(float v, int last) {
        float c = v > 0.f ? v : 0.f;          // NaN fails the test: 0
        c = c < float(last) ? c : float(last);
        return int(c);
    }
    int binOf(float v) const { return binOf(v, lastBin); }
    // An integer bin clamped to 0 .. last.
    static int clampBin(int k, int last) { return k < 0 ? 0 : (k > last ? last : k); }

    int bins() const { return nBins; }
    // Largest bin count a measure takes: beyond it the marginals alone would not fit.
    static constexpr double kMaxBins = double(1 << 26);

    // What an evaluation bins: the pdf; the pdf and its derivatives by the warp parameters;
    // also their second derivatives (the Newton variant).
    enum class Tables { kPdf, kDPdf, kDDPdf };
    // What the binning must know of a measure's taps for a kind of table (each measure's
    // tapsOf says it for its parameter count, order and interpolation).
    struct TapsInfo {
        int slots;      // floats per cell as the taps accumulate it (pdf, planes, padding)
        bool moves;     // each sample moves its weight from its bin to the next (CCostFnMI's)
        int reach;      // the most cells one sample reaches
        int ints;       // integers and floats the rows strategies record per sample
        int floats;
        bool counted;   // the probability is the count times 1 / N
        int inTurn;     // rows binned in turn by the rows strategies (1 or 4)
    };
    static TapsInfo tapsOf(Tables t, int params, int order, int interp);

    // The measures whose allocations evalBytes knows: plain (CCostFnMI, operator 3 and the
    // codes that fall back to it), partial volume (CCostFnMIpv), Parzen window (CCostFnMIpz).
    enum class Kind { kPlain, kPartialVolume, kParzen };
    // The most that the evaluations of one call allocate, in bytes, beyond the images the
    // measure is built over: a measure of `kind` with `bins` bins per axis and `params`
    // warp parameters, its spline `order` and interpolation `interp`, a walk of `cols` x
    // `rows` template samples per warp (walkCounts at the rate the measure takes), a window
    // of `window` elements and `outputs` as tremlo asks for them (0 or 1 the value, 2 the
    // gradient, 3 the second-order matrix, 4 also the joint histogram of every warp, built
    // dense by getJointHist). Every array the evaluations keep (the samples' records and
    // groups, the accumulation rows or the dense table, the cells, the smoothed cells, the
    // per-cell and per-column sums, the dense histogram, the walk's tables) is counted at the
    // largest size it can take, for any warps. The arrays of tremlo's outputs are not
    // included.
    static double evalBytes(Kind kind, double bins, int params, double cols, double rows, int order, int interp,
                            double window, int outputs);

protected:
    // ---- the binning engine ----------------------------------------------------------
    // How the samples reach the cells:
    // - kDense: at once, into a dense n x n table of cells, while scanning it costs at most
    //   denseScan values per sample (denseCells);
    // - kRows: the walk records what each sample needs in the place of its template row
    //   (samples grouped by template bin, which no warp changes); the rows are then binned
    //   in turn through a few reused dense rows and handed over as they are done;
    // - kBySample: as kRows, and the gradient is gathered sample by sample as each row is
    //   binned, from the row's counts (measures whose samples move weight to the next bin,
    //   without a window); the cells keep the derivative planes only for the second-order
    //   matrix.
    enum class Strategy { kDense, kRows, kBySample };
    struct Plan {
        Tables tables;
        Strategy strategy;
        bool planes;   // the cells keep the derivative planes (else the pdf alone)
    };
    // The measure's taps for a kind of table (its tapsOf).
    virtual TapsInfo tapsInfo(Tables t) const { return tapsOf(t, nParams, order, interp); }
    // The plan of one evaluation: `gradient` when it takes the gradient (evalD, evalDD),
    // `table` when it needs the derivative table itself (evalDD, DPdfJnt). The one place
    // where the strategy is chosen.
    Plan plan(Tables t, bool gradient, bool table) const;
    // Bins the samples at warp p into `cells` by the plan, with the measure's taps.
    virtual void bin(const CImg<float>& p, const Plan& plan);

    // How the cells of a binning are kept: derivative planes, scaling as they are handed
    // over, and the most cells one sample reaches (room is made for them).
    struct CellForm {
        int planes;          // derivative planes kept per cell
        bool counted;        // the probability is the count times 1 / N (else slot 0, scaled)
        bool scalePdf;       // slot 0 times 1 / N as cells are handed over
        bool negatePlanes;   // the planes times -1 / N as cells are handed over
        int reach;           // the most cells one sample reaches
    };
    // The walk's samples grouped by a key of their template value t: the bin (byParzenBase
    // false) or int(t) + 4 over the range -4 .. n + 3 (true). The k-th sample visited goes to
    // place slot[k]; the places of key g are first[g] .. first[g + 1] - 1, in visiting order.
    struct SampleGroups {
        std::vector<int> slot, first, next;
        int samples = 0;
    };
    // A measure's side of the engine is a recorder, what the walk keeps of a sample, and
    // taps derived from it, what a sample adds to which cells.
    // Recorder: kWalk, the walk it reads (-1 positions, 0 values, 1 gradients, 2 second
    //   derivatives); kInts, kFloats, the integers and floats it keeps per sample (kFloats
    //   0: floats()); kParzenRows, false for samples grouped by template bin and reaching
    //   their own row only, true for samples grouped by the template's window base (-4 ..
    //   n + 3) and reaching from the row before it to two rows after; record(s, ints,
    //   floats); row(s), the template bin of a sample (the dense strategy's row).
    // Taps: using Recorder; kSlots, floats per cell at compile time (0: slots()); form(),
    //   the CellForm; bin(access, ints, floats, row); for kBySample rowsBegin(samples) and
    //   rowBinned(counts, ints, first, count), called before the rows and after each row;
    //   kRowsOnly, taps that only kBySample uses (no dense form is built).
    template <class Taps> void binSamples(const CImg<float>& p, const Plan& plan, const Taps& taps);
    // The rows strategy's walk: every sample's record in recI / recF at its row's place.
    template <class Recorder> const SampleGroups& recordSamples(const CImg<float>& p, const Recorder& rec);
    // What recorders and taps leave as it is.
    struct TapsBase {
        static constexpr int kInts = 0;
        static constexpr bool kParzenRows = false;
        static constexpr bool kRowsOnly = false;
        int row(const WalkSample&) const { return 0; }
        void rowsBegin(int) const {}
        void rowBinned(const int*, const int*, int, int) const {}
    };

    int nBins;                 // n: bins on each axis
    int lastBin;               // n - 1
    CImg<float> parzenWin;     // Z
    bool smoothing;            // Z has more than one element
    HistCells cells;           // the pdf (and derivatives) binned at the last evaluation
    HistCells cellsZ;          // `cells` smoothed by Z
    HistCells* active;         // cellsZ when smoothing, else cells
    CellRows acc;              // where the walks accumulate
    CellRows accZ;             // where the smoothing accumulates
    // A dense table of cells of `slots` floats (and a count) while scanning it costs at
    // most denseScan values per sample; beyond, the samples are binned row by row.
    double denseScan = 2.0;
    bool denseCells(int slots) const { return denseFits(nBins, slots, nSamples, denseScan); }
    static bool denseFits(double bins, int slots, double samples, double scan)
    {
        return bins * bins * (slots + 1.0) <= scan * samples;
    }
    // The most cells samples reaching `taps` bins each can fill: at most n^2.
    std::size_t mostCells(int taps) const { return mostCellsOf(nBins, nSamples, taps); }
    static std::size_t mostCellsOf(double bins, double samples, int taps)
    {
        const double m = std::min(bins * bins, samples * taps);
        return m > 0 && m < 1e9 ? std::size_t(m) : 0;
    }
    const SampleGroups& groupSamples(const CImg<float>& p, bool byParzenBase);
    std::vector<int> recI;     // per-sample records of the rows strategy
    std::vector<float> recF;
    std::vector<float> recScratch;   // one record of a runtime size (the dense strategy)
    CImg<float> margTmp;       // template marginal: one sum per row of the active pdf (n)
    CImg<float> margRef;       // reference marginal: one sum per column of the active pdf (n)
    BsplineValueFn splineSample = nullptr;   // weights of the configured order
    BsplineDerivFn splineDSample = nullptr;  // DzzSample, DllSample, DqqSample, DccSample
    BsplineDerivFn splineSampleD = nullptr;  // zDzSample, lDlSample, qDqSample, cDcSample

    // After binning: the table the sums read (smoothed when there is a window).
    void activate();
    // Whether the gradient and the second-order matrix read the averaged pdf: always here,
    // with nearest-neighbour interpolation only in the partial-volume and Parzen variants.
    virtual bool averages() const { return true; }
    // The value and the gradient by the plan (tables kDPdf): from the derivative table, or
    // gathered sample by sample; with H also the second-order matrix.
    float gradient(const CImg<float>& p, CImg<float>& g, CImgE<float>* H);
    // Both marginals of the active pdf, then entropy(pdf) - entropy(margRef) - entropy(margTmp);
    // with `average`, then the averaged pdf and margRef its column sums (AvgHist); with
    // `gradient` (a gradient follows) the logarithms of the pdf are kept for it.
    float valueOfActive(bool average, bool gradient);
    // The probability the derivative sums read (after valueOfActive): the averaged one where
    // the measure averages.
    float pdfOf(int i) const { return sumPdf_[i]; }
    // g[k] = -sum over cells with P != 0 of (ln(P / margRef[x]) + 1) dP_k, summed in
    // double; leaves that factor per cell in logFactor (0 where P is 0). Where P and
    // margRef[x] are positive the logarithm is ln P - ln margRef[x]: one logarithm per cell
    // (the value's, where the sums read the pdf itself) and one per column.
    void gradientOfActive(CImg<float>& g);
    // ln margRef[x] (after valueOfActive; computed on first use).
    double columnLog(int x)
    {
        double& l = columnLogs_[x];
        if (l != l) l = std::log(double(margRef[x]));
        return l;
    }
    // H(a, b) = sum over cells with P != 0 of dP_a dP_b (1 / P - 1 / margRef[x]) (the second
    // term 0 where margRef[x] is 0); P x P, mirrored.
    void hessianOfActive(CImgE<float>& H);

    const double* logFactor = nullptr;   // per active cell after gradientOfActive

    // The allocations of evalBytes for taps `pdf` and `dpdf`, averaging or not (AvgHist).
    static double bytesFor(const TapsInfo& pdf, const TapsInfo& dpdf, bool averaging, double bins, int params,
                           double cols, double rows, double window, int outputs);

    // Cell accumulation for the derivative taps of NP parameters: S = cellSlots(NP) floats
    // per table cell side by side (the weight, the NP derivatives, zero padding), so that
    // every tap is one short fixed-length update.
    static constexpr int cellSlots(int np) { return np < 4 ? 4 : 8; }
    // coef[q][e]: Jacobian row coefficient q (ax, bx, cx, ay, by, cy) at p of slot e's
    // parameter; 0 in the weight and padding slots.
    template <int S> void cellCoefs(const CImg<float>& p, int np, float (&coef)[6][S]) const;

    // The gradient of kBySample, gathered as the rows are binned in turn. Every sample moves
    // weight J (its record: J times 1 / N) from bin (r, t) to (r + 1, t), so its share of
    // g_k = -sum F dP_k is -J_k (F(r + 1, t) - F(r, t)), where F = ln(A / M) + 1, A the
    // averaged pdf (A(r, t) = (P(r, t) + P(r - 1, t)) / 2, positive at both bins) and M its
    // column sums: F(r + 1, t) - F(r, t) = ln A(r + 1, t) - ln A(r, t) - (ln M(r + 1) -
    // ln M(r)). The first difference is taken from the counts of the row as it is binned, per
    // sample (row); the rest once the marginals are known (sum).
    struct SampleGradient {
        int lo = 0, hi = -1;          // the columns of the samples
        std::vector<double> dlnA;     // per sample: ln A(r + 1, t) - ln A(r, t)
        std::vector<double> dlnM;     // per column r: ln M(r + 1) - ln M(r)
        std::vector<double> pairLog;  // ln A by the sum of the counts of the two bins averaged
        float w = 0.f;                // 1 / N of pairLog
        void begin(int samples, int n, float w);
        // The samples q .. q + k - 1 (bins bin[q ..]) of a row whose counts are at `counts`.
        void row(const int* counts, const int* bin, int q, int k, int last);
        // G[k] = -sum J_k (F(r + 1, t) - F(r, t)) over the samples (bins, np floats of J each),
        // dlnM set.
        template <int NP> void sum(const int* bin, const float* J, int samples, int last, int np, double* G) const;
    };
    SampleGradient sampleGrad_;

private:
    struct CountTaps;
    template <int Form> struct MoveRecorder;
    template <int Form, bool Planes> struct MoveTaps;
    std::vector<float> avgPdf_;      // the averaged pdf per active cell
    const float* sumPdf_ = nullptr;  // the pdf the derivative sums read: avgPdf_ or the cells'
    std::vector<double> logPdf_;     // ln P per active cell with P > 0 (valueOfActive), then
                                     // the gradient's factors (gradientOfActive)
    bool logPdfValid_ = false;       // logPdf_ holds the logarithms of the pdf the sums read
    std::vector<double> columnLogs_; // ln margRef by column, NaN until used
    std::vector<float> margAvg_;     // column sums of the averaged pdf
    bool evaluated_ = false;
    std::vector<float> gAcc_;        // per-pair sums
    std::vector<float> columnRecips_;   // 1 / margRef by column (0 where it is 0)
    std::vector<float> cellWeights_;    // 1 / P - 1 / margRef[x] per active cell
    std::vector<double> gSum_;       // per-parameter sums
    std::vector<double> countLog_;   // e ln e of e = count / N, by count
    float countLogW_ = 0.f;
    SampleGroups groups_;
    bool groupsValid_ = false, groupsParzen_ = false;
    float groupsRate_ = 0.f;
    SamplerV groupsTmp_ = nullptr;
};

template <int S>
inline void CCostFnMI::cellCoefs(const CImg<float>& p, int np, float (&coef)[6][S]) const
{
    float rc[6 * 6];   // row m: (ax, bx, cx, ay, by, cy), affine in the centred point
    warp.jacobianCoefs(p, np, rc);
    for (int q = 0; q < 6; ++q)
        for (int e = 0; e < S; ++e) coef[q][e] = (e >= 1 && e <= np) ? rc[6 * (e - 1) + q] : 0.f;
}

template <class Taps>
void CCostFnMI::binSamples(const CImg<float>& p, const Plan& plan, const Taps& given)
{
    using Rec = typename Taps::Recorder;
    const Taps taps = given;   // (a local: what the taps hold stays in registers)
    constexpr int SC = Taps::kSlots, KF = Rec::kFloats;
    constexpr int NI = Rec::kInts > 0 ? Rec::kInts : 1;
    int S = SC;
    if constexpr (!SC) S = taps.slots();
    std::size_t W = std::size_t(KF);
    if constexpr (!KF) W = std::size_t(taps.floats());
    const int n = nBins, last = lastBin;
    const CellForm form = taps.form();
    const float w = 1.f / nSamples;
    cells.clear(n, form.planes, form.counted ? w : 0.f, mostCells(form.reach));
    if (form.scalePdf || form.negatePlanes) cells.scaleOnEntry(form.scalePdf ? w : 1.f, form.negatePlanes ? -w : 1.f);
    if constexpr (!Taps::kRowsOnly) {
        if (plan.strategy == Strategy::kDense) {
            acc.setup(n, S, n, false);
            const DenseAccess<SC> A = DenseAccess<SC>::of(acc, S);
            if (!KF) sizeTo(recScratch, W);
            float* const fr = recScratch.data();
            auto visit = [&](const WalkSample& s) MI_INLINE {
                int i[NI];
                float fl[KF ? KF : 1];   // (a record of known size stays in registers)
                float* const f = KF ? fl : fr;
                taps.record(s, i, f);
                taps.bin(A, i, f, taps.row(s));
            };
            walkAny<Rec::kWalk>(p, visit);
            acc.emitAll(cells);
            return;
        }
    }
    // The rows in turn, each handed over once no later sample reaches it. The samples of
    // group g have the row `base` = g - off and reach from `before` rows before it to
    // inTurn - 1 - before rows after it.
    const SampleGroups& G = recordSamples(p, static_cast<const Rec&>(taps));
    const int* const RI = recI.data();
    const float* const RF = recF.data();
    constexpr int off = Rec::kParzenRows ? 4 : 0, before = Rec::kParzenRows ? 1 : 0;
    constexpr int inTurn = Rec::kParzenRows ? 4 : 1;
    const bool bySample = plan.strategy == Strategy::kBySample;
    if (bySample) taps.rowsBegin(G.samples);
    acc.setup(n, S, inTurn, true);
    const RowAccess<SC, inTurn> A = RowAccess<SC, inTurn>::of(acc, S);
    int next = 0;   // the first row not yet handed over
    const int groups = int(G.first.size()) - 1;
    for (int g = 0; g < groups; ++g) {
        const int b = G.first[g], e = G.first[g + 1];
        if (b == e) continue;
        const int base = g - off;
        for (; next < base - before && next <= last; ++next) A.emit(next, cells);
        for (int q = b; q < e; ++q) taps.bin(A, RI + std::size_t(q) * Rec::kInts, RF + std::size_t(q) * W, base);
        if (bySample) taps.rowBinned(acc.counts(A.slotOf(base)), RI, b, e - b);
    }
    for (; next <= last; ++next) A.emit(next, cells);
}

template <class Recorder>
const CCostFnMI::SampleGroups& CCostFnMI::recordSamples(const CImg<float>& p, const Recorder& given)
{
    const Recorder rec = given;
    std::size_t W = std::size_t(Recorder::kFloats);
    if constexpr (!Recorder::kFloats) W = std::size_t(rec.floats());
    const SampleGroups& G = groupSamples(p, Recorder::kParzenRows);
    sizeTo(recI, std::size_t(G.samples) * Recorder::kInts);
    sizeTo(recF, std::size_t(G.samples) * W);
    int* const RI = recI.data();
    float* const RF = recF.data();
    const int* const slot = G.slot.data();
    int k = 0;
    auto visit = [&](const WalkSample& s) MI_INLINE {
        const std::size_t q = std::size_t(slot[k++]);
        rec.record(s, RI + q * Recorder::kInts, RF + q * W);
    };
    walkAny<Recorder::kWalk>(p, visit);
    return G;
}
