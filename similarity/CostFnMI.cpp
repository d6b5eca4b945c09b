#include "similarity/CostFnMI.h"

#include <cmath>
#include <limits>

#include "similarity/smooth.h"

// The per-sample bodies are inlined into every instantiation of the base's walk.
#if defined(__GNUC__)
#define MI_INLINE __attribute__((always_inline))
#define MI_UNROLL _Pragma("GCC unroll 8")
#else
#define MI_INLINE
#define MI_UNROLL
#endif

namespace {

// Tables larger than this many elements (n^2 (1 + P)) are refused: the intensities are
// meant to be bin numbers, and a huge table would exhaust memory instead of failing.
const double kMaxTableElements = double(1 << 28);

// (int)max(img) + 1, at least 1. Non-finite elements do not count (binOf puts them into
// the edge bins).
int binsFor(const CImg<float>& img, int nParams)
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
    if (!(n * n * (1.0 + (nParams > 0 ? nParams : 0)) <= kMaxTableElements))
        throw cimg_library::CImgArgumentException(
            "CCostFnMI: the largest intensity %g needs a joint histogram too large to build "
            "(intensities are histogram bin numbers).", double(m));
    return int(n);
}

} // namespace

// ---- joint-histogram functions ------------------------------------------------------------

void marginalOverX(const CImg<float>& H, CImg<float>& out)
{
    const int w = H.width(), h = H.height();
    const int m = int(out.size()) < h ? int(out.size()) : h;
    float* o = out.data();
    const float* d = H.data();
    for (int y = 0; y < m; ++y) {
        float s = 0.f;
        const float* row = d + (long)y * w;
        for (int x = 0; x < w; ++x) s += row[x];
        o[y] = s;
    }
}

void marginalOverY(const CImg<float>& H, CImg<float>& out)
{
    const int w = H.width(), h = H.height();
    const int m = int(out.size()) < w ? int(out.size()) : w;
    float* o = out.data();
    const float* d = H.data();
    for (int x = 0; x < m; ++x) o[x] = 0.f;
    for (int y = 0; y < h; ++y) {
        const float* row = d + (long)y * w;
        for (int x = 0; x < m; ++x) o[x] += row[x];
    }
}

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
    const int nr = binsFor(ref, nParams), nt = binsFor(tmp, nParams);
    nBins = nr > nt ? nr : nt;
    lastBin = nBins - 1;
    const int n = nBins, P = nParams;
    const int zw = parzenWin.width(), zh = parzenWin.height();
    smoothing = parzenWin.size() > 1;
    pdfJnt.assign(n, n, 1, 1, 0.f);
    dPdfJnt.assign(n, n, P, 1, 0.f);
    if (smoothing) {
        // Without a window the smoothed tables are never used: they stay empty.
        pdfJntZ.assign(n + zw - 1, n + zh - 1, 1, 1, 0.f);
        dPdfJntZ.assign(n + zw - 1, n + zh - 1, P, 1, 0.f);
        margRef.assign(pdfJntZ.width(), 1, 1, 1, 0.f);
        margTmp.assign(pdfJntZ.height(), 1, 1, 1, 0.f);
        activePdf = &pdfJntZ;
        activeDPdf = &dPdfJntZ;
    } else {
        margRef.assign(n, 1, 1, 1, 0.f);
        margTmp.assign(n, 1, 1, 1, 0.f);
        activePdf = &pdfJnt;
        activeDPdf = &dPdfJnt;
    }
    // scratch, written before it is read
    logFactor.assign(n, n);
    nonZero_.assign(n, n);
    counts_.assign(n, n);
    if (nParams > 0) dAcc_.assign(nParams, n, n);
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
    setIntensityRate();
}

void CCostFnMI::setIntensityRate()
{
    const int m = binsFor(tmp, nParams);
    if (m <= nBins) return;
    lastBin = m - 1;
    nBins = m;
    margRef.assign(m, 1, 1, 1, 0.f);
    margTmp.assign(m, 1, 1, 1, 0.f);
    pdfJnt.assign(m, m, 1, 1, 0.f);
    dPdfJnt.assign(m, m, nParams, 1, 0.f);
    logFactor.assign(m, m, 1, 1, 0.0);
    nonZero_.assign(m, m);
    counts_.assign(m, m, 1, 1, 0);
    if (nParams > 0) dAcc_.assign(nParams, m, m, 1, 0.f);
}

float CCostFnMI::Alpha() { return 2.f; }

void CCostFnMI::zeroTable(CImg<float>& tab, int w, int h, int d, int c)
{
    tab.assign(w, h, d, c);
    if (!tab.is_empty()) tab.fill(0.f);
}

// The plain pdf is counted in integers (exact, in any order) and scaled by 1/N once.
void CCostFnMI::countsToPdf(CImg<float>& pdf) const
{
    const float w = 1.f / nSamples;
    const int n = nBins;
    pdf.assign(n, n);
    const int* C = counts_.data();
    float* const P = pdf.data();
    for (long b = 0, nn = (long)n * n; b < nn; ++b) P[b] = C[b] ? float(C[b]) * w : 0.f;
}

