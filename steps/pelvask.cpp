// pelvask: one template-side step of affine alignment under the sum of squared differences.
//   [E, G, H, K] = pelvask(T, I, p)
// E = sum r^2, G = sum SD r (1 x 6), H = sum SD SD' (6 x 6), K = sum r (SD SD' + J' Hg J)
// (6 x 6), with r = T - I warped onto T's grid by p, SD the steepest-descent images of T's
// forward-difference gradients and Hg T's second differences. Outputs only as far as asked.
#include "bridge/cimg.h"
#include "bridge/guard.h"
#include "bridge/mexErr.h"
#include "steps/tools/affine.h"

#include <algorithm>

const MexModule mexModule = {"pelvask", "\nPELVASK Error: ", " "};

namespace {

// Sum of a b over the elements the two images share.
double SumProd(const CImg<double>& a, const CImg<double>& b)
{
    const size_t n = std::min<size_t>(a.size(), b.size());
    const double* pa = a.data();
    const double* pb = b.data();
    double s = 0;
    for (size_t i = 0; i < n; ++i) s += pa[i] * pb[i];
    return s;
}

// Element-wise product with a's dimensions (b holds at least as many elements).
CImg<double> Prod(const CImg<double>& a, const CImg<double>& b)
{
    CImg<double> res(a, false);
    const size_t n = std::min<size_t>(res.size(), b.size());
    double* pd = res.data();
    const double* pb = b.data();
    for (size_t i = 0; i < n; ++i) pd[i] *= pb[i];
    return res;
}

// A new 4-dimensional double array holding the image.
mxArray* ToMatlab(const CImg<double>& img)
{
    const mwSize dims[4] = {mwSize(img.width()), mwSize(img.height()), mwSize(img.depth()),
                            mwSize(img.spectrum())};
    mxArray* a = mxCreateNumericArray(4, dims, mxDOUBLE_CLASS, mxREAL);
    if (!img.is_empty()) img.copyToMatlabData(static_cast<double*>(mxGetData(a)));
    return a;
}

void Step(int nlhs, mxArray* plhs[], const mxArray* prhs[])
{
    const CImg<double> T(prhs[0], false, true);
    const CImg<double> I(prhs[1], false, true);
    const CImg<double> p(prhs[2], false, false);
    if (T.is_empty()) return mexErr("T must be a non-empty numeric or logical array.", nlhs, plhs);
    if (I.is_empty()) return mexErr("I must be a non-empty numeric or logical array.", nlhs, plhs);
    if (p.size() < 6) return mexErr("p must hold at least 6 values.", nlhs, plhs);

    const CImg<double> r = T - WarpToTmp(I, T, p);
    plhs[0] = ToMatlab(CImg<double>(1, 1, 1, 1, SumProd(r, r)));
    if (nlhs <= 1) return;

    const CImgList<double> grad = T.get_gradient("xy", 1);
    const CImg<double>& Tx = grad[0];
    const CImg<double>& Ty = grad[1];
    const CImgList<double> XY = GridXY(T);
    const CImg<double>& X = XY[0];
    const CImg<double>& Y = XY[1];
    CImgList<double> SD;
    SD.insert(Prod(X, Tx)).insert(Prod(X, Ty)).insert(Prod(Y, Tx)).insert(Prod(Y, Ty));
    SD.insert(Tx).insert(Ty);

    CImg<double> G(1, 6);
    for (int k = 0; k < 6; ++k) G[k] = SumProd(SD[k], r);
    plhs[1] = ToMatlab(G);
    if (nlhs <= 2) return;

    CImg<double> H(6, 6);
    for (int n = 0; n < 6; ++n)
        for (int m = 0; m <= n; ++m) H(m, n) = H(n, m) = SumProd(SD[n], SD[m]);
    plhs[2] = ToMatlab(H);
    if (nlhs <= 3) return;

    CImgList<double> Hg = Tx.get_gradient("xy", 1);
    Hg.insert(Ty.get_gradient("xy", 1));
    plhs[3] = ToMatlab(SecondOrderSum(SD, Hg, XY, r));
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    mexGuard(nlhs, plhs, [&] {
        if (nrhs != 3) return mexErr("3inputs required.", nlhs, plhs);
        if (nlhs > 4) return mexErr("1-4 outputs required", nlhs, plhs);
        Step(nlhs, plhs, prhs);
    });
}
