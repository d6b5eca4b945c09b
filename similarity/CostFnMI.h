// Mutual information from a joint histogram of reference and template intensities, with
// an optional smoothing window Z, its gradient and a second-order matrix.
//
// Tables: column x (the fast axis) is the reference bin, row y the template bin; plane k of
// a derivative table belongs to warp parameter k, element (x, y, k) at x + n (y + n k).
// Intensities are bin numbers: a value's bin is the value truncated toward zero. Every
// histogram update goes through binOf(), which keeps the bin inside 0 .. lastBin (see there).
//
// The value is joint entropy less both marginal entropies: minus the mutual information.
// After eval the active pdf is the (smoothed) joint pdf of the warp; after evalD it is the
// averaged table (AvgHist) and margRef its column sums; after evalDD both hold reciprocals.
#pragma once

#include "bridge/cimg.h"
#include "similarity/Bspline.h"
#include "similarity/CImgI.h"
#include "similarity/CostFn.h"

// out[y] = sum over x of H(x, y) for y < height of H (first plane). Only the elements of out
// that exist are written; elements from index height on are left as they are.
void marginalOverX(const CImg<float>& H, CImg<float>& out);
// out[x] = sum over y of H(x, y) for x < width of H (first plane); as above for out's size.
void marginalOverY(const CImg<float>& H, CImg<float>& out);
// -sum of e ln e over the elements e > 0 of the first width * height elements of v,
// accumulated in double precision. Zero, negative and NaN elements are skipped.
float entropy(const CImg<float>& v);

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

    // Averages the active pdf along the reference axis and recomputes margRef.
    virtual void AvgHist();
    virtual float Alpha();
    // Fills pdf (made n x n) with the joint pdf at warp p.
    virtual void PdfJnt(const CImg<float>& p, CImg<float>& pdf);
    // Fills pdf (n x n) and its derivative table dpdf (made n x n x P) at warp p.
    virtual void DPdfJnt(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf);
    // Copy of the (smoothed) joint pdf left by the last evaluation.
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

protected:
    int nBins;                 // n: bins on each axis
    int lastBin;               // n - 1
    CImg<float> pdfJnt;        // n x n joint pdf
    CImg<float> dPdfJnt;       // n x n x P derivative table
    CImg<float> pdfJntZ;       // pdfJnt smoothed with Z (empty without a window)
    CImg<float> dPdfJntZ;      // dPdfJnt smoothed with Z (empty without a window)
    CImg<float> parzenWin;     // Z
    CImg<float>* activePdf;    // pdfJntZ when smoothing, else pdfJnt
    CImg<float>* activeDPdf;   // dPdfJntZ when smoothing, else dPdfJnt
    CImg<float> margTmp;       // template marginal: one sum per row of the active pdf
    CImg<float> margRef;       // reference marginal: one sum per column of the active pdf
    BsplineValueFn splineSample = nullptr;   // weights of the configured order
    BsplineDerivFn splineDSample = nullptr;  // DzzSample, DllSample, DqqSample, DccSample
    BsplineDerivFn splineSampleD = nullptr;  // zDzSample, lDlSample, qDqSample, cDcSample
    bool smoothing;            // Z has more than one element

    // pdfJntZ = pdfJnt smoothed by Z; dPdfJntZ likewise (plane by plane).
    void smoothPdf();
    void smoothDPdf();
    // Both marginals of the active pdf, then entropy(pdf) - entropy(margRef) - entropy(margTmp).
    float valueOfActive();
    // g[k] = -sum over bins with P != 0 of (ln(P / margRef[x]) + 1) dP_k on the active tables.
    void gradientOfActive(CImg<float>& g);
    // Reciprocals of the non-zero entries of the active pdf and of margRef, then the
    // first-derivative products into H (P x P, mirrored).
    void hessianOfActive(CImgE<float>& H);
    // Fills `tab` with 0, as an image of the given size (reusing its buffer when it fits).
    static void zeroTable(CImg<float>& tab, int w, int h, int d = 1, int c = 1);
    // dst = src smoothed by Z through smoothTable; a window of several planes acts on each
    // plane (and channel) of src on its own, as it does on the one-plane pdf.
    void smoothByZ(const CImg<float>& src, CImg<float>& dst) const;

    // n x n scratch: after gradientOfActive, ln(P / margRef[x]) + 1 at every bin with P != 0.
    CImg<double> logFactor;

    // Cell accumulation for the derivative walks of NP parameters: S = cellSlots(NP) floats
    // per table cell side by side (the weight, the NP derivatives, zero padding), so that
    // every tap is one short fixed-length update.
    static constexpr int cellSlots(int np) { return np < 4 ? 4 : 8; }
    // coef[q][e]: Jacobian row coefficient q (ax, bx, cx, ay, by, cy) at p of slot e's
    // parameter; 0 in the weight and padding slots.
    template <int NP, int S> void cellCoefs(const CImg<float>& p, float (&coef)[6][S]) const;
    // The n x n cells of S floats, all 0.
    template <int S> float* zeroedCells();
    // pdf = the cells' weights / N; plane m of dpdf = their derivative m / -N.
    template <int NP, int S> void cellsToTables(CImg<float>& pdf, CImg<float>& dpdf) const;

private:
    // DPdfJnt's sample loop: the Jacobian rows of a CWarp::JacForm inlined, or (-1) any
    // warp through CWarp::CalcJcbn.
    template <int Form> void dpdfWalk(const CImg<float>& p, int* counts, float* acc);
    CImg<float> dAcc_;         // P x n^2: the derivative table with the P values of a bin together
    CImg<int> counts_;         // n x n samples per bin of the plain pdf
    void countsToPdf(CImg<float>& pdf) const;
    CImg<int> nonZero_;        // bins (x + n y) of the active pdf with a non-zero entry
    int nNonZero_ = 0;
    void listNonZero();
    CImg<float> cellAcc_;      // n x n cells of S floats (zeroedCells)
};

template <int NP, int S>
inline void CCostFnMI::cellCoefs(const CImg<float>& p, float (&coef)[6][S]) const
{
    float rc[6 * 6];   // row m: (ax, bx, cx, ay, by, cy), affine in the centred point
    warp.jacobianCoefs(p, NP, rc);
    for (int q = 0; q < 6; ++q)
        for (int e = 0; e < S; ++e) coef[q][e] = (e >= 1 && e <= NP) ? rc[6 * (e - 1) + q] : 0.f;
}

template <int S>
inline float* CCostFnMI::zeroedCells()
{
    const long nn = (long)nBins * nBins;
    if ((long)cellAcc_.size() < nn * S) cellAcc_.assign(nn * S, 1, 1, 1);
    float* const A = cellAcc_.data();
    for (long e = 0; e < nn * S; ++e) A[e] = 0.f;
    return A;
}

template <int NP, int S>
inline void CCostFnMI::cellsToTables(CImg<float>& pdf, CImg<float>& dpdf) const
{
    const long nn = (long)nBins * nBins;
    const float c = 1.f / nSamples;
    const float* const A = cellAcc_.data();
    float* const P = pdf.data();
    float* const D = dpdf.data();
    for (long o = 0; o < nn; ++o) {
        const float* a = A + S * o;
        P[o] = a[0] * c;
        for (int m = 0; m < NP; ++m) D[m * nn + o] = a[1 + m] * -c;
    }
}
