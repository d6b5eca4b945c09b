// Triangle rasteriser: box-minus-trims fill of each row strip, so the work stays
// linear in the number of bins covered; with deferred runs, linear in the rows and the
// columns the edges cross.
#include "similarity/area/Raster.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace {

const double kThreshold = 0.0001;

// Largest value strictly below n (n >= 1): the float or double just before it.
template <typename T>
inline T below(int n)
{
    return std::nextafter(T(n), T(0));
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

// Clamps the points into the histogram, [0, W) x [0, H); false for an empty histogram.
template <class Hist, class... P>
inline bool clampInto(const Hist& hist, P&... p)
{
    const int W = hist.width(), H = hist.height();
    if (W <= 0 || H <= 0) return false;
    const float xTop = below<float>(W), yTop = below<float>(H);
    (clampPoint(p, xTop, yTop), ...);
    return true;
}

inline double sqDist(const HistPoint& a, const HistPoint& b)
{
    const double dx = double(b.x) - a.x, dy = double(b.y) - a.y;
    return dx * dx + dy * dy;
}

// Row r of a histogram target, for writes to columns k0 .. k1 (indexed by column).
inline float* rowAt(CImg<float>& hist, int r, int, int)
{
    return hist.data() + std::size_t(r) * std::size_t(hist.width());
}

inline float* rowAt(SpanRows& hist, int r, int k0, int k1)
{
    return hist.span(r, k0, k1);
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

namespace {

template <class Hist> void splatSegmentIn(Hist& hist, HistPoint a, HistPoint b, float w);
template <class Hist> void fillTriangleIn(Hist& hist, HistPoint p0, HistPoint p1, HistPoint p2, double d, RowRuns* runs);

template <class Hist>
void splatTriangleIn(Hist& hist, HistPoint p0, HistPoint p1, HistPoint p2, float w, RowRuns* runs)
{
    if (!clampInto(hist, p0, p1, p2)) return;

    switch (classifyTriangle(p0, p1, p2)) {
    case 0:
        rowAt(hist, int(p0.y), int(p0.x), int(p0.x))[int(p0.x)] += w;
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
        splatSegmentIn(hist, a, b, w);
        break;
    }
    default: {
        const double area = std::fabs((double(p1.x) - p0.x) * (double(p2.y) - p0.y) -
                                      (double(p2.x) - p0.x) * (double(p1.y) - p0.y)) / 2;
        fillTriangleIn(hist, p0, p1, p2, w / area, runs);
    }
    }
}

template <class Hist>
void splatSegmentIn(Hist& hist, HistPoint a, HistPoint b, float w)
{
    if (!clampInto(hist, a, b)) return;
    const int W = hist.width(), H = hist.height();
    if (b.y < a.y) std::swap(a, b);

    const double x0 = a.x, y0 = a.y, x1 = b.x, y1 = b.y;
    const double dx = x1 - x0, dy = y1 - y0;
    if (dx == 0 && dy == 0) {
        rowAt(hist, int(y0), int(x0), int(x0))[int(x0)] += w;
        return;
    }
    const double wx = dx != 0 ? w / dx : 0, wy = dy != 0 ? w / dy : 0;

    // Walk the row stops ceil(y0) .. trunc(y1), then y1. Between two stops the segment
    // lies in one row, the row of the lower stop; cut it there at the column lines and
    // credit each piece its share of w.
    double prev = y0, u = x0;
    auto runTo = [&](double e) {
        const double xe = (dy == 0 || e >= y1) ? x1 : x0 + (e - y0) / dy * dx;
        float* row = rowAt(hist, clampIndex(int(prev), H), clampIndex(int(std::min(u, xe)), W),
                           clampIndex(int(std::max(u, xe)), W));
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

}  // namespace

void splatTriangle(CImg<float>& hist, HistPoint p0, HistPoint p1, HistPoint p2, float w)
{
    splatTriangleIn(hist, p0, p1, p2, w, nullptr);
}

void splatTriangle(CImg<float>& hist, HistPoint p0, HistPoint p1, HistPoint p2, float w, RowRuns* runs)
{
    splatTriangleIn(hist, p0, p1, p2, w, runs);
}

void splatTriangle(SpanRows& hist, HistPoint p0, HistPoint p1, HistPoint p2, float w, RowRuns* runs)
{
    splatTriangleIn(hist, p0, p1, p2, w, runs);
}

void splatSegment(CImg<float>& hist, HistPoint a, HistPoint b, float w)
{
    splatSegmentIn(hist, a, b, w);
}

namespace {

// Shorter constant stretches are written at once.
const int kMinRun = 32;

// fillRowSpan on row r of the histogram, positions clamped into [0, top].
template <class Hist>
inline void rowSpan(Hist& hist, int r, double top, double a, double b, double c, double e, double g,
                    RowRuns* runs)
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
    float* row = rowAt(hist, r, klo, khi);
    if (klo == khi) {  // one column: each edge cuts off half its width
        row[klo] += float(g * (hi - lo - std::fabs(b - a) / 2 - std::fabs(e - c) / 2));
        return;
    }
    const EdgeTrim left(a, b, 1), right(c, e, 2);
    auto own = [&](int k) {
        const double box = k == klo ? klo + 1 - lo : (k == khi ? hi - khi : 1.0);
        row[k] += float(g * (box - left.loss(k) - right.loss(k)));
    };
    auto whole = [&](int u, int v) {   // columns u .. v lie wholly between the edges
        if (v < u) return;
        if (runs && v - u + 1 >= kMinRun) {
            runs->add(hist, r, u, v, g);
            return;
        }
        const float gf = float(g * 1.0);
        for (int k = u; k <= v; ++k) row[k] += gf;
    };
    if (khi - klo <= kMinRun) {
        for (int k = klo; k <= khi; ++k) own(k);
        return;
    }
    // Columns with a share of their own: the box's two end columns and those an edge
    // crosses; every column between them gets g.
    struct Cols { int a, b; };
    Cols iv[4] = {{klo, klo}, {left.k0, left.k1}, {right.k0, right.k1}, {khi, khi}};
    for (int i = 1; i < 4; ++i)
        for (int j = i; j > 0 && iv[j].a < iv[j - 1].a; --j) std::swap(iv[j], iv[j - 1]);
    int k = klo;
    for (const Cols& v : iv) {
        if (v.b < v.a || v.b < k) continue;   // empty (a vertical edge) or done
        whole(k, v.a - 1);
        for (int j = std::max(v.a, k); j <= v.b; ++j) own(j);
        k = v.b + 1;
    }
}

}  // namespace

namespace {

// fillFlatTriangle on double-precision points already inside the histogram.
template <class Hist>
void fillFlat(Hist& hist, double xA, double yA, double xC, double yC, double xE, double yE,
              double d, RowRuns* runs = nullptr)
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
        rowSpan(hist, r, xTop, a, b, c, e, g, runs);
    };
    if (r0 == rb) {
        span(r0, xA, xC, xC, xE, d * (bot - top));
        return;
    }
    span(r0, xL(top), xL(r0 + 1), xR(top), xR(r0 + 1), d * (r0 + 1 - top));
    for (int i = r0 + 1; i < rb; ++i) span(i, xL(i), xL(i + 1), xR(i), xR(i + 1), d);
    span(rb, xL(rb), xL(bot), xR(rb), xR(bot), d * (bot - rb));
}

template <class Hist>
void fillTriangleIn(Hist& hist, HistPoint p0, HistPoint p1, HistPoint p2, double d, RowRuns* runs)
{
    if (!clampInto(hist, p0, p1, p2)) return;
    sortByY(p0, p1, p2);
    if (p0.y == p1.y) {
        fillFlat(hist, p0.x, p0.y, p2.x, p2.y, p1.x, p1.y, d, runs);
    } else if (p1.y == p2.y) {
        fillFlat(hist, p1.x, p1.y, p0.x, p0.y, p2.x, p2.y, d, runs);
    } else {
        // Cut at y1; the cut point stays in double so the two parts tile the triangle.
        const double xs = p0.x + (double(p1.y) - p0.y) / (double(p2.y) - p0.y) *
                                     (double(p2.x) - p0.x);
        fillFlat(hist, p1.x, p1.y, p0.x, p0.y, xs, p1.y, d, runs);
        fillFlat(hist, xs, p1.y, p2.x, p2.y, p1.x, p1.y, d, runs);
    }
}

}  // namespace

