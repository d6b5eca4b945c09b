#include "steps/tools/affine.h"

#include <algorithm>

#include "steps/tools/pointwise.h"

namespace {

// Writes I's clamped bilinear samples on the grid x0.., y0.. (w x h, x fastest) to out.
void warpGrid(const CImg<double>& I, int w, int h, int x0, int y0, const CImg<double>& p, double* out)
{
    const AffineMap map(p);
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) *out++ = SampleAt(I, map.mapX(x, y), map.mapY(x, y));
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
    WarpRegionInto(I, x0, y0, p, res);
    return res;
}

void WarpRegionInto(const CImg<double>& I, int x0, int y0, const CImg<double>& p, CImg<double>& R)
{
    if (!R.is_empty()) warpGrid(I, R.width(), R.height(), x0, y0, p, R.data());
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
