// Triangle rasteriser: box-minus-trims fill of each row strip, so the work stays
// linear in the number of bins covered.
#include "similarity/area/Raster.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

const double kThreshold = 0.0001;

// Largest value strictly below n (n >= 1): the float or double just before it.
inline float below(int n, float)
{
    float v = float(n);
    std::uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    --b;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

inline double below(int n, double)
{
    double v = double(n);
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    --b;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

template <typename T>
inline T below(int n)
{
    return below(n, T(0));
}

// Clamps into [0, top]; NaN and -inf go to 0, +inf to top.
template <typename T>
inline T clampTo(T v, T top)
{
    return v > T(0) ? (v < top ? v : top) : T(0);
}

inline int clampIndex(int k, int n)
{
    return k < 0 ? 0 : (k >= n ? n - 1 : k);
}

inline void clampPoint(HistPoint& p, float xTop, float yTop)
{
    p.x = clampTo(p.x, xTop);
    p.y = clampTo(p.y, yTop);
}

inline double sqDist(const HistPoint& a, const HistPoint& b)
{
    const double dx = double(b.x) - a.x, dy = double(b.y) - a.y;
    return dx * dx + dy * dy;
}

inline float* rowPtr(CImg<float>& hist, int r)
{
    return hist.data() + std::size_t(r) * std::size_t(hist.width());
}


// Fraction of each strip cell lying outside an edge that runs from x = a at one end
// of the strip to x = b at the other (side 1: left of a left edge, 2: right of a right
// edge). Only columns k0 .. k1 lose anything.
struct EdgeTrim {
    bool vertical, left, flip;
    int k0, k1;
    double s, as, xmin, xmax, f0, f1, t1;

    EdgeTrim(double a, double b, int side)
        : vertical(a == b), left(side == 1), flip(false), k0(0), k1(-1), s(0), as(0),
          xmin(std::min(a, b)), xmax(std::max(a, b)), f0(0), f1(0), t1(0)
    {
        if (vertical) return;
        k0 = int(xmin);
        k1 = int(xmax);
        if (k0 == k1) return;  // within one column: half the width, no slope needed
        s = 1 / (b - a);
        as = std::fabs(s);
        f0 = k0 + 1 - xmin;  // width of column k0 right of xmin
        f1 = xmax - k1;      // width of column k1 left of xmax
        // The edge's height fraction at the left border of column k0 + 1, counted from
        // the end where x = a.
        t1 = s * f0;
        if (t1 < 0) t1 += 1;
        flip = (left && s > 0) || (!left && s < 0);
    }

    double loss(int k) const
    {
        if (k < k0 || k > k1) return 0;
        if (k0 == k1) return (xmax - xmin) / 2;
        if (k == k0) return left ? f0 * (1 - f0 * as / 2) : f0 * (f0 * as / 2);
        if (k == k1) return left ? f1 * (f1 * as / 2) : f1 * (1 - f1 * as / 2);
        // Interior column: the mean height of the edge across it is the area between
        // the a end of the strip and the edge.
        const double q = t1 + s * (k - k0 - 1) + s / 2;
        return flip ? 1 - q : q;
    }
};

}  // namespace

int classifyTriangle(const HistPoint& p0, const HistPoint& p1, const HistPoint& p2)
{
    const float tx0 = std::trunc(p0.x), ty0 = std::trunc(p0.y);
    if (tx0 == std::trunc(p1.x) && tx0 == std::trunc(p2.x) && ty0 == std::trunc(p1.y) &&
        ty0 == std::trunc(p2.y))
        return 0;
    const double ux = double(p1.x) - p0.x, uy = double(p1.y) - p0.y;
    const double vx = double(p2.x) - p0.x, vy = double(p2.y) - p0.y;
    if (ux * ux + uy * uy + vx * vx + vy * vy < kThreshold) return 0;
    if (std::fabs(ux * vy - vx * uy) / 2 < kThreshold) return 1;
    return 2;
}

void sortByY(HistPoint& p0, HistPoint& p1, HistPoint& p2)
{
    if (p1.y < p0.y) std::swap(p0, p1);
    if (p2.y < p1.y) std::swap(p1, p2);
    if (p1.y < p0.y) std::swap(p0, p1);
}

void splatTriangle(CImg<float>& hist, HistPoint p0, HistPoint p1, HistPoint p2, float w)
{
    const int W = hist.width(), H = hist.height();
    if (W <= 0 || H <= 0) return;
    const float xTop = below<float>(W), yTop = below<float>(H);
    clampPoint(p0, xTop, yTop);
    clampPoint(p1, xTop, yTop);
    clampPoint(p2, xTop, yTop);

    switch (classifyTriangle(p0, p1, p2)) {
    case 0:
        rowPtr(hist, int(p0.y))[int(p0.x)] += w;
        break;
    case 1: {
        // Spread along the two outermost points; for a line that is not (nearly)
        // horizontal these are the lowest and the highest point by y.
        sortByY(p0, p1, p2);
        HistPoint a = p0, b = p2;
        double best = sqDist(p0, p2);
        const double d01 = sqDist(p0, p1), d12 = sqDist(p1, p2);
        if (d01 > best) {
            b = p1;
            best = d01;
        }
        if (d12 > best) {
            a = p1;
            b = p2;
        }
        splatSegment(hist, a, b, w);
        break;
    }
    default: {
        const double area = std::fabs((double(p1.x) - p0.x) * (double(p2.y) - p0.y) -
                                      (double(p2.x) - p0.x) * (double(p1.y) - p0.y)) / 2;
        fillTriangle(hist, p0, p1, p2, w / area);
    }
    }
}

void splatSegment(CImg<float>& hist, HistPoint a, HistPoint b, float w)
{
    const int W = hist.width(), H = hist.height();
    if (W <= 0 || H <= 0) return;
    clampPoint(a, below<float>(W), below<float>(H));
    clampPoint(b, below<float>(W), below<float>(H));
    if (b.y < a.y) std::swap(a, b);

    const double x0 = a.x, y0 = a.y, x1 = b.x, y1 = b.y;
    const double dx = x1 - x0, dy = y1 - y0;
    if (dx == 0 && dy == 0) {
        rowPtr(hist, int(y0))[int(x0)] += w;
        return;
    }
    const double wx = dx != 0 ? w / dx : 0, wy = dy != 0 ? w / dy : 0;

    // Walk the row stops ceil(y0) .. trunc(y1), then y1. Between two stops the segment
    // lies in one row, the row of the lower stop; cut it there at the column lines and
    // credit each piece its share of w.
    double prev = y0, u = x0;
    auto runTo = [&](double e) {
        const double xe = (dy == 0 || e >= y1) ? x1 : x0 + (e - y0) / dy * dx;
        float* row = rowPtr(hist, clampIndex(int(prev), H));
        auto add = [&](double col, double v) { row[clampIndex(int(col), W)] += float(v); };
        if (dx > 0) {
            double cur = u;
            for (double j = std::floor(cur) + 1; j < xe; j += 1) {
                add(cur, (j - cur) * wx);
                cur = j;
            }
            add(cur, (xe - cur) * wx);
        } else if (dx < 0) {
            double cur = u;
            for (double j = std::ceil(cur) - 1; j > xe; j -= 1) {
                add(j, (j - cur) * wx);
                cur = j;
            }
            add(xe, (xe - cur) * wx);
        } else {
            add(x0, (e - prev) * wy);
        }
        prev = e;
        u = xe;
    };
    const int eLast = int(y1);
    for (int e = int(std::ceil(y0)); e <= eLast; ++e) runTo(e);
    runTo(y1);
}

namespace {

// fillRowSpan on a row of the histogram, positions clamped into [0, top].
inline void rowSpan(float* row, double top, double a, double b, double c, double e, double g)
{
    a = clampTo(a, top);
    b = clampTo(b, top);
    c = clampTo(c, top);
    e = clampTo(e, top);
    if (g == 0) return;

    // The whole box [lo, hi] of the strip, less what lies outside either edge; each
    // bin's net share is formed in double and added once.
    const double lo = std::min(std::min(a, b), std::min(c, e));
    const double hi = std::max(std::max(a, b), std::max(c, e));
    const int klo = int(lo), khi = int(hi);
    if (klo == khi) {  // one column: each edge cuts off half its width
        row[klo] += float(g * (hi - lo - std::fabs(b - a) / 2 - std::fabs(e - c) / 2));
        return;
    }
    const EdgeTrim left(a, b, 1), right(c, e, 2);
    for (int k = klo; k <= khi; ++k) {
        const double box = k == klo ? klo + 1 - lo : (k == khi ? hi - khi : 1.0);
        row[k] += float(g * (box - left.loss(k) - right.loss(k)));
    }
}

}  // namespace

namespace {

// fillFlatTriangle on double-precision points already inside the histogram.
void fillFlat(CImg<float>& hist, double xA, double yA, double xC, double yC, double xE, double yE,
              double d)
{
    if (xE < xA) {
        std::swap(xA, xE);
        std::swap(yA, yE);
    }
    if (yC == yA || yC == yE) return;  // no height, no area
    const double sL = (xC - xA) / (yC - yA), sR = (xC - xE) / (yC - yE);
    auto xL = [&](double y) { return xA + sL * (y - yA); };
    auto xR = [&](double y) { return xE + sR * (y - yE); };

    const double top = std::min(yA, yC), bot = std::max(yA, yC);
    const int r0 = int(top), rb = int(bot);
    if (r0 < 0 || rb >= hist.height()) return;  // not reached: the points are clamped
    const double xTop = below<double>(hist.width());
    auto span = [&](int r, double a, double b, double c, double e, double g) {
        rowSpan(rowPtr(hist, r), xTop, a, b, c, e, g);
    };
    if (r0 == rb) {
        span(r0, xA, xC, xC, xE, d * (bot - top));
        return;
    }
    span(r0, xL(top), xL(r0 + 1), xR(top), xR(r0 + 1), d * (r0 + 1 - top));
    for (int i = r0 + 1; i < rb; ++i) span(i, xL(i), xL(i + 1), xR(i), xR(i + 1), d);
    span(rb, xL(rb), xL(bot), xR(rb), xR(bot), d * (bot - rb));
}

}  // namespace

void fillTriangle(CImg<float>& hist, HistPoint p0, HistPoint p1, HistPoint p2, double d)
{
    const int W = hist.width(), H = hist.height();
    if (W <= 0 || H <= 0) return;
    const float xTop = below<float>(W), yTop = below<float>(H);
    clampPoint(p0, xTop, yTop);
    clampPoint(p1, xTop, yTop);
    clampPoint(p2, xTop, yTop);
    sortByY(p0, p1, p2);
    if (p0.y == p1.y) {
        fillFlat(hist, p0.x, p0.y, p2.x, p2.y, p1.x, p1.y, d);
    } else if (p1.y == p2.y) {
        fillFlat(hist, p1.x, p1.y, p0.x, p0.y, p2.x, p2.y, d);
    } else {
        // Cut at y1; the cut point stays in double so the two parts tile the triangle.
        const double xs = p0.x + (double(p1.y) - p0.y) / (double(p2.y) - p0.y) *
                                     (double(p2.x) - p0.x);
        fillFlat(hist, p1.x, p1.y, p0.x, p0.y, xs, p1.y, d);
        fillFlat(hist, xs, p1.y, p2.x, p2.y, p1.x, p1.y, d);
    }
}

void fillFlatTriangle(CImg<float>& hist, HistPoint A, HistPoint C, HistPoint E, double d)
{
    const int W = hist.width(), H = hist.height();
    if (W <= 0 || H <= 0) return;
    const float xTop = below<float>(W), yTop = below<float>(H);
    clampPoint(A, xTop, yTop);
    clampPoint(C, xTop, yTop);
    clampPoint(E, xTop, yTop);
    fillFlat(hist, A.x, A.y, C.x, C.y, E.x, E.y, d);
}

void fillRowSpan(CImg<float>& hist, int r, double a, double b, double c, double e, double g)
{
    const int W = hist.width();
    if (W <= 0 || r < 0 || r >= hist.height()) return;
    rowSpan(rowPtr(hist, r), below<double>(W), a, b, c, e, g);
}

void trimEdge(CImg<float>& hist, int r, double a, double b, double g, int side)
{
    const int W = hist.width();
    if (W <= 0 || r < 0 || r >= hist.height()) return;
    const double top = below<double>(W);
    const EdgeTrim edge(clampTo(a, top), clampTo(b, top), side);
    if (edge.vertical) return;
    float* row = rowPtr(hist, r);
    for (int k = edge.k0; k <= edge.k1; ++k) row[k] -= float(g * edge.loss(k));
}