void CCostFnMI::PdfJnt(const CImg<float>& p, CImg<float>& pdf)
{
    const int n = nBins, last = lastBin;
    counts_.assign(n, n);
    counts_.fill(0);
    int* const C = counts_.data();
    walkValue(p, [&](const WalkSample& s) MI_INLINE {
        ++C[binOf(s.r, last) + (long)n * binOf(s.t, last)];
    });
    countsToPdf(pdf);
}

template <int Form>
void CCostFnMI::dpdfWalk(const CImg<float>& p, int* const C, float* const A)
{
    const int n = nBins, last = lastBin;
    constexpr int NP = Form >= 0 ? CWarp::formRows(Form) : 0;
    const int np = Form >= 0 ? NP : nParams;
    const float w = 1.f / nSamples;
    float* const J = jcbn.data();
    warp.takeParams(p);   // the Jacobian rows read the warp's state at p
    const CWarp::JacState st = warp.jacState(p);
    walkD(p, [&](const WalkSample& s) MI_INLINE {
        const int r = binOf(s.r, last);
        const long o = r + (long)n * binOf(s.t, last);
        ++C[o];
        if (r == last) return;   // the move to the next bin and back cancel
        // the P values of bin o, then those of bin o + 1
        float* const d = A + o * np;
        if constexpr (Form >= 0) {
            float Jf[NP];
            CWarp::jcbnAt<Form>(st, s.x, s.y, s.rdx, s.rdy, Jf);
            MI_UNROLL
            for (int k = 0; k < NP; ++k) Jf[k] *= w;
            MI_UNROLL
            for (int k = 0; k < NP; ++k) d[k] -= Jf[k];
            MI_UNROLL
            for (int k = 0; k < NP; ++k) d[NP + k] += Jf[k];
        } else {
            warp.CalcJcbn(jcbn, p, s.x, s.y, s.rdx, s.rdy);
            for (int k = 0; k < np; ++k) {
                const float jk = J[k] * w;
                d[k] -= jk;
                d[np + k] += jk;
            }
        }
    });
}

void CCostFnMI::DPdfJnt(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf)
{
    const int n = nBins, np = nParams;
    const long nn = (long)n * n;
    counts_.assign(n, n);
    counts_.fill(0);
    int* const C = counts_.data();
    if (np <= 0) {
        dpdf.assign();
        const int last = lastBin;
        walkD(p, [&](const WalkSample& s) MI_INLINE { ++C[binOf(s.r, last) + (long)n * binOf(s.t, last)]; });
        countsToPdf(pdf);
        return;
    }
    // Accumulated with the P values of a bin side by side (two cache lines per sample),
    // then laid out plane by plane; every element sees the same additions in the same order.
    zeroTable(dAcc_, np, n, n);
    float* const A = dAcc_.data();
    const CWarp::JacForm form = warp.jacForm();
    if (np != warp.jacobianRows() || np != CWarp::formRows(form)) dpdfWalk<-1>(p, C, A);
    else if (form == CWarp::kJacShift) dpdfWalk<CWarp::kJacShift>(p, C, A);
    else if (form == CWarp::kJacEuclidean) dpdfWalk<CWarp::kJacEuclidean>(p, C, A);
    else if (form == CWarp::kJacSimilarity) dpdfWalk<CWarp::kJacSimilarity>(p, C, A);
    else dpdfWalk<CWarp::kJacAffine>(p, C, A);
    countsToPdf(pdf);
    dpdf.assign(n, n, np);
    float* const D = dpdf.data();
    for (int k = 0; k < np; ++k) {
        float* Dk = D + k * nn;
        const float* a = A + k;
        for (long b = 0; b < nn; ++b, a += np) Dk[b] = *a;
    }
}

void CCostFnMI::smoothByZ(const CImg<float>& src, CImg<float>& dst) const
{
    if (parzenWin.depth() == 1 || src.depth() <= 1) {
        smoothTableInto(src, parzenWin, dst);
        return;
    }
    dst.assign(src.width(), src.height(), src.depth(), src.spectrum());
    for (int c = 0; c < src.spectrum(); ++c)
        for (int k = 0; k < src.depth(); ++k)
            dst.get_shared_slice(k, c) = smoothTable(src.get_shared_slice(k, c), parzenWin);
}

void CCostFnMI::smoothPdf() { smoothByZ(pdfJnt, pdfJntZ); }

void CCostFnMI::smoothDPdf() { smoothByZ(dPdfJnt, dPdfJntZ); }

float CCostFnMI::valueOfActive()
{
    marginalOverX(*activePdf, margTmp);
    marginalOverY(*activePdf, margRef);
    return entropy(*activePdf) - entropy(margRef) - entropy(margTmp);
}

float CCostFnMI::eval(const CImg<float>& p)
{
    switchSamplers(p);
    PdfJnt(p, pdfJnt);
    if (smoothing) smoothPdf();
    return valueOfActive();
}