void fillTriangle(CImg<float>& hist, HistPoint p0, HistPoint p1, HistPoint p2, double d, RowRuns* runs)
{
    fillTriangleIn(hist, p0, p1, p2, d, runs);
}

void fillFlatTriangle(CImg<float>& hist, HistPoint A, HistPoint C, HistPoint E, double d)
{
    if (!clampInto(hist, A, C, E)) return;
    fillFlat(hist, A.x, A.y, C.x, C.y, E.x, E.y, d);
}

void fillRowSpan(CImg<float>& hist, int r, double a, double b, double c, double e, double g)
{
    const int W = hist.width();
    if (W <= 0 || r < 0 || r >= hist.height()) return;
    rowSpan(hist, r, below<double>(W), a, b, c, e, g, nullptr);
}

void trimEdge(CImg<float>& hist, int r, double a, double b, double g, int side)
{
    const int W = hist.width();
    if (W <= 0 || r < 0 || r >= hist.height()) return;
    const double top = below<double>(W);
    const EdgeTrim edge(clampTo(a, top), clampTo(b, top), side);
    if (edge.vertical) return;
    float* row = rowAt(hist, r, edge.k0, edge.k1);
    for (int k = edge.k0; k <= edge.k1; ++k) row[k] -= float(g * edge.loss(k));
}

