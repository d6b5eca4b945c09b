#include "similarity/CostFnMIpz.h"

namespace {

// A value moved into [-4, last + 4] (NaN to -4). Beyond that range every tap of every
// window lies outside the table on the same side, so clamping the taps gives the same
// table; inside it nothing changes. The integer base of the taps then always exists.
inline float guard(float x, int last)
{
    const float hi = float(last) + 4.f;
    const float c = x > -4.f ? x : -4.f;
    return c < hi ? c : hi;
}

inline int clampTap(int k, int last) { return CCostFnMI::clampBin(k, last); }

// Tap selection along one axis for T taps: bins of the taps, clamped into 0 .. last, and
// the offset of the first tap's unclamped position from x (returned). m is trunc(x).
template <int T> float selectTaps(float x, int m, int last, int* bins);

template <> float selectTaps<1>(float, int m, int last, int* bins)
{
    bins[0] = clampTap(m, last);
    return 0.f;
}

template <> float selectTaps<2>(float x, int m, int last, int* bins)
{
    bins[0] = clampTap(m, last);
    bins[1] = clampTap(m + 1, last);
    return float(m) - x;
}

template <> float selectTaps<3>(float x, int m, int last, int* bins)
{
    const int first = float(m) - x > -0.5f ? m - 1 : m;
    for (int k = 0; k < 3; ++k) bins[k] = clampTap(first + k, last);
    return float(first) - x;
}

template <> float selectTaps<4>(float x, int m, int last, int* bins)
{
    for (int k = 0; k < 4; ++k) bins[k] = clampTap(m - 1 + k, last);
    return float(m - 1) - x;
}

// See CostFnMIpv.cpp: the warp's Jacobian rows from CalcJcbn at three points.
void jacobianRowCoefs(CWarp& w, const CImg<float>& p, CImg<float>& J, int n, float* out)
{
    const float px[3] = {0.f, 1.f, 0.f}, py[3] = {0.f, 0.f, 1.f};
    for (int a = 0; a < 2; ++a) {
        float v[3][6];
        for (int c = 0; c < 3; ++c) {
            J.fill(0.f);
            w.CalcJcbn(J, p, px[c], py[c], a == 0 ? 1.f : 0.f, a == 0 ? 0.f : 1.f);
            for (int m = 0; m < n; ++m) v[c][m] = J[m];
        }
        for (int m = 0; m < n; ++m) {
            out[6 * m + 3 * a] = v[0][m];
            out[6 * m + 3 * a + 1] = v[1][m] - v[0][m];
            out[6 * m + 3 * a + 2] = v[2][m] - v[0][m];
        }
    }
}

}  // namespace

CCostFnMIpz::CCostFnMIpz(CImgI<float>& r, CImgI<float>& t, int code, CImg<float> Z)
    : CCostFnMI(r, t, code, Z)
{
    for (int k = 0; k < 4; ++k) refBins[k] = tmpBins[k] = 0;
    rowCoefs_.assign(6 * (nParams > 0 ? nParams : 1), 1, 1, 1, 0.f);
}

CCostFnMIpz::~CCostFnMIpz() {}

void CCostFnMIpz::setSampleRate(float) { CCostFn::setSampleRate(1.f); }

void CCostFnMIpz::AvgHist()
{
    if (interp == 0) CCostFnMI::AvgHist();
}

float CCostFnMIpz::Alpha() { return interp != 0 ? 1.f : 2.f; }

template <int T>
float* CCostFnMIpz::wts(float v, float t)
{
    const int L = lastBin;
    v = guard(v, L);
    t = guard(t, L);
    const float ov = selectTaps<T>(v, int(v), L, refBins);
    const float ot = selectTaps<T>(t, int(t), L, tmpBins);
    if constexpr (T == 1) {
        (void)ov; (void)ot;
        bspl.wts2d[0] = 1.f;
        return bspl.wts2d;
    } else if constexpr (T == 2) {
        return bspl.linearSample(ot, ov);
    } else if constexpr (T == 3) {
        return bspl.quadSample(ot, ov);
    } else {
        return bspl.cubicSample(ot, ov);
    }
}

template <int T>
float* CCostFnMIpz::dWts(float v, float t, float*& out)
{
    const int L = lastBin;
    v = guard(v, L);
    t = guard(t, L);
    if constexpr (T == 1) {
        // Nearest bins, and the linear window of their offsets; the caller uses tap 0.
        const int mv = int(v + 0.5f), mt = int(t + 0.5f);
        selectTaps<2>(v, mv, L, refBins);
        selectTaps<2>(t, mt, L, tmpBins);
        return bspl.lDlSample(float(mt) - t, float(mv) - v, out);
    } else if constexpr (T == 2) {
        const float ov = selectTaps<2>(v, int(v), L, refBins);
        const float ot = selectTaps<2>(t, int(t), L, tmpBins);
        return bspl.lDlSample(ot, ov, out);
    } else if constexpr (T == 3) {
        const float ov = selectTaps<3>(v, int(v), L, refBins);
        const float ot = selectTaps<3>(t, int(t), L, tmpBins);
        return bspl.qDqSample(ot, ov, out);
    } else {
        const int mv = v < 0.f ? int(v) - 1 : int(v);
        const float ov = selectTaps<4>(v, mv, L, refBins);
        const float ot = selectTaps<4>(t, int(t), L, tmpBins);
        return bspl.cDcSample(ot, ov, out);
    }
}

