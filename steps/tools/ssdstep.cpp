#include "steps/tools/ssdstep.h"

#include "steps/tools/hist.h"

void SsdStep(StepSide side, const CImg<double>& T, const CImg<double>& I, const CImg<double>& p,
             int count, CImg<double> out[4])
{
    const bool onT = side == StepSide::Template;
    const CImg<double> Iw = WarpToTmp(I, T, p);
    const CImg<double> r = onT ? T - Iw : Iw - T;
    out[0].assign(1, 1, 1, 1, SumProduct(r, r));
    if (count <= 1) return;

    const CImgList<double> grad = onT ? T.get_gradient("xy", 1) : I.get_gradient("xy", 1);
    CImgList<double> gradW;
    if (!onT) gradW = WarpListToTmp(grad, T, p);
    const CImgList<double>& G = onT ? grad : gradW;
    const CImgList<double> XY = GridXY(T);
    const CImgList<double> SD = SteepestDescent(XY, G[0], G[1]);

    out[1].assign(1, 6);
    for (int k = 0; k < 6; ++k) out[1][k] = SumProduct(SD[k], r);
    if (count <= 2) return;

    CImg<double>& H = out[2];
    H.assign(6, 6);
    for (int n = 0; n < 6; ++n)
        for (int m = 0; m <= n; ++m) H(m, n) = H(n, m) = SumProduct(SD[n], SD[m]);
    if (count <= 3) return;

    CImgList<double> Hg = SecondDiffs(grad);
    if (!onT) Hg = WarpListToTmp(Hg, T, p);
    SecondOrderSum(SD, Hg, XY, r).move_to(out[3]);
}