template <class Hist>
void RowRuns::add(Hist& hist, int r, int k0, int k1, double g)
{
    runs_.push_back(Run{r, k0, k1, g});
    if (runs_.size() >= cap_) flush(hist);
}

template <class Hist>
void RowRuns::flush(Hist& hist)
{
    if (runs_.empty()) return;
    const int W = hist.width(), H = hist.height();
    // Bucket the runs by row (counting sort), then sweep each row once over the columns
    // its runs span, with the weights and counts of the runs that start and end there.
    rowStart_.assign(std::size_t(H) + 1, 0);
    for (const Run& u : runs_) ++rowStart_[std::size_t(u.row) + 1];
    for (int r = 0; r < H; ++r) rowStart_[r + 1] += rowStart_[r];
    byRow_.resize(runs_.size());
    for (const Run& u : runs_) byRow_[rowStart_[u.row]++] = u;   // rowStart_[r] becomes the end of row r
    diff_.assign(std::size_t(W) + 1, 0.0);
    open_.assign(std::size_t(W) + 1, 0);
    std::size_t i = 0;
    for (int r = 0; r < H; ++r) {
        const std::size_t end = rowStart_[r];
        if (i == end) continue;
        int kmin = W, kmax = -1;
        for (; i < end; ++i) {
            const Run& u = byRow_[i];
            diff_[u.k0] += u.g;
            diff_[u.k1 + 1] -= u.g;
            ++open_[u.k0];
            --open_[u.k1 + 1];
            kmin = std::min(kmin, u.k0);
            kmax = std::max(kmax, u.k1);
        }
        float* row = rowAt(hist, r, kmin, kmax);
        double acc = 0;
        int open = 0;
        for (int k = kmin; k <= kmax + 1; ++k) {
            acc += diff_[k];
            open += open_[k];
            diff_[k] = 0;
            open_[k] = 0;
            if (open == 0) acc = 0;   // no run covers column k
            else row[k] += float(acc);
        }
    }
    runs_.clear();
}

template void RowRuns::add(CImg<float>&, int, int, int, double);
template void RowRuns::flush(CImg<float>&);
template void RowRuns::add(SpanRows&, int, int, int, double);
template void RowRuns::flush(SpanRows&);

// ---- SpanRows ----------------------------------------------------------------------------

void SpanRows::assign(int W, int H)
{
    if (W != W_ || H != H_) {
        W_ = W;
        H_ = H;
        rows_.assign(std::size_t(H > 0 ? H : 0), Row());
        held_.clear();
        heldSorted_ = true;
        return;
    }
    clear();
}

void SpanRows::widen(int r, int k0, int k1)
{
    Row& row = rows_[r];
    const bool empty = row.hi < row.lo;
    int lo = empty ? k0 : std::min(k0, row.lo), hi = empty ? k1 : std::max(k1, row.hi);
    if (!empty) {
        // room to grow: the span at least doubles, toward the side written
        const int grow = row.hi - row.lo + 1;
        if (k0 < row.lo) lo = std::max(0, lo - grow);
        if (k1 > row.hi) hi = std::min(W_ - 1, hi + grow);
    } else {
        held_.push_back(r);
        heldSorted_ = heldSorted_ && (held_.size() < 2 || held_[held_.size() - 2] < r);
    }
    std::vector<float> store(std::size_t(hi - lo) + 1, 0.f);
    if (!empty) std::copy(row.store.begin(), row.store.end(), store.begin() + (row.lo - lo));
    row.store.swap(store);
    row.lo = lo;
    row.hi = hi;
    row.at = row.store.data() - lo;
}

void SpanRows::clear()
{
    for (int r : held_) std::fill(rows_[r].store.begin(), rows_[r].store.end(), 0.f);
}

const std::vector<int>& SpanRows::heldRows()
{
    if (!heldSorted_) {
        std::sort(held_.begin(), held_.end());
        heldSorted_ = true;
    }
    return held_;
}

CImg<float> SpanRows::dense() const
{
    CImg<float> out(W_, H_, 1, 1, 0.f);
    for (int r : held_) {
        const Row& row = rows_[r];
        std::copy(row.store.begin(), row.store.end(), out.data() + std::size_t(r) * W_ + row.lo);
    }
    return out;
}
