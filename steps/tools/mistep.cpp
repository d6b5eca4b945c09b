#include "steps/tools/mistep.h"

#include <cmath>
#include <initializer_list>

#include "similarity/smooth.h"
#include "steps/tools/hist.h"

namespace {

using Img = CImg<double>;
using List = CImgList<double>;

Img smooth(const Img& table, const Img& mask) { return smoothTable(table, mask); }

// A mask along the side's bins: horizontal (n x 1) for the template, vertical (1 x n) for the
// image.
Img along(StepSide side, std::initializer_list<double> v)
{
    const unsigned n = unsigned(v.size());
    Img m = side == StepSide::Template ? Img(n, 1, 1, 1) : Img(1, n, 1, 1);
    double* d = m.data();
    for (double x : v) *d++ = x;
    return m;
}

// K on a zero canvas `extra` bins longer along the side's bins, starting one bin in.
Img padded(StepSide side, const Img& K, int extra)
{
    if (side == StepSide::Template)
        return Img(K.width() + extra, K.height(), 1, 1, 0.0).draw_image(1, 0, K);
    return Img(K.width(), K.height() + extra, 1, 1, 0.0).draw_image(0, 1, K);
}

}  // namespace

MiBins MiTableBins(StepSide side, const CImg<double>& K, double maxT, double maxI)
{
    const bool onT = side == StepSide::Template;
    return {std::trunc(maxT) + K.width() + (onT ? 2 : 0),
            std::trunc(maxI) + K.height() + (onT ? 0 : 2)};
}

void MiStep(StepSide side, const CImg<double>& T, const CImg<double>& I, const CImg<double>& p,
            const CImg<double>& K, double maxT, double maxI, int count, CImg<double> out[])
{
    const bool onT = side == StepSide::Template;
    const MiBins bins = MiTableBins(side, K, maxT, maxI);
    const unsigned nT = unsigned(bins.nT), nI = unsigned(bins.nI);
    // Bin offsets: the kernel's half width, one more along the side's bins.
    const int Kw = K.width(), Kh = K.height();
    const int oT = onT ? (Kw + 1) / 2 : (Kw - 1) / 2;
    const double oI = onT ? (Kh - 1) / 2 : (Kh + 1) / 2;

    // Template and warped image as bin numbers; T is copied only when it takes an offset.
    Img Tb;
    if (oT) (T + double(oT)).move_to(Tb);
    else Tb.assign(T, true);
    Img Iw = WarpToTmp(I, Tb, p);
    Iw += oI;

    const Img P = smooth(HistJnt(Tb, Iw, nT, nI), K);
    out[0].assign(1, 1, 1, 1, entropy(SumDim(P, 2)) + entropy(SumDim(P, 1)) - entropy(P));
    if (count < 2) return;

    // Gradient, from the side's forward differences on the template grid.
    const Img Kd = smooth(padded(side, K, 1), along(side, {-1, 1}));
    const List grad = onT ? Tb.get_gradient("xy", 1) : I.get_gradient("xy", 1);
    List gradW;
    if (!onT) gradW = WarpListToTmp(grad, Tb, p);
    const List& G = onT ? grad : gradW;
    const List XY = GridXY(Tb);
    const List SD = SteepestDescent(XY, G[0], G[1]);
    List dP(6);
    for (int k = 0; k < 6; ++k) smooth(HistJntWt(Tb, Iw, SD[k], nT, nI), Kd).move_to(dP[k]);

    const Img P1 = smooth(P, along(side, {0.5, 0.5}));
    const Img pI1 = SumDim(P1, 1);
    const Img L1 = MiWeights(P1, onT ? SumDim(P1, 2) : Img(), pI1);
    out[1].assign(1, 6);
    for (int k = 0; k < 6; ++k) out[1][k] = SumProduct(dP[k], L1);
    if (count < 3) return;

    List SS;  // SD SD', 6 x 6
    int next = 2;
    if (onT) {
        // Second-order term of the template marginal.
        SS = ListMult(SD, 6, 1, SD, 1, 6);
        const Img canvas = padded(side, SumDim(K, 2), 2);
        const Img Km2 = smooth(canvas, along(side, {-1, 2, -1}));
        const Img Km1 = smooth(canvas, along(side, {-0.5, 0, 0.5}));
        const Img pTs = smooth(HistMrg(Tb, nT), along(side, {0.25, 0.5, 0.25}));
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
        if (count < 4) return;

        // Second-order term of the joint table.
        const List PP = ListMult(dP, 6, 1, dP, 1, 6);
        out[3].assign(6, 6);
        for (int n = 0; n < 36; ++n) out[3][n] = SumRatio(PP[n], P1);
        next = 4;
    } else {
        // Second-order term of the joint table, with the image marginal's share.
        Img R(P1.width(), P1.height(), 1, 1, 0.0);
        cimg_forXY(R, x, y) if (P1(x, y) != 0) R(x, y) = 1 / P1(x, y) - 1 / pI1[y];
        out[2].assign(6, 6);
        for (int m = 0; m < 6; ++m)
            for (int n = 0; n < 6; ++n) {
                const double *a = dP[m].data(), *b = dP[n].data(), *r = R.data();
                const size_t cells = R.size();
                double s = 0;
                for (size_t c = 0; c < cells; ++c) s += a[c] * b[c] * r[c];
                out[2](m, n) = s;
            }
        next = 3;
    }
    if (count <= next) return;

    // Second-order term of the side's second derivatives.
    const Img canvas = padded(side, K, 2);
    const Img K2 = smooth(canvas, along(side, {-1, 2, -1}));
    const Img K1 = smooth(canvas, along(side, {-0.5, 0, 0.5}));
    if (!onT) SS = ListMult(SD, 6, 1, SD, 1, 6);
    List Hg = SecondDiffs(grad);
    if (!onT) Hg = WarpListToTmp(Hg, Tb, p);
    const List J = JcbnAffine(XY);
    const List JHJ = ListMult(ListMult(ListTranspose(J, 2, 6), 6, 2, Hg, 2, 2), 6, 2, J, 2, 6);

    const Img P2 = smooth(P, along(side, {0.25, 0.5, 0.25}));
    const Img L2 = MiWeights(P2, onT ? SumDim(P2, 2) : Img(), SumDim(P2, 1));
    out[next].assign(6, 6);
    for (int n = 0; n < 36; ++n) {
        const Img A = smooth(HistJntWt(Tb, Iw, SS[n], nT, nI), K2);
        const Img C = smooth(HistJntWt(Tb, Iw, JHJ[n], nT, nI), K1);
        out[next][n] = SumProduct(A + C, L2);
    }
}
