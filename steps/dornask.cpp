// dornask: one step of mutual-information alignment under an affine warp, with the
// derivatives taken on the template side.
//
//   [MI, G, H1, H2, H3] = dornask(T, I, p)      or      dornask(T, I, p, K)
//
// T template, I image (finite, non-negative intensities: they are histogram bins), p the six
// affine parameters, K an optional Parzen kernel (default 1). MI is the mutual information of
// T and I warped onto T's grid, G (1 x 6) its gradient, H1, H2, H3 (6 x 6) the second-order
// terms of the template marginal, of the joint table and of the second derivatives. Only the
// outputs asked for are computed; MI always is.
#include <cmath>
#include <initializer_list>

#include "bridge/guard.h"
#include "bridge/mexErr.h"
#include "similarity/smooth.h"
#include "steps/tools/affine.h"
#include "steps/tools/hist.h"

const MexModule mexModule = {"dornask", "\nDORNASK Error: ", " "};

namespace {

using Img = CImg<double>;
using List = CImgList<double>;

// Largest joint table (cells) a call may use; about a dozen tables of this size live at once.
constexpr double maxTableCells = 33554432;  // 2^25: 12-bit intensities still fit

Img smooth(const Img& table, const Img& mask) { return smoothTable(table, mask); }

// A horizontal mask (width x 1).
Img row(std::initializer_list<double> v)
{
    Img m(unsigned(v.size()), 1, 1, 1);
    double* d = m.data();
    for (double x : v) *d++ = x;
    return m;
}

// a * b element by element, with a's dimensions (a's values beyond b's elements).
Img times(const Img& a, const Img& b)
{
    Img r(a, false);
    const size_t n = std::min(r.size(), b.size());
    for (size_t k = 0; k < n; ++k) r[k] *= b[k];
    return r;
}

// The steepest-descent images [X Gx, X Gy, Y Gx, Y Gy, Gx, Gy].
List steepestDescent(const List& XY, const Img& Gx, const Img& Gy)
{
    List SD(6);
    times(XY[0], Gx).move_to(SD[0]);
    times(XY[0], Gy).move_to(SD[1]);
    times(XY[1], Gx).move_to(SD[2]);
    times(XY[1], Gy).move_to(SD[3]);
    SD[4].assign(Gx, false);
    SD[5].assign(Gy, false);
    return SD;
}

// The outputs of one step; out[k] is computed for k < count. T and I are only read.
void dornaskStep(const Img& T, const Img& I, const Img& p, const Img& K, double maxT, double maxI,
                 int count, Img out[5])
{
    const int Kw = K.width(), Kh = K.height();
    const unsigned nT = unsigned(std::trunc(maxT)) + unsigned(Kw + 2);
    const unsigned nI = unsigned(std::trunc(maxI)) + unsigned(Kh);
    const double oT = (Kw + 1) / 2, oI = (Kh - 1) / 2;

    // Template and warped image as bin numbers, each in an image of its own.
    const Img Tb = T + oT;
    Img Iw = WarpToTmp(I, Tb, p);
    Iw += oI;

    const Img P = smooth(HistJnt(Tb, Iw, nT, nI), K);
    out[0].assign(1, 1, 1, 1, entropy(SumDim(P, 2)) + entropy(SumDim(P, 1)) - entropy(P));
    if (count < 2) return;

    // Gradient.
    const Img Kd = smooth(Img(Kw + 1, Kh, 1, 1, 0.0).draw_image(1, 0, K), row({-1, 1}));
    List grad = Tb.get_gradient("xy", 1);
    const List SD = steepestDescent(GridXY(Tb), grad[0], grad[1]);
    List dP(6);
    for (int k = 0; k < 6; ++k) smooth(HistJntWt(Tb, Iw, SD[k], nT, nI), Kd).move_to(dP[k]);

    const Img P1 = smooth(P, row({0.5, 0.5}));
    const Img L1 = MiWeights(P1, SumDim(P1, 2), SumDim(P1, 1));
    out[1].assign(1, 6);
    for (int k = 0; k < 6; ++k) out[1][k] = SumProduct(dP[k], L1);
    if (count < 3) return;

    // Second-order term of the template marginal.
    const List SS = ListMult(SD, 6, 1, SD, 1, 6);
    {
        const Img canvas = Img(Kw + 2, 1, 1, 1, 0.0).draw_image(1, 0, SumDim(K, 2));
        const Img Km2 = smooth(canvas, row({-1, 2, -1}));
        const Img Km1 = smooth(canvas, row({-0.5, 0, 0.5}));
        const Img pTs = smooth(HistMrg(Tb, nT), row({0.25, 0.5, 0.25}));
        List dpT(6);
        for (int k = 0; k < 6; ++k) smooth(HistMrgWt(Tb, SD[k], nT), Km1).move_to(dpT[k]);
        const List DD = ListMult(dpT, 6, 1, dpT, 1, 6);
        out[2].assign(6, 6);
        for (int n = 0; n < 36; ++n) {
            const Img B = smooth(HistMrgWt(Tb, SS[n], nT), Km2);
            double s = 0;
            for (unsigned j = 0; j < nT; ++j)
                if (pTs[j] != 0) s += DD[n][j] / pTs[j] + 2 * B[j];
            out[2][n] = -s;
        }
    }
    if (count < 4) return;

    // Second-order term of the joint table.
    {
        const List PP = ListMult(dP, 6, 1, dP, 1, 6);
        out[3].assign(6, 6);
        for (int n = 0; n < 36; ++n) out[3][n] = SumRatio(PP[n], P1);
    }
    if (count < 5) return;

    // Second-order term of the template's second derivatives.
    const Img canvas = Img(Kw + 2, Kh, 1, 1, 0.0).draw_image(1, 0, K);
    const Img K2 = smooth(canvas, row({-1, 2, -1}));
    const Img K1 = smooth(canvas, row({-0.5, 0, 0.5}));
    List gx = grad[0].get_gradient("xy", 1), gy = grad[1].get_gradient("xy", 1);
    List Hg(4);
    gx[0].move_to(Hg[0]);
    gx[1].move_to(Hg[1]);
    gy[0].move_to(Hg[2]);
    gy[1].move_to(Hg[3]);
    const List J = JcbnAffine(GridXY(Tb));
    const List JHJ = ListMult(ListMult(ListTranspose(J, 2, 6), 6, 2, Hg, 2, 2), 6, 2, J, 2, 6);

    const Img P2 = smooth(P, row({0.25, 0.5, 0.25}));
    const Img L2 = MiWeights(P2, SumDim(P2, 2), SumDim(P2, 1));
    out[4].assign(6, 6);
    for (int n = 0; n < 36; ++n) {
        const Img A = smooth(HistJntWt(Tb, Iw, SS[n], nT, nI), K2);
        const Img C = smooth(HistJntWt(Tb, Iw, JHJ[n], nT, nI), K1);
        out[4][n] = SumProduct(A + C, L2);
    }
}

mxArray* newDouble(const Img& img)
{
    const mwSize dims[4] = {mwSize(img.width()), mwSize(img.height()), mwSize(img.depth()),
                            mwSize(img.spectrum())};
    mxArray* a = mxCreateNumericArray(4, dims, mxDOUBLE_CLASS, mxREAL);
    img.copyToMatlabData(static_cast<double*>(mxGetData(a)));
    return a;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    mexGuard(nlhs, plhs, [&] {
        if (nrhs < 3 || nrhs > 4) return mexErr("3-4 inputs required.", nlhs, plhs);
        if (nlhs > 5) return mexErr("1-5 outputs required", nlhs, plhs);

        const Img p(prhs[2], false, false);
        if (p.size() < 6) return mexErr("p must hold 6 values.", nlhs, plhs);
        for (int k = 0; k < 6; ++k)
            if (!std::isfinite(p[k])) return mexErr("p must be finite.", nlhs, plhs);
        const Img T(prhs[0], false, true), I(prhs[1], false, true);
        const Img K = nrhs == 4 ? Img(prhs[3], false, false) : Img(1, 1, 1, 1, 1.0);
        if (I.is_empty()) return mexErr("I is empty.", nlhs, plhs);

        const double maxT = T.max(), maxI = I.max();  // the library's error for an empty T
        if (!ValidBins(T) || !ValidBins(I))
            return mexErr("T and I must hold finite, non-negative intensities.", nlhs, plhs);
        const double nT = std::trunc(maxT) + K.width() + 2, nI = std::trunc(maxI) + K.height();
        if (nT * nI > maxTableCells)
            return mexErr("Intensities too large for a histogram.", nlhs, plhs);

        const int count = nlhs < 1 ? 1 : nlhs;
        Img out[5];
        dornaskStep(T, I, p, K, maxT, maxI, count, out);
        for (int k = 0; k < count && k < 4; ++k) plhs[k] = newDouble(out[k]);
        if (count == 5) plhs[4] = out[4].toMatlab(mxDOUBLE_CLASS, false);
    });
}
