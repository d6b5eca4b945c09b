// The warp and the forward differences one point at a time, for the fused passes of the step
// computations: the same arithmetic as WarpToTmp and the library's gradient, so that a pass
// reads what it needs where it needs it, without images of intermediates.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

#include "bridge/cimg.h"

// The per-pixel functions below belong inside the loops of their passes.
#if defined(__GNUC__)
#define STEP_INLINE inline __attribute__((always_inline))
#else
#define STEP_INLINE inline
#endif

// The affine map x' = (1 + p1) x + p3 y + p5, y' = p2 x + (1 + p4) y + p6; p holds at least
// six values.
struct AffineMap {
    double a11, a21, a12, a22, tx, ty;
    explicit AffineMap(const CImg<double>& p)
        : a11(1.0 + p[0]), a21(p[1]), a12(p[2]), a22(1.0 + p[3]), tx(p[4]), ty(p[5]) {}
    double mapX(int x, int y) const { return a11 * x + a12 * y + tx; }
    double mapY(int x, int y) const { return a21 * x + a22 * y + ty; }
};

// The single-precision coordinate the warp samples at along an axis of n pixels. Beyond
// [-1, n] the clamped sample reads the border anyway; limiting first keeps the rounding to
// single precision in range.
inline float SampleCoord(double d, int n)
{
    return float(std::min(std::max(d, -1.0), double(n)));
}

// I's clamped bilinear sample (plane 0, channel 0) at the mapped point (xd, yd); NaN when a
// coordinate is not a number.
STEP_INLINE double SampleAt(const CImg<double>& I, double xd, double yd)
{
    if (std::isnan(xd) || std::isnan(yd)) return std::numeric_limits<double>::quiet_NaN();
    return I._linear_atXY(SampleCoord(xd, I.width()), SampleCoord(yd, I.height()));
}

// Where the mapped point (xd, yd) falls in a W x H image, split as the library's clamped
// bilinear sample splits it: corner (x, y), next corner (nx, ny) (the corner itself where the
// fraction is 0) and fractions dx, dy. `nan` marks a coordinate that is not a number.
struct WarpCell {
    unsigned x, y, nx, ny;
    float dx, dy;
    bool nan;
};

STEP_INLINE WarpCell CellAt(double xd, double yd, int W, int H)
{
    WarpCell c{0, 0, 0, 0, 0.f, 0.f, std::isnan(xd) || std::isnan(yd)};
    if (c.nan) return c;
    const float fx = SampleCoord(xd, W), fy = SampleCoord(yd, H);
    const float nfx = fx <= 0 ? 0.f : fx >= W - 1 ? float(W - 1) : fx;
    const float nfy = fy <= 0 ? 0.f : fy >= H - 1 ? float(H - 1) : fy;
    c.x = unsigned(nfx);
    c.y = unsigned(nfy);
    c.dx = nfx - c.x;
    c.dy = nfy - c.y;
    c.nx = c.dx > 0 ? c.x + 1 : c.x;
    c.ny = c.dy > 0 ? c.y + 1 : c.y;
    return c;
}

// The library's bilinear combination of a cell's corner values (x, y), (nx, y), (x, ny),
// (nx, ny), in its order of operations.
STEP_INLINE double Bilinear(double cc, double nc, double cn, double nn, float dx, float dy)
{
    return cc + (nc - cc + (cc + nn - cn - nc) * dy) * dx + (cn - cc) * dy;
}

// Forward differences of a w x h plane at (x, y), as the library's gradient gives them:
// g[0] = v(x+1, y) - v(x, y), g[1] = v(x, y+1) - v(x, y), each 0 on the last column or row.
// `at(i, j)` reads the plane.
template <class At>
STEP_INLINE void Gradient(const At& at, int x, int y, int w, int h, double g[2])
{
    const double c = at(x, y);
    g[0] = x + 1 < w ? at(x + 1, y) - c : 0.0;
    g[1] = y + 1 < h ? at(x, y + 1) - c : 0.0;
}

// The forward differences of g[0] and of g[1] (the gradient at (x, y)) in turn:
// H = [gxx, gxy, gyx, gyy], each 0 on the last column or row.
template <class At>
STEP_INLINE void SecondDiffs(const At& at, int x, int y, int w, int h, const double g[2], double H[4])
{
    double gr[2] = {0, 0}, gd[2] = {0, 0};
    const bool right = x + 1 < w, down = y + 1 < h;
    if (right) Gradient(at, x + 1, y, w, h, gr);
    if (down) Gradient(at, x, y + 1, w, h, gd);
    H[0] = right ? gr[0] - g[0] : 0.0;
    H[1] = down ? gd[0] - g[0] : 0.0;
    H[2] = right ? gr[1] - g[1] : 0.0;
    H[3] = down ? gd[1] - g[1] : 0.0;
}

// Reads plane 0 of an image, plus a constant offset (the bin offset of a template).
struct PlaneAt {
    const double* d;
    int w;
    double offset;
    double operator()(int i, int j) const { return d[i + size_t(w) * j] + offset; }
};

// Reads plane 0 of an image as it is.
struct RawAt {
    const double* d;
    int w;
    double operator()(int i, int j) const { return d[i + size_t(w) * j]; }
};

// An image sampled at a cell: its value, its forward differences g and second differences H,
// each as WarpToTmp samples the image and the library's difference images of it.
struct CellSample {
    double v, g[2], H[4];
};

