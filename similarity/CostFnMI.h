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
// the derivative sums are taken in double. The cells are accumulated in a dense table while
// it is small (denseCells); above that the walk records what each sample needs, and the
// samples, grouped by their template bin (which no warp changes), are binned one row of the
// table at a time, and evalD takes the gradient of a measure whose samples move weight to
// the next bin sample by sample (gradientBySample). The dense n x n tables are built only on
// request: getJointHist, PdfJnt, DPdfJnt.
//
// The value is joint entropy less both marginal entropies: minus the mutual information.
// The gradient and the second-order matrix use the averaged table (AvgHist) where the
// measure averages.
#pragma once

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "bridge/cimg.h"
#include "similarity/Bspline.h"
#include "similarity/CImgI.h"
#include "similarity/CostFn.h"
#include "similarity/HistCells.h"

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
    // The dense joint pdf (n x n) and its derivative table (n x n x P) at warp p, as evalD
    // bins them.
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

protected:
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
    bool denseCells(int slots) const { return double(nBins) * nBins * (slots + 1.0) <= denseScan * nSamples; }
    // The most cells samples reaching `taps` bins each can fill: at most n^2.
    std::size_t mostCells(int taps) const
    {
        const double m = std::min(double(nBins) * nBins, double(nSamples) * taps);
        return m > 0 && m < 1e9 ? std::size_t(m) : 0;
    }
    // The walk's samples grouped by a key of their template value t: the bin (byParzenBase
    // false) or int(t) + 4 over the range -4 .. n + 3 (true). The k-th sample visited goes to
    // place slot[k]; the places of key g are first[g] .. first[g + 1] - 1, in visiting order.
    struct SampleGroups {
        std::vector<int> slot, first, next;
        int samples = 0;
    };
    const SampleGroups& groupSamples(const CImg<float>& p, bool byParzenBase);
    std::vector<int> recI;     // per-sample records of the row-by-row binning
    std::vector<float> recF;
    CImg<float> margTmp;       // template marginal: one sum per row of the active pdf (n)
    CImg<float> margRef;       // reference marginal: one sum per column of the active pdf (n)
    BsplineValueFn splineSample = nullptr;   // weights of the configured order
    BsplineDerivFn splineDSample = nullptr;  // DzzSample, DllSample, DqqSample, DccSample
    BsplineDerivFn splineSampleD = nullptr;  // zDzSample, lDlSample, qDqSample, cDcSample

    // The joint pdf at warp p into `cells`: slot 0 of every bin reached, its probability.
    virtual void binPdf(const CImg<float>& p);
    // The joint pdf and its derivatives at warp p into `cells`: slot 0 the probability,
    // slots 1 .. P the derivatives by the warp parameters (further slots 0).
    virtual void binDPdf(const CImg<float>& p);

    // After binning: the table the sums read (smoothed when there is a window).
    void activate();
    // Whether the gradient and the second-order matrix read the averaged pdf: always here,
    // with nearest-neighbour interpolation only in the partial-volume and Parzen variants.
    virtual bool averages() const { return true; }
    // Whether binDPdf is this class's: each sample moves weight from its bin to the next.
    virtual bool movesBins() const { return true; }
    // Whether evalD and evalDD take the gradient sample by sample: measures that move bins,
    // binned row by row, without a window.
    bool bySample() const;
    // The value and the gradient from the pdf and the samples: g_k = -sum F dP_k taken
    // sample by sample as the rows are binned (SampleGradient); with H also the derivative
    // table and from it the second-order matrix.
    float gradientBySample(const CImg<float>& p, CImg<float>& g, CImgE<float>* H);
    // The value and the gradient from the derivative table (binDPdf, smoothed, averaged).
    float gradientByTable(const CImg<float>& p, CImg<float>& g);
    // Both marginals of the active pdf, then entropy(pdf) - entropy(margRef) - entropy(margTmp);
    // with `average`, then the averaged pdf and margRef its column sums (AvgHist).
    float valueOfActive(bool average);
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
    // The cells binned from now on enter `cells` scaled: slot 0 by 1 / N, with `planes` also
    // every further slot by -1 / N.
    void scaleOnEntry(bool planes);

    std::vector<double> logFactor;   // per active cell after gradientOfActive

    // Cell accumulation for the derivative walks of NP parameters: S = cellSlots(NP) floats
    // per table cell side by side (the weight, the NP derivatives, zero padding), so that
    // every tap is one short fixed-length update.
    static constexpr int cellSlots(int np) { return np < 4 ? 4 : 8; }
    // coef[q][e]: Jacobian row coefficient q (ax, bx, cx, ay, by, cy) at p of slot e's
    // parameter; 0 in the weight and padding slots.
    template <int NP, int S> void cellCoefs(const CImg<float>& p, float (&coef)[6][S]) const;

private:
    // binDPdf's sample loop: the Jacobian rows of a CWarp::JacForm inlined, or (-1) any
    // warp through CWarp::CalcJcbn.
    template <int Form> void dpdfWalk(const CImg<float>& p);
    std::vector<float> avgPdf_;      // the averaged pdf per active cell
    const float* sumPdf_ = nullptr;  // the pdf the derivative sums read: avgPdf_ or the cells'
    std::vector<double> logPdf_;     // ln P per active cell with P > 0 (valueOfActive)
    bool logPdfValid_ = false;       // logPdf_ holds the logarithms of the pdf the sums read
    std::vector<double> columnLogs_; // ln margRef by column, NaN until used
    std::vector<float> margAvg_;     // column sums of the averaged pdf
    bool evaluated_ = false;
    std::vector<float> gAcc_;        // per-pair sums
    std::vector<double> gSum_;       // per-parameter sums
    bool countsOnly_ = false;        // binDPdf bins the pdf only and keeps the records
    // The gradient of gradientBySample, gathered as binDPdf bins the rows in turn. Every
    // sample moves weight J (its record: J times 1 / N) from bin (r, t) to (r + 1, t), so
    // its share of g_k = -sum F dP_k is -J_k (F(r + 1, t) - F(r, t)), where F = ln(A / M) + 1,
    // A the averaged pdf (A(r, t) = (P(r, t) + P(r - 1, t)) / 2, positive at both bins) and M
    // its column sums: F(r + 1, t) - F(r, t) = ln A(r + 1, t) - ln A(r, t) - (ln M(r + 1) -
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
    bool sampleGradOn_ = false;      // binDPdf gathers sampleGrad_
    std::vector<double> countLog_;   // e ln e of e = count / N, by count
    float countLogW_ = 0.f;
    SampleGroups groups_;
    bool groupsValid_ = false, groupsParzen_ = false;
    float groupsRate_ = 0.f;
    SamplerV groupsTmp_ = nullptr;
};

template <int NP, int S>
inline void CCostFnMI::cellCoefs(const CImg<float>& p, float (&coef)[6][S]) const
{
    float rc[6 * 6];   // row m: (ax, bx, cx, ay, by, cy), affine in the centred point
    warp.jacobianCoefs(p, NP, rc);
    for (int q = 0; q < 6; ++q)
        for (int e = 0; e < S; ++e) coef[q][e] = (e >= 1 && e <= NP) ? rc[6 * (e - 1) + q] : 0.f;
}
