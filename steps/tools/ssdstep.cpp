#include "steps/tools/ssdstep.h"

#include "steps/tools/moments.h"
#include "steps/tools/pointwise.h"

namespace {

// Per-pixel values whose moment sums make the outputs (moments.h): g_a r (gradient), g_a g_b
// (Hessian; the pairs xx, xy, yy at a + b) and r (g_a g_b + Hg(a, b)) (second-order term, at
// a + 2 b: Hg(a, b) is the list entry a + 2 b of [Hxx, Hxy, Hyx, Hyy]).
enum { GR = 0, GG = 2, RK = 5 };

// The first Count outputs from one pass over the template's pixels, r = T - Iw on the
// template side (OnT), Iw - T on the image side.
template <bool OnT, int Count>
void step(const CImg<double>& T, const CImg<double>& I, const CImg<double>& p, CImg<double> out[4])
{
    constexpr int order = Count >= 4 ? 2 : Count >= 2 ? 1 : 0;
    constexpr int values = Count >= 4 ? 10 : Count >= 3 ? 6 : 2;  // even: pairs of lanes
    const int w = T.width(), h = T.height();
    const size_t n0 = size_t(w) * h, N = T.size();
    const int x0 = -((w - 1) / 2), y0 = -((h - 1) / 2);
    const AffineMap map(p);
    const double* t = T.data();
    const RawAt tAt{t, w};
    GridMoments<values> M;
    double E = 0;
    for (int j = 0; j < h; ++j) {
        for (int i = 0; i < w; ++i) {
            const size_t k = i + size_t(w) * j;
            const double xd = map.mapX(x0 + i, y0 + j), yd = map.mapY(x0 + i, y0 + j);
            double r, g[2] = {0, 0}, H[4] = {0, 0, 0, 0};
            if (OnT) {
                r = t[k] - SampleAt(I, xd, yd);
                if (order >= 1) Gradient(tAt, i, j, w, h, g);
                if (order >= 2) SecondDiffs(tAt, i, j, w, h, g, H);
            } else if (order == 0) {
                r = SampleAt(I, xd, yd) - t[k];
            } else {
                CellSample s;
                SampleCell<order>(I, CellAt(xd, yd, I.width(), I.height()), s);
                r = s.v - t[k];
                g[0] = s.g[0], g[1] = s.g[1];
                for (int a = 0; a < 4; ++a) H[a] = s.H[a];
            }
            E += r * r;
            if (order < 1) continue;
            double v[values] = {g[0] * r, g[1] * r};
            if (Count >= 3) {
                v[GG] = g[0] * g[0], v[GG + 1] = g[0] * g[1], v[GG + 2] = g[1] * g[1];
            }
            if (Count >= 4) {
                v[RK] = r * (v[GG] + H[0]);
                v[RK + 1] = r * (v[GG + 1] + H[1]);
                v[RK + 2] = r * (v[GG + 1] + H[2]);
                v[RK + 3] = r * (v[GG + 2] + H[3]);
            }
            M.add(v, double(i - w / 2));
        }
        if (order >= 1) M.endRow(double(j - h / 2));
    }
    // Further planes of T meet a warped image of 0: they add to E and to the sums of the plain
    // differences (u = 1), not to the terms of the coordinate images.
    for (size_t k = n0; k < N; ++k) {
        const size_t at = k % n0;
        double r, g[2] = {0, 0};
        if (OnT) {
            r = t[k] - 0.0;
            if (order >= 1) Gradient(RawAt{t + (k - at), w}, int(at % w), int(at / w), w, h, g);
        } else {
            r = 0.0 - t[k];
        }
        E += r * r;
        if (order < 1) continue;
        M.addPlain(GR, g[0] * r);
        M.addPlain(GR + 1, g[1] * r);
        if (Count < 3) continue;
        M.addPlain(GG, g[0] * g[0]);
        M.addPlain(GG + 1, g[0] * g[1]);
        M.addPlain(GG + 2, g[1] * g[1]);
    }
    out[0].assign(1, 1, 1, 1, E);
    if (Count < 2) return;
    // Entry m of the steepest-descent images is u_(m/2) g_(m%2), u = (X, Y, 1).
    out[1].assign(1, 6);
    for (int m = 0; m < 6; ++m) out[1][m] = M.single(GR + m % 2, m / 2);
    if (Count < 3) return;
    // SD SD' at (m, n) is u_(m/2) u_(n/2) g_(m%2) g_(n%2).
    out[2].assign(6, 6);
    for (int n = 0; n < 6; ++n)
        for (int m = 0; m < 6; ++m) out[2](m, n) = M.pair(GG + m % 2 + n % 2, m / 2, n / 2);
    if (Count < 4) return;
    // (SD SD' + J' Hg J) at (m, n) is u_(m/2) u_(n/2) (g_(m%2) g_(n%2) + Hg(m%2, n%2)).
    out[3].assign(6, 6);
    for (int n = 0; n < 6; ++n)
        for (int m = 0; m < 6; ++m) out[3](m, n) = M.pair(RK + m % 2 + 2 * (n % 2), m / 2, n / 2);
}

template <bool OnT>
void stepFor(int count, const CImg<double>& T, const CImg<double>& I, const CImg<double>& p,
             CImg<double> out[4])
{
    switch (count) {
    case 1: return step<OnT, 1>(T, I, p, out);
    case 2: return step<OnT, 2>(T, I, p, out);
    case 3: return step<OnT, 3>(T, I, p, out);
    default: return step<OnT, 4>(T, I, p, out);
    }
}

}  // namespace

void SsdStep(StepSide side, const CImg<double>& T, const CImg<double>& I, const CImg<double>& p,
             int count, CImg<double> out[4])
{
    if (side == StepSide::Template) stepFor<true>(count, T, I, p, out);
    else stepFor<false>(count, T, I, p, out);
}
