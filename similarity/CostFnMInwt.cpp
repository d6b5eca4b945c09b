#include "similarity/CostFnMInwt.h"

#include <cmath>

CCostFnMInwt::CCostFnMInwt(CImgI<float>& r, CImgI<float>& t, int code, CImg<float> Z)
    : CCostFnMI(r, t, code, Z)
{
    const int n = nBins, P = nParams;
    const int zw = parzenWin.width(), zh = parzenWin.height();
    d2PdfJnt.assign(n, n, P, P, 0.f);
    d2PdfJntZ.assign(n + zw - 1, n + zh - 1, P, P, 0.f);
    activeD2Pdf = smoothing ? &d2PdfJntZ : &d2PdfJnt;
    hessWarp.assign(P, P, 1, 1, 0.f);
    hessImg.assign(P, P, 1, 1, 0.f);
}

CCostFnMInwt::~CCostFnMInwt() {}

void CCostFnMInwt::DDPdfJnt(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf, CImg<float>& d2pdf)
{
    const int n = nBins, last = lastBin, np = nParams;
    // Sized here: a template that grew the bins after construction must not be binned into
    // tables of the old size.
    zeroTable(pdf, n, n);
    zeroTable(dpdf, n, n, np);
    zeroTable(d2pdf, n, n, np, np);
    const float w = 1.f / nSamples;
    const long nn = (long)n * n, nnp = nn * np;
    float* const Pd = pdf.data();
    float* const D = dpdf.data();
    float* const D2 = d2pdf.data();
    float* const J = jcbn.data();
    float* const HW = hessWarp.data();
    float* const HI = hessImg.data();
    const int hwW = hessWarp.width(), hiW = hessImg.width();
    walkDD(p, [&](const WalkSample& s) {
        const int r = binOf(s.r, last);
        const long o = r + (long)n * binOf(s.t, last);
        Pd[o] += w;
        if (r == last) return;   // the move to the next bin and back cancel
        warp.CalcJcbn(jcbn, p, s.x, s.y, s.rdx, s.rdy);
        warp.CalcHess(hessWarp, p, s.x, s.y, s.rdx, s.rdy);
        warp.CalcJcHs(hessImg, p, s.x, s.y, s.rdxx, s.rdyy, s.rdxy);
        for (int k = 0; k < np; ++k) J[k] *= w;
        hessWarp *= w;
        hessImg *= w;
        float* d = D + o;
        for (int k = 0; k < np; ++k, d += nn) {
            d[0] -= J[k];
            d[1] += J[k];
        }
        for (int b = 0; b < np; ++b)
            for (int a = 0; a < np; ++a) {
                const float h = HW[a + hwW * b] + HI[a + hiW * b];
                float* d2 = D2 + o + nn * a + nnp * b;
                d2[0] -= h;
                d2[1] += h;
            }
    });
}

float CCostFnMInwt::evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H)
{
    switchSamplers(p);
    DDPdfJnt(p, pdfJnt, dPdfJnt, d2PdfJnt);
    if (smoothing) {
        smoothPdf();
        smoothDPdf();
        smoothByZ(d2PdfJnt, d2PdfJntZ);
    }
    const float value = valueOfActive();
    AvgHist();
    gradientOfActive(g);   // leaves ln(P / margRef) + 1 per non-zero bin in logFactor

    if (!H.is_empty()) H.fill(0.f);
    const CImg<float>& pdf = *activePdf;
    const CImg<float>& dpdf = *activeDPdf;
    const CImg<float>& d2pdf = *activeD2Pdf;
    const int n = nBins, P = nParams;
    const int w = pdf.width() < n ? pdf.width() : n;
    const int h = pdf.height() < n ? pdf.height() : n;
    int np = P < dpdf.depth() ? P : dpdf.depth();
    if (np > d2pdf.depth()) np = d2pdf.depth();
    if (np > d2pdf.spectrum()) np = d2pdf.spectrum();
    if (w > dpdf.width() || h > dpdf.height() || w > d2pdf.width() || h > d2pdf.height()) return value;
    const long dplane = (long)dpdf.width() * dpdf.height();
    const long d2plane = (long)d2pdf.width() * d2pdf.height();
    const long d2chan = d2plane * d2pdf.depth();
    const float* Pd = pdf.data();
    const float* M = margRef.data();
    const int mn = (int)margRef.size();
    const double* F = logFactor.data();
    const long hsize = (long)H.size();
    for (int a = 0; a < np; ++a)
        for (int b = a; b < np; ++b) {
            const long idx = b + (long)P * a;
            if (idx >= hsize) continue;
            const float* Da = dpdf.data() + a * dplane;
            const float* Db = dpdf.data() + b * dplane;
            const float* Dab = d2pdf.data() + a * d2plane + b * d2chan;
            float s = H[idx];
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const float v = Pd[x + (long)y * pdf.width()];
                    if (v == 0.f) continue;
                    const float m = x < mn ? M[x] : 0.f;
                    const float rm = m != 0.f ? 1.f / m : 0.f;
                    const long od = x + (long)y * dpdf.width(), o2 = x + (long)y * d2pdf.width();
                    s = float(s + double((1.f / v - rm) * Da[od] * Db[od]) + F[x + (long)y * n] * Dab[o2]);
                }
            H[idx] = s;
        }
    // mirror: H[j + P i] = H[i + P j] for j < i
    for (int i = 1; i < P; ++i)
        for (int j = 0; j < i; ++j) {
            const long dst = j + (long)P * i, src = i + (long)P * j;
            if (dst < hsize && src < hsize) H[dst] = H[src];
        }
    return value;
}