// SampleCell for a cell of four distinct corners whose differences up to Order (1 or 2) all lie
// inside the image: o points at corner (x, y) of an image of row length W. Neighbouring
// corners share their differences; each is the same subtraction as the library's.
template <int Order>
STEP_INLINE void SampleInnerCell(const double* o, size_t W, float dx, float dy, CellSample& s)
{
    // rows y .. y + 3 of the window (a: y, b: y + 1, c: y + 2, d: y + 3), as far as needed
    const double a0 = o[0], a1 = o[1], a2 = o[2];
    const double b0 = o[W], b1 = o[W + 1], b2 = o[W + 2];
    const double c0 = o[2 * W], c1 = o[2 * W + 1];
    // forward differences along x (h) and y (v); corners (x, y), (x+1, y), (x, y+1), (x+1, y+1)
    const double ha0 = a1 - a0, ha1 = a2 - a1, hb0 = b1 - b0, hb1 = b2 - b1;
    const double va0 = b0 - a0, va1 = b1 - a1, vb0 = c0 - b0, vb1 = c1 - b1;
    s.v = Bilinear(a0, a1, b0, b1, dx, dy);
    s.g[0] = Bilinear(ha0, ha1, hb0, hb1, dx, dy);
    s.g[1] = Bilinear(va0, va1, vb0, vb1, dx, dy);
    if (Order < 2) return;
    const double a3 = o[3], b3 = o[W + 3], c2 = o[2 * W + 2];
    const double d0 = o[3 * W], d1 = o[3 * W + 1];
    const double ha2 = a3 - a2, hb2 = b3 - b2, hc0 = c1 - c0, hc1 = c2 - c1;
    const double va2 = b2 - a2, vb2 = c2 - b2, vc0 = d0 - c0, vc1 = d1 - c1;
    s.H[0] = Bilinear(ha1 - ha0, ha2 - ha1, hb1 - hb0, hb2 - hb1, dx, dy);
    s.H[1] = Bilinear(hb0 - ha0, hb1 - ha1, hc0 - hb0, hc1 - hb1, dx, dy);
    s.H[2] = Bilinear(va1 - va0, va2 - va1, vb1 - vb0, vb2 - vb1, dx, dy);
    s.H[3] = Bilinear(vb0 - va0, vb1 - va1, vc0 - vb0, vc1 - vb1, dx, dy);
}

// Samples I (plane 0) at cell c: the value always, the differences up to Order (0, 1 or 2).
// A cell that is not a number gives NaN for all of them.
template <int Order>
STEP_INLINE void SampleCell(const CImg<double>& I, const WarpCell& c, CellSample& s)
{
    if (c.nan) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        s.v = s.g[0] = s.g[1] = s.H[0] = s.H[1] = s.H[2] = s.H[3] = nan;
        return;
    }
    const int W = I.width(), Hh = I.height();
    if (Order >= 1 && c.nx > c.x && c.ny > c.y && int(c.x) + Order + 1 < W && int(c.y) + Order + 1 < Hh)
        return SampleInnerCell<Order>(I.data() + c.x + size_t(W) * c.y, size_t(W), c.dx, c.dy, s);
    // corner k's values: [0] value, [1..2] g, [3..6] H; corners (x, y), (nx, y), (x, ny),
    // (nx, ny)
    double q[4][8];
    if (int(c.nx) + Order < W && int(c.ny) + Order < Hh) {
        // Every difference a corner needs lies inside I: no border rule applies.
        const size_t sx = c.nx - c.x, sy = size_t(c.ny - c.y) * W, Ws = size_t(W);
        const double* o0 = I.data() + c.x + Ws * c.y;
        const double* corner[4] = {o0, o0 + sx, o0 + sy, o0 + sx + sy};
        for (int k = 0; k < 4; ++k) {
            const double* o = corner[k];
            const double v = o[0];
            q[k][0] = v;
            if (Order >= 1) {
                const double r = o[1], d = o[Ws];
                q[k][1] = r - v;
                q[k][2] = d - v;
                if (Order >= 2) {
                    const double rd = o[Ws + 1];
                    q[k][3] = (o[2] - r) - q[k][1];
                    q[k][4] = (rd - d) - q[k][1];
                    q[k][5] = (rd - r) - q[k][2];
                    q[k][6] = (o[2 * Ws] - d) - q[k][2];
                }
            }
        }
    } else {
        const RawAt at{I.data(), W};
        const int cx[4] = {int(c.x), int(c.nx), int(c.x), int(c.nx)};
        const int cy[4] = {int(c.y), int(c.y), int(c.ny), int(c.ny)};
        for (int k = 0; k < 4; ++k) {
            double g[2], H[4];
            q[k][0] = at(cx[k], cy[k]);
            if (Order >= 1) Gradient(at, cx[k], cy[k], W, Hh, g);
            if (Order >= 2) SecondDiffs(at, cx[k], cy[k], W, Hh, g, H);
            for (int a = 0; a < 2 && Order >= 1; ++a) q[k][1 + a] = g[a];
            for (int a = 0; a < 4 && Order >= 2; ++a) q[k][3 + a] = H[a];
        }
    }
    constexpr int n = Order >= 2 ? 8 : Order >= 1 ? 4 : 1;  // whole pairs of lanes
    double r[8];
    for (int k = 0; k < 4; ++k)
        for (int a = Order >= 2 ? 7 : 3; a < n; ++a) q[k][a] = 0;
    for (int a = 0; a < n; ++a) r[a] = Bilinear(q[0][a], q[1][a], q[2][a], q[3][a], c.dx, c.dy);
    s.v = r[0];
    if (Order >= 1) s.g[0] = r[1], s.g[1] = r[2];
    if (Order >= 2)
        for (int a = 0; a < 4; ++a) s.H[a] = r[3 + a];
}
