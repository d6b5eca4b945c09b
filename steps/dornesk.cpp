// dornesk: one step of mutual-information alignment under an affine warp, with the
// derivatives taken on the image side (the gradients of I, warped onto the template grid).
//
//   [MI, G, H1, H2] = dornesk(T, I, p)      or      dornesk(T, I, p, K)
//
// T template, I image (finite, non-negative intensities: they are histogram bins), p the six
// affine parameters, K an optional Parzen kernel (default 1). MI is the mutual information of
// T and I warped onto T's grid, G (1 x 6) its gradient, H1 (6 x 6, symmetric) the
// second-order term of the joint table and H2 (6 x 6) that of the second derivatives. Only
// the outputs asked for are computed; MI always is.
#include <cmath>
#include <initializer_list>

#include "bridge/guard.h"
#include "bridge/mexErr.h"
#include "similarity/smooth.h"
#include "steps/tools/affine.h"
#include "steps/tools/hist.h"

const MexModule mexModule = {"dornesk", "\nDORNESK Error: ", " "};

namespace {

using Img = CImg<double>;
using List = CImgList<double>;

// Largest joint table (cells) a call may use; about a dozen tables of this size live at once.
constexpr double maxTableCells = 33554432;  // 2^25: 12-bit intensities still fit

Img smooth(const Img& table, const Img& mask) { return smoothTable(table, mask); }

// A vertical mask (1 x height): it acts along the image bins.
Img column(std::initializer_list<double> v)
{
    Img m(1, unsigned(v.size()), 1, 1);
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
void dorneskStep(const Img& T, const Img& I, const Img& p, const Img& K, double maxT, double maxI,
                 int count, Img out[4])
{
    const int Kw = K.width(), Kh = K.height();
    const unsigned nT = unsigned(std::trunc(maxT)) + unsigned(Kw);
    const unsigned nI = unsigned(std::trunc(maxI)) + unsigned(Kh + 2);
    const int oT = (Kw - 1) / 2;
    const double oI = (Kh + 1) / 2;

    // Template and warped image as bin numbers; T is copied only when it takes an offset.
    Img Tb;
    if (oT) (T + double(oT)).move_to(Tb);
    else Tb.assign(T, true);
    Img Iw = WarpToTmp(I, Tb, p);
    Iw += oI;

    const Img P = smooth(HistJnt(Tb, Iw, nT, nI), K);
    out[0].assign(1, 1, 1, 1, entropy(SumDim(P, 2)) + entropy(SumDim(P, 1)) - entropy(P));
    if (count < 2) return;

    // Gradient.
    const Img Kd = smooth(Img(Kw, Kh + 1, 1, 1, 0.0).draw_image(0, 1, K), column({-1, 1}));
    List grad = I.get_gradient("xy", 1);
    const Img Ixw = WarpToTmp(grad[0], Tb, p), Iyw = WarpToTmp(grad[1], Tb, p);
    const List SD = steepestDescent(GridXY(Tb), Ixw, Iyw);
    List dP(6);
    for (int k = 0; k < 6; ++k) smooth(HistJntWt(Tb, Iw, SD[k], nT, nI), Kd).move_to(dP[k]);

    const Img P1 = smooth(P, column({0.5, 0.5}));
    const Img pI1 = SumDim(P1, 1);
    const Img L1 = MiWeights(P1, Img(), pI1);
    out[1].assign(1, 6);
    for (int k = 0; k < 6; ++k) out[1][k] = SumProduct(dP[k], L1);
    if (count < 3) return;

    // Second-order term of the joint table.
    {
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
    }
    if (count < 4) return;

    // Second-order term of the image's second derivatives.
    const Img canvas = Img(Kw, Kh + 2, 1, 1, 0.0).draw_image(0, 1, K);
    const Img K2 = smooth(canvas, column({-1, 2, -1}));
    const Img K1 = smooth(canvas, column({-0.5, 0, 0.5}));
    const List SS = ListMult(SD, 6, 1, SD, 1, 6);
    const List gx = grad[0].get_gradient("xy", 1), gy = grad[1].get_gradient("xy", 1);
    List Hg(4);
    WarpToTmp(gx[0], Tb, p).move_to(Hg[0]);
    WarpToTmp(gx[1], Tb, p).move_to(Hg[1]);
    WarpToTmp(gy[0], Tb, p).move_to(Hg[2]);
    WarpToTmp(gy[1], Tb, p).move_to(Hg[3]);
    const List J = JcbnAffine(GridXY(Tb));
    const List JHJ = ListMult(ListMult(ListTranspose(J, 2, 6), 6, 2, Hg, 2, 2), 6, 2, J, 2, 6);

    const Img P2 = smooth(P, column({0.25, 0.5, 0.25}));
    const Img L2 = MiWeights(P2, Img(), SumDim(P2, 1));
    out[3].assign(6, 6);
    for (int n = 0; n < 36; ++n) {
        const Img A = smooth(HistJntWt(Tb, Iw, SS[n], nT, nI), K2);
        const Img C = smooth(HistJntWt(Tb, Iw, JHJ[n], nT, nI), K1);
        out[3][n] = SumProduct(A + C, L2);
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
        if (nlhs > 4) return mexErr("1-4 outputs required", nlhs, plhs);

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
        const double nT = std::trunc(maxT) + K.width(), nI = std::trunc(maxI) + K.height() + 2;
        if (nT * nI > maxTableCells)
            return mexErr("Intensities too large for a histogram.", nlhs, plhs);

        const int count = nlhs < 1 ? 1 : nlhs;
        Img out[4];
        dorneskStep(T, I, p, K, maxT, maxI, count, out);
        for (int k = 0; k < count; ++k) plhs[k] = newDouble(out[k]);
    });
}