float* CCostFnMIpz::getWts(float v, float t)
{
    switch (windowTaps()) {
    case 1: return wts<1>(v, t);
    case 2: return wts<2>(v, t);
    case 3: return wts<3>(v, t);
    default: return wts<4>(v, t);
    }
}

float* CCostFnMIpz::getDWts(float v, float t, float*& out)
{
    switch (windowTaps()) {
    case 1: return dWts<1>(v, t, out);
    case 2: return dWts<2>(v, t, out);
    case 3: return dWts<3>(v, t, out);
    default: return dWts<4>(v, t, out);
    }
}

template <int T>
void CCostFnMIpz::pdfLoop(const CImg<float>& p, CImg<float>& pdf)
{
    const int n = nBins;
    float* const P = pdf.data();
    walkValue(p, [&](const WalkSample& s) {
        const float* W = wts<T>(s.r, s.t);
        for (int j = 0; j < T; ++j) {
            float* row = P + (long)n * tmpBins[j];
            for (int k = 0; k < T; ++k) row[refBins[k]] += W[j * T + k];
        }
    });
}

void CCostFnMIpz::PdfJnt(const CImg<float>& p, CImg<float>& pdf)
{
    zeroTable(pdf, nBins, nBins);
    switch (windowTaps()) {
    case 1: pdfLoop<1>(p, pdf); break;
    case 2: pdfLoop<2>(p, pdf); break;
    case 3: pdfLoop<3>(p, pdf); break;
    default: pdfLoop<4>(p, pdf); break;
    }
    pdf *= 1.f / nSamples;
}

// NP > 0: the Jacobian from the warp's row coefficients, NP parameters; NP = 0: any count,
// through CWarp::CalcJcbn per sample.
template <int T, int NP>
void CCostFnMIpz::dpdfLoop(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf)
{
    const int n = nBins, np = NP > 0 ? NP : nParams;
    const long nn = (long)n * n;
    const float c = 1.f / nSamples;
    float* const P = pdf.data();
    float* const D = dpdf.data();
    float xy[2];
    warp.Warp(p, 0.f, 0.f, xy[0], xy[1]);   // the derivative operations read the warp's state at p
    jcbn.fill(0.f);
    if (NP > 0) jacobianRowCoefs(warp, p, jcbn, np, rowCoefs_.data());
    const float* const rc = rowCoefs_.data();
    walkD(p, [&](const WalkSample& s) {
        float Jl[NP > 0 ? NP : 1];
        const float* J;
        if constexpr (NP > 0) {
            const float gx = -c * s.rdx, gy = -c * s.rdy;
            for (int m = 0; m < NP; ++m) {
                const float* q = rc + 6 * m;
                Jl[m] = gx * (q[0] + q[1] * s.x + q[2] * s.y) + gy * (q[3] + q[4] * s.x + q[5] * s.y);
            }
            J = Jl;
        } else {
            warp.CalcJcbn(jcbn, p, s.x, s.y, s.rdx, s.rdy);
            for (int m = 0; m < np; ++m) jcbn[m] *= -c;
            J = jcbn.data();
        }
        float* Dw;
        const float* W = dWts<T>(s.r, s.t, Dw);
        for (int j = 0; j < T; ++j) {
            const long row = (long)n * tmpBins[j];
            const float* dj = Dw + j * T;
            for (int m = 0; m < np; ++m) {
                float* d = D + m * nn + row;
                const float jm = J[m];
                for (int k = 0; k < T; ++k) d[refBins[k]] += jm * dj[k];
            }
            float* pr = P + row;
            for (int k = 0; k < T; ++k) pr[refBins[k]] += W[j * T + k];
        }
    });
    pdf *= c;
}

template <int T>
void CCostFnMIpz::dpdfByParams(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf)
{
    switch (nParams) {
    case 2: dpdfLoop<T, 2>(p, pdf, dpdf); break;
    case 3: dpdfLoop<T, 3>(p, pdf, dpdf); break;
    case 4: dpdfLoop<T, 4>(p, pdf, dpdf); break;
    case 6: dpdfLoop<T, 6>(p, pdf, dpdf); break;
    default: dpdfLoop<T, 0>(p, pdf, dpdf); break;
    }
}

void CCostFnMIpz::DPdfJnt(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf)
{
    if (interp == 0) {
        CCostFnMI::DPdfJnt(p, pdf, dpdf);
        return;
    }
    zeroTable(pdf, nBins, nBins);
    zeroTable(dpdf, nBins, nBins, nParams);
    switch (windowTaps()) {
    case 1: dpdfByParams<1>(p, pdf, dpdf); break;
    case 2: dpdfByParams<2>(p, pdf, dpdf); break;
    case 3: dpdfByParams<3>(p, pdf, dpdf); break;
    default: dpdfByParams<4>(p, pdf, dpdf); break;
    }
}
