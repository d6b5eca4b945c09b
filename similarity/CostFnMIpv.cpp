#include "similarity/CostFnMIpv.h"

namespace {

typedef CImgI<float> Img;

// Neighbourhood reader of a footprint size, clamped or `_nb`.
template <int Taps, bool Nb> struct Nbhd;
#define PV_READER(TAPS, NB, FN)                                                              \
    template <> struct Nbhd<TAPS, NB> {                                                       \
        static void read(Img& I, float x, float y, int* o, float& dx, float& dy) {           \
            I.template FN<int>(x, y, o, dx, dy);                                              \
        }                                                                                     \
    };
PV_READER(1, false, nNeighbourhood1)
PV_READER(1, true, nNeighbourhood1_nb)
PV_READER(4, false, nNeighbourhood4)
PV_READER(4, true, nNeighbourhood4_nb)
PV_READER(9, false, nNeighbourhood9)
PV_READER(9, true, nNeighbourhood9_nb)
PV_READER(16, false, nNeighbourhood16)
PV_READER(16, true, nNeighbourhood16_nb)
#undef PV_READER

// B-spline weights of the footprint: value, derivative along b (the x offset) and along a
// (the y offset).
template <int Taps> struct Wts;
#define PV_WEIGHTS(TAPS, V, DB, DA)                                                           \
    template <> struct Wts<TAPS> {                                                            \
        static float* val(C2dBspline& b, float a, float c) { return b.V(a, c); }             \
        static float* dB(C2dBspline& b, float a, float c, float*& o) { return b.DB(a, c, o); } \
        static float* dA(C2dBspline& b, float a, float c, float*& o) { return b.DA(a, c, o); } \
    };
PV_WEIGHTS(1, zeroSample, zDzSample, DzzSample)
PV_WEIGHTS(4, linearSample, lDlSample, DllSample)
PV_WEIGHTS(9, quadSample, qDqSample, DqqSample)
PV_WEIGHTS(16, cubicSample, cDcSample, DccSample)
#undef PV_WEIGHTS

// The warp's Jacobian rows are affine in the centred point: row m is
// (ax + bx x + cx y, ay + by x + cy y), stored as out[6 m .. 6 m + 5]. CalcJcbn is linear in
// the gradient, so three points and two unit gradients give the coefficients.
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

CCostFnMIpv::CCostFnMIpv(CImgI<float>& r, CImgI<float>& t, int code, CImg<float> Z)
    : CCostFnMI(r, t, code, Z)
{
    for (int k = 0; k < 16; ++k) nbhdBins[k] = 0;
    rowCoefs_.assign(6 * (nParams > 0 ? nParams : 1), 1, 1, 1, 0.f);
}

CCostFnMIpv::~CCostFnMIpv() {}

void CCostFnMIpv::setInterpAndOrder(int in, int ord, bool bnd)
{
    CCostFnMI::setInterpAndOrder(in, ord, bnd);
    // The loops visit the pixels the reader writes: orders outside 0 .. 3 read 2 x 2 pixels
    // with linear weights, whatever nTaps2 says.
    switch (order) {
    case 0:
        taps_ = 1;
        nbhdReader = bounded ? &Img::nNeighbourhood1<int> : &Img::nNeighbourhood1_nb<int>;
        break;
    case 2:
        taps_ = 9;
        nbhdReader = bounded ? &Img::nNeighbourhood9<int> : &Img::nNeighbourhood9_nb<int>;
        break;
    case 3:
        taps_ = 16;
        nbhdReader = bounded ? &Img::nNeighbourhood16<int> : &Img::nNeighbourhood16_nb<int>;
        break;
    default:
        taps_ = 4;
        nbhdReader = bounded ? &Img::nNeighbourhood4<int> : &Img::nNeighbourhood4_nb<int>;
        break;
    }
}

void CCostFnMIpv::refFootprint(int& lo, int& hi) const
{
    CCostFn::refFootprint(lo, hi);
    const int rlo = taps_ >= 9 ? 1 : 0, rhi = taps_ >= 9 ? 2 : 1;
    if (rlo > lo) lo = rlo;
    if (rhi > hi) hi = rhi;
}

void CCostFnMIpv::AvgHist()
{
    if (interp == 0) CCostFnMI::AvgHist();
}

float CCostFnMIpv::Alpha() { return interp != 0 ? 1.f : 2.f; }

template <int Taps, bool Nb>
void CCostFnMIpv::pdfLoop(const CImg<float>& p, CImg<float>& pdf)
{
    const int n = nBins, last = lastBin;
    float* const P = pdf.data();
    walkPos(p, [&](const WalkSample& s) {
        float dx, dy;
        Nbhd<Taps, Nb>::read(ref, s.rx, s.ry, nbhdBins, dx, dy);
        const float* w = Wts<Taps>::val(bsplVal, dy, dx);
        float* const row = P + (long)n * binOf(s.t, last);
        for (int k = 0; k < Taps; ++k) row[clampBin(nbhdBins[k], last)] += w[k];
    });
    curWts = bsplVal.wts2d;
}

void CCostFnMIpv::PdfJnt(const CImg<float>& p, CImg<float>& pdf)
{
    zeroTable(pdf, nBins, nBins);
    const bool nb = !bounded;
    switch (taps_) {
    case 1: nb ? pdfLoop<1, true>(p, pdf) : pdfLoop<1, false>(p, pdf); break;
    case 9: nb ? pdfLoop<9, true>(p, pdf) : pdfLoop<9, false>(p, pdf); break;
    case 16: nb ? pdfLoop<16, true>(p, pdf) : pdfLoop<16, false>(p, pdf); break;
    default: nb ? pdfLoop<4, true>(p, pdf) : pdfLoop<4, false>(p, pdf); break;
    }
    pdf *= 1.f / nSamples;
}

// NP > 0: the warp's Jacobian rows from their coefficients, NP parameters. NP = 0: any
// parameter count, through CWarp::CalcJcbn per tap.
template <int Taps, bool Nb, int NP>
void CCostFnMIpv::dpdfLoop(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf)
{
    const int n = nBins, last = lastBin, np = NP > 0 ? NP : nParams;
    const long nn = (long)n * n;
    float* const P = pdf.data();
    float* const D = dpdf.data();
    float xy[2];
    warp.Warp(p, 0.f, 0.f, xy[0], xy[1]);   // the derivative operations read the warp's state at p
    jcbn.fill(0.f);
    if (NP > 0) jacobianRowCoefs(warp, p, jcbn, np, rowCoefs_.data());
    const float* const rc = rowCoefs_.data();
    walkPos(p, [&](const WalkSample& s) {
        float dx, dy;
        Nbhd<Taps, Nb>::read(ref, s.rx, s.ry, nbhdBins, dx, dy);
        Wts<Taps>::dB(bsplDx, dy, dx, curDWx);
        const float* w = Wts<Taps>::dA(bsplDy, dy, dx, curDWy);
        const float* gxs = curDWx;
        const float* gys = curDWy;
        const long row = (long)n * binOf(s.t, last);
        if constexpr (NP > 0) {
            float wx[NP], wy[NP];
            for (int m = 0; m < NP; ++m) {
                const float* c = rc + 6 * m;
                wx[m] = c[0] + c[1] * s.x + c[2] * s.y;
                wy[m] = c[3] + c[4] * s.x + c[5] * s.y;
            }
            for (int k = 0; k < Taps; ++k) {
                const long o = row + clampBin(nbhdBins[k], last);
                P[o] += w[k];
                const float gx = gxs[k], gy = gys[k];
                float* d = D + o;
                for (int m = 0; m < NP; ++m) d[m * nn] += gx * wx[m] + gy * wy[m];
            }
        } else {
            for (int k = 0; k < Taps; ++k) {
                const long o = row + clampBin(nbhdBins[k], last);
                P[o] += w[k];
                warp.CalcJcbn(jcbn, p, s.x, s.y, gxs[k], gys[k]);
                float* d = D + o;
                for (int m = 0; m < np; ++m) d[m * nn] += jcbn[m];
            }
        }
    });
    curWts = bsplDy.wts2d;
}

template <int Taps, bool Nb>
void CCostFnMIpv::dpdfByParams(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf)
{
    switch (nParams) {
    case 2: dpdfLoop<Taps, Nb, 2>(p, pdf, dpdf); break;
    case 3: dpdfLoop<Taps, Nb, 3>(p, pdf, dpdf); break;
    case 4: dpdfLoop<Taps, Nb, 4>(p, pdf, dpdf); break;
    case 6: dpdfLoop<Taps, Nb, 6>(p, pdf, dpdf); break;
    default: dpdfLoop<Taps, Nb, 0>(p, pdf, dpdf); break;
    }
}

void CCostFnMIpv::DPdfJnt(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf)
{
    zeroTable(pdf, nBins, nBins);
    zeroTable(dpdf, nBins, nBins, nParams);
    const bool nb = !bounded;
    switch (taps_) {
    case 1: nb ? dpdfByParams<1, true>(p, pdf, dpdf) : dpdfByParams<1, false>(p, pdf, dpdf); break;
    case 9: nb ? dpdfByParams<9, true>(p, pdf, dpdf) : dpdfByParams<9, false>(p, pdf, dpdf); break;
    case 16: nb ? dpdfByParams<16, true>(p, pdf, dpdf) : dpdfByParams<16, false>(p, pdf, dpdf); break;
    default: nb ? dpdfByParams<4, true>(p, pdf, dpdf) : dpdfByParams<4, false>(p, pdf, dpdf); break;
    }
    const float c = 1.f / nSamples;
    pdf *= c;
    dpdf *= -c;
}
