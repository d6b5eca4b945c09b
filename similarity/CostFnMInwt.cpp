#include "similarity/CostFnMInwt.h"

#include <cmath>

CCostFnMInwt::CCostFnMInwt(CImgI<float>& r, CImgI<float>& t, int code, CImg<float> Z)
    : CCostFnMI(r, t, code, Z)
{
    const int P = nParams;
    hessWarp.assign(P, P, 1, 1, 0.f);
    hessImg.assign(P, P, 1, 1, 0.f);
}

CCostFnMInwt::~CCostFnMInwt() {}

// The Newton variant's taps: as CCostFnMI's derivative taps, with the second derivatives of
// the reference value moved along (slot 1 + P + a + P b). The record: the reference bin, the
// centred point, the reference gradient and second derivatives.
struct CCostFnMInwt::SecondTaps : TapsBase {
    using Recorder = SecondTaps;
    static constexpr int kWalk = 2, kSlots = 0, kInts = 1, kFloats = 7;
    CCostFnMInwt& m;
    const CImg<float>& p;
    int np, last;
    float w;
    int slots() const { return 1 + np + np * np; }
    CellForm form() const { return CellForm{np + np * np, false, false, false, 2}; }
    int row(const WalkSample& s) const { return binOf(s.t, last); }
    void record(const WalkSample& s, int* i, float* f) const
    {
        i[0] = binOf(s.r, last);
        f[0] = s.x; f[1] = s.y; f[2] = s.rdx; f[3] = s.rdy; f[4] = s.rdxx; f[5] = s.rdyy; f[6] = s.rdxy;
    }
    template <class A> void bin(const A& acc, const int* i, const float* f, int t) const
    {
        const int r = i[0];
        acc.cell(r, t)[0] += w;
        if (r == last) return;   // the move to the next bin and back cancel
        CWarp& warp = m.warp;
        float* const J = m.jcbn.data();
        warp.CalcJcbn(m.jcbn, p, f[0], f[1], f[2], f[3]);
        warp.CalcHess(m.hessWarp, p, f[0], f[1], f[2], f[3]);
        warp.CalcJcHs(m.hessImg, p, f[0], f[1], f[4], f[5], f[6]);
        for (int k = 0; k < np; ++k) J[k] *= w;
        m.hessWarp *= w;
        m.hessImg *= w;
        const float* const HW = m.hessWarp.data();
        const float* const HI = m.hessImg.data();
        const int hwW = m.hessWarp.width(), hiW = m.hessImg.width();
        float* const d = acc.cell(r, t) + 1;
        float* const e = acc.cell(r + 1, t) + 1;
        for (int k = 0; k < np; ++k) {
            d[k] -= J[k];
            e[k] += J[k];
        }
        for (int b = 0; b < np; ++b)
            for (int a = 0; a < np; ++a) {
                const float h = HW[a + hwW * b] + HI[a + hiW * b];
                d[np + a + np * b] -= h;
                e[np + a + np * b] += h;
            }
    }
};

void CCostFnMInwt::bin(const CImg<float>& p, const Plan& pl)
{
    if (pl.tables != Tables::kDDPdf) {
        CCostFnMI::bin(p, pl);
        return;
    }
    binSamples(p, pl, SecondTaps{{}, *this, p, nParams > 0 ? nParams : 0, lastBin, 1.f / nSamples});
}

void CCostFnMInwt::DDPdfJnt(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf, CImg<float>& d2pdf)
{
    bin(p, plan(Tables::kDDPdf, false, true));
    const int np = nParams > 0 ? nParams : 0;
    cells.toDense(pdf, 0, 1);
    cells.toDense(dpdf, 1, np);
    cells.toDense(d2pdf, 1 + np, np, np);
}

float CCostFnMInwt::evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H)
{
    switchSamplers(p);
    bin(p, plan(Tables::kDDPdf, true, true));
    activate();
    const float value = valueOfActive(averages(), true);
    gradientOfActive(g);   // leaves ln(P / margRef) + 1 per cell with P != 0 in logFactor

    if (!H.is_empty()) H.fill(0.f);
    const HistCells& t = *active;
    const int P = nParams > 0 ? nParams : 0;
    const int m = t.size();
    const float* M = margRef.data();
    const long hsize = (long)H.size();
    for (int a = 0; a < P; ++a)
        for (int b = a; b < P; ++b) {
            const long idx = b + (long)P * a;
            if (idx >= hsize) continue;
            float s = H[idx];
            for (int i = 0; i < m; ++i) {
                const float v = pdfOf(i);
                if (v == 0.f) continue;
                const float Mx = M[t.x(i)];
                const float rm = Mx != 0.f ? 1.f / Mx : 0.f;
                const float* d = t.planes(i);
                s = float(s + double((1.f / v - rm) * d[a] * d[b]) + logFactor[i] * d[P + a + P * b]);
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