void CCostFnMI::AvgHist()
{
    CImg<float>& pdf = *activePdf;
    const int w = pdf.width() < nBins ? pdf.width() : nBins;
    const int h = pdf.height() < nBins ? pdf.height() : nBins;
    for (int y = 0; y < h; ++y) {
        float* row = pdf.data() + (long)y * pdf.width();
        for (int x = w - 1; x >= 1; --x) row[x] += row[x - 1];
    }
    pdf *= 0.5f;
    marginalOverY(pdf, margRef);
}

void CCostFnMI::listNonZero()
{
    const CImg<float>& pdf = *activePdf;
    const int n = nBins;
    const int w = pdf.width() < n ? pdf.width() : n;
    const int h = pdf.height() < n ? pdf.height() : n;
    nonZero_.assign(n, n);
    int* L = nonZero_.data();
    int c = 0;
    for (int y = 0; y < h; ++y) {
        const float* row = pdf.data() + (long)y * pdf.width();
        for (int x = 0; x < w; ++x)
            if (row[x] != 0.f) L[c++] = x + y * n;
    }
    nNonZero_ = c;
}

void CCostFnMI::gradientOfActive(CImg<float>& g)
{
    if (!g.is_empty()) g.fill(0.f);
    const CImg<float>& pdf = *activePdf;
    const CImg<float>& dpdf = *activeDPdf;
    const int n = nBins;
    const int w = pdf.width() < n ? pdf.width() : n;
    const int h = pdf.height() < n ? pdf.height() : n;
    int np = nParams < dpdf.depth() ? nParams : dpdf.depth();
    if (np > (int)g.size()) np = (int)g.size();
    if (w > dpdf.width() || h > dpdf.height()) return;
    listNonZero();
    logFactor.assign(n, n);
    double* F = logFactor.data();
    const int* L = nonZero_.data();
    const float* M = margRef.data();
    const int mn = (int)margRef.size();
    const int pw = pdf.width(), dw = dpdf.width();
    for (int i = 0; i < nNonZero_; ++i) {
        const int x = L[i] % n, y = L[i] / n;
        const float q = pdf.data()[x + (long)y * pw] / (x < mn ? M[x] : 0.f);
        F[L[i]] = std::log(double(q)) + 1.0;
    }
    const long dplane = (long)dpdf.width() * dpdf.height();
    for (int k = 0; k < np; ++k) {
        const float* Dk = dpdf.data() + k * dplane;
        float gk = g[k];
        for (int i = 0; i < nNonZero_; ++i) {
            const int x = L[i] % n, y = L[i] / n;
            gk = float(gk - F[L[i]] * Dk[x + (long)y * dw]);
        }
        g[k] = gk;
    }
}

float CCostFnMI::evalD(const CImg<float>& p, CImg<float>& g)
{
    switchSamplers(p);
    DPdfJnt(p, pdfJnt, dPdfJnt);
    if (smoothing) {
        smoothPdf();
        smoothDPdf();
    }
    const float value = valueOfActive();
    AvgHist();
    gradientOfActive(g);
    return value;
}

void CCostFnMI::hessianOfActive(CImgE<float>& H)
{
    if (!H.is_empty()) H.fill(0.f);
    CImg<float>& pdf = *activePdf;
    for (float* q = pdf.data(), *e = q + pdf.size(); q < e; ++q)
        if (*q != 0.f) *q = 1.f / *q;
    for (float* q = margRef.data(), *e = q + margRef.size(); q < e; ++q)
        if (*q != 0.f) *q = 1.f / *q;

    const CImg<float>& dpdf = *activeDPdf;
    const int n = nBins, P = nParams;
    const int w = pdf.width() < n ? pdf.width() : n;
    const int h = pdf.height() < n ? pdf.height() : n;
    const int np = P < dpdf.depth() ? P : dpdf.depth();
    if (w > dpdf.width() || h > dpdf.height()) return;
    listNonZero();
    const int* L = nonZero_.data();
    const int pw = pdf.width(), dw = dpdf.width();
    const long dplane = (long)dpdf.width() * dpdf.height();
    const float* R = pdf.data();
    const float* M = margRef.data();
    const int mn = (int)margRef.size();
    const long hsize = (long)H.size();
    for (int a = 0; a < np; ++a)
        for (int b = a; b < np; ++b) {
            const long idx = b + (long)P * a;
            if (idx >= hsize) continue;
            const float* Da = dpdf.data() + a * dplane;
            const float* Db = dpdf.data() + b * dplane;
            float s = H[idx];
            for (int i = 0; i < nNonZero_; ++i) {
                const int x = L[i] % n, y = L[i] / n;
                const long o = x + (long)y * dw;
                s += Da[o] * Db[o] * (R[x + (long)y * pw] - (x < mn ? M[x] : 0.f));
            }
            H[idx] = s;
        }
    // mirror: H(a, b) = H(b, a) for a < b
    const int W = H.width(), Hh = H.height();
    for (int b = 1; b < Hh; ++b)
        for (int a = 0; a < b && a < W; ++a)
            if (b < W) H(a, b) = H(b, a);
}

float CCostFnMI::evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H)
{
    const float value = evalD(p, g);
    hessianOfActive(H);
    return value;
}

CImg<float> CCostFnMI::getJointHist()
{
    return CImg<float>(smoothing ? pdfJntZ : pdfJnt, false);
}
