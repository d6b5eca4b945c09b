#include "steps/tools/affine.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Writes I's clamped bilinear samples on the grid x0.., y0.. (w x h, x fastest) to out.
void warpGrid(const CImg<double>& I, int w, int h, int x0, int y0, const CImg<double>& p, double* out)
{
    const double a11 = 1.0 + p[0], a21 = p[1], a12 = p[2], a22 = 1.0 + p[3];
    const double tx = p[4], ty = p[5];
    // Coordinates beyond these bounds sample the border anyway; limiting them first keeps the
    // rounding to single precision in range.
    const double xmax = I.width(), ymax = I.height();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) {
            const double xd = a11 * x + a12 * y + tx;
            const double yd = a21 * x + a22 * y + ty;
            if (std::isnan(xd) || std::isnan(yd)) {
                *out++ = nan;
                continue;
            }
            const float xw = float(std::min(std::max(xd, -1.0), xmax));
            const float yw = float(std::min(std::max(yd, -1.0), ymax));
            *out++ = I._linear_atXY(xw, yw);
        }
}

// a * b element by element, with a's dimensions (a's values beyond b's elements).
CImg<double> times(const CImg<double>& a, const CImg<double>& b)
{
    CImg<double> r(a, false);
    const size_t n = std::min(r.size(), b.size());
    double* pr = r.data();
    const double* pb = b.data();
    for (size_t k = 0; k < n; ++k) pr[k] *= pb[k];
    return r;
}

}  // namespace

CImg<double> WarpToTmp(const CImg<double>& I, const CImg<double>& T, const CImg<double>& p)
{
    CImg<double> res(T.width(), T.height(), T.depth(), T.spectrum(), 0.0);
    if (res.is_empty()) return res;
    const int w = T.width(), h = T.height();
    warpGrid(I, w, h, -((w - 1) / 2), -((h - 1) / 2), p, res.data());
    return res;
}

CImg<double> WarpRegion(const CImg<double>& I, int w, int h, int x0, int y0, const CImg<double>& p)
{
    CImg<double> res(std::max(w, 0), std::max(h, 0), 1, 1, 0.0);
    if (res.is_empty()) return res;
    warpGrid(I, w, h, x0, y0, p, res.data());
    return res;
}

CImgList<double> GridXY(const CImg<double>& T)
{
    const int w = T.width(), h = T.height();
    CImgList<double> xy(2, w, h, 1, 1);
    CImg<double>& X = xy[0];
    CImg<double>& Y = xy[1];
    const int cx = w / 2, cy = h / 2;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            X(x, y) = double(x - cx);
            Y(x, y) = double(y - cy);
        }
    return xy;
}

CImgList<double> JcbnAffine(const CImgList<double>& XY)
{
    const CImg<double>& X = XY[0];
    const CImg<double>& Y = XY[1];
    const CImg<double> zero(X.width(), X.height(), X.depth(), X.spectrum(), 0.0);
    const CImg<double> one(X.width(), X.height(), X.depth(), X.spectrum(), 1.0);
    CImgList<double> J;
    J.insert(X).insert(zero).insert(zero).insert(X);
    J.insert(Y).insert(zero).insert(zero).insert(Y);
    J.insert(one).insert(zero).insert(zero).insert(one);
    return J;
}

CImgList<double> ListMult(const CImgList<double>& A, unsigned a, unsigned b,
                          const CImgList<double>& B, unsigned c, unsigned d)
{
    const CImg<double>& A0 = A[0];
    CImgList<double> res(a * d, A0.width(), A0.height(), A0.depth(), A0.spectrum(), 0.0);
    for (unsigned r = 0; r < a; ++r)
        for (unsigned s = 0; s < d; ++s) {
            CImg<double>& dst = res[r + s * a];
            for (unsigned k = 0; k < b; ++k) {
                // The product has the first factor's elements: beyond the elements the two
                // factors share it keeps the first factor's values.
                const CImg<double>& f = A[r + k * a];
                const CImg<double>& g = B[k + s * c];
                const size_t n = std::min<size_t>(dst.size(), f.size());
                const size_t m = std::min<size_t>(n, g.size());
                double* pd = dst.data();
                const double* pf = f.data();
                const double* pg = g.data();
                for (size_t i = 0; i < m; ++i) pd[i] += pf[i] * pg[i];
                for (size_t i = m; i < n; ++i) pd[i] += pf[i];
            }
        }
    return res;
}

CImgList<double> ListTranspose(const CImgList<double>& L, unsigned a, unsigned b)
{
    CImgList<double> res(L);
    for (unsigned k = 0; k < b; ++k)
        for (unsigned r = 0; r < a; ++r) res[k + r * b].assign(L[r + k * a]);
    return res;
}

CImg<double> SecondOrderSum(const CImgList<double>& SD, const CImgList<double>& Hg,
                            const CImgList<double>& XY, const CImg<double>& r)
{
    const size_t n = XY[0].size();
    const double* sd[6];
    for (int k = 0; k < 6; ++k) sd[k] = SD[k].data();
    const double* hg[4];
    for (int k = 0; k < 4; ++k) hg[k] = Hg[k].data();
    const double* X = XY[0].data();
    const double* Y = XY[1].data();
    const double* pr = r.data();
    double K[36] = {};
    for (size_t i = 0; i < n; ++i) {
        // J as JcbnAffine lays it out, Jt[k + 6 q] = J[q + 2 k].
        const double J[12] = {X[i], 0, 0, X[i], Y[i], 0, 0, Y[i], 1, 0, 0, 1};
        const double H[4] = {hg[0][i], hg[1][i], hg[2][i], hg[3][i]};
        double M[12];  // Jt Hg, 6 x 2
        for (int s = 0; s < 2; ++s)
            for (int q = 0; q < 6; ++q) {
                double v = 0;
                v += J[2 * q] * H[2 * s];
                v += J[2 * q + 1] * H[1 + 2 * s];
                M[q + 6 * s] = v;
            }
        for (int s = 0; s < 6; ++s)
            for (int q = 0; q < 6; ++q) {
                double jhj = 0;
                jhj += M[q] * J[2 * s];
                jhj += M[q + 6] * J[1 + 2 * s];
                double ss = 0;
                ss += sd[q][i] * sd[s][i];
                K[q + 6 * s] += (jhj + ss) * pr[i];
            }
    }
    CImg<double> res(6, 6);
    for (int k = 0; k < 36; ++k) res[k] = K[k];
    return res;
}

CImgList<double> SteepestDescent(const CImgList<double>& XY, const CImg<double>& Gx,
                                 const CImg<double>& Gy)
{
    CImgList<double> SD(6);
    times(XY[0], Gx).move_to(SD[0]);
    times(XY[0], Gy).move_to(SD[1]);
    times(XY[1], Gx).move_to(SD[2]);
    times(XY[1], Gy).move_to(SD[3]);
    SD[4].assign(Gx, false);
    SD[5].assign(Gy, false);
    return SD;
}

CImgList<double> SecondDiffs(const CImgList<double>& grad)
{
    CImgList<double> Hg = grad[0].get_gradient("xy", 1);
    grad[1].get_gradient("xy", 1).move_to(Hg, Hg.size());
    return Hg;
}

CImgList<double> WarpListToTmp(const CImgList<double>& L, const CImg<double>& T,
                               const CImg<double>& p)
{
    CImgList<double> res(L.size());
    for (unsigned k = 0; k < L.size(); ++k) WarpToTmp(L[k], T, p).move_to(res[k]);
    return res;
}
