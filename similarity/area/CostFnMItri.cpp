#include "similarity/area/CostFnMItri.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "similarity/CostFnMI.h"

namespace {

// Largest bin count taken: a histogram of more bins could not hold even its rows.
const double kMaxHistBins = double(1 << 24);

// trunc(max) + 1 over the image's finite pixels, at least 1 (the clamped rasteriser puts
// non-finite intensities into the edge bins).
int binsFor(const CImg<float>& img)
{
    if (img.is_empty())
        throw cimg_library::CImgArgumentException(
            "CImgStats::CImgStats() : Specified input image (%u,%u,%u,%u,%p) is empty.",
            img.width(), img.height(), img.depth(), img.spectrum(), (const void*)img.data());
    float m = 0.f;
    cimg_for(img, p, float) if (std::isfinite(*p) && *p > m) m = *p;
    const double n = std::floor(double(m)) + 1.0;
    if (!(n <= kMaxHistBins))
        throw cimg_library::CImgArgumentException(
            "CCostFnMItri: the largest intensity %g needs a joint histogram too large to build "
            "(intensities are histogram bin numbers).", double(m));
    return int(n);
}

// The image library's bilinear interpolation with clamped coordinates (first plane); a NaN
// coordinate reads as 0. Its difference form is exact on constant images.
inline float bilinear(const CImg<float>& img, float x, float y)
{
    return img._linear_atXY(x == x ? x : 0.f, y == y ? y : 0.f, 0, 0);
}

// Sorts ascending and keeps the distinct values.
inline void sortUnique(std::vector<float>& v)
{
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

// The inverse warp of the current parameters as an affine map q = L ((x', y') - t), with
// the float constants the inverse maps compute with, and a bound `rel` on the relative
// error of the divisor they form (the affine determinant). ok is false for a singular or
// non-finite map, whose inverse points are non-finite and lie in no cell.
struct InverseMap {
    double L[2][2], t[2], rel;
    bool ok;
};

InverseMap inverseOf(const CWarp& warp)
{
    InverseMap m{{{1, 0}, {0, 1}}, {0, 0}, 0, true};
    const CImg<float>& q = warp.params;
    const double s = warp.sinAngle, c = warp.cosAngle;
    switch (warp.code) {
    case 2:
        m.t[0] = q[0]; m.t[1] = q[1];
        break;
    case 3: case 23: case 4: case 24: {
        const double f = (warp.code == 4 || warp.code == 24) ? 1.0 / double(1.f + q[3]) : 1.0;
        m.L[0][0] = c * f; m.L[0][1] = -s * f; m.L[1][0] = s * f; m.L[1][1] = c * f;
        m.t[0] = q[0]; m.t[1] = q[1];
        break;
    }
    default: {
        const double d0 = 1.f + q[0], d3 = 1.f + q[3], p1 = q[1], p2 = q[2];
        const double det = d0 * d3 - p1 * p2;
        m.L[0][0] = d3 / det; m.L[0][1] = -p2 / det; m.L[1][0] = -p1 / det; m.L[1][1] = d0 / det;
        m.t[0] = q[4]; m.t[1] = q[5];
        m.rel = 4.0 * FLT_EPSILON * (std::fabs(d0 * d3) + std::fabs(p1 * p2)) / std::fabs(det);
        m.ok = det != 0.0;
        break;
    }
    }
    for (const double v : {m.L[0][0], m.L[0][1], m.L[1][0], m.L[1][1], m.t[0], m.t[1], m.rel})
        if (!std::isfinite(v)) m.ok = false;
    return m;
}

// The whole positions u in [ulo, uhi] of a reference row (axis 0: points (u, fixed)) or
// column (axis 1: points (fixed, u)) that can map into the cell [lo0, hi0] x [lo1, hi1]:
// the interval where the exact inverse lies in the cell widened by a bound on the rounding
// of the float inverse, so every point the float test accepts is inside. False when empty.
bool cellSpan(const InverseMap& m, int axis, double fixed, double ulo, double uhi, const double lo[2],
              const double hi[2], double& outLo, double& outHi)
{
    const double um = std::max(std::fabs(ulo), std::fabs(uhi)), fm = std::fabs(fixed);
    outLo = ulo;
    outHi = uhi;
    for (int r = 0; r < 2; ++r) {
        const double a = m.L[r][axis], b = m.L[r][1 - axis], ta = m.t[axis], tb = m.t[1 - axis];
        const double err = 8.0 * FLT_EPSILON * (std::fabs(a) * (um + std::fabs(ta)) + std::fabs(b) * (fm + std::fabs(tb))) +
                           2.0 * m.rel * std::max(std::fabs(lo[r]), std::fabs(hi[r])) + 1e-30;
        const double k = b * (fixed - tb) - a * ta;   // q_r = a u + k
        const double l = lo[r] - err - k, h = hi[r] + err - k;
        if (a == 0.0) {
            if (!(l <= 0.0 && 0.0 <= h)) return false;
            continue;
        }
        double u = l / a, v = h / a;
        if (u > v) std::swap(u, v);
        const double slack = 1e-9 * (1.0 + std::max(std::fabs(u), std::fabs(v)));
        outLo = std::max(outLo, std::ceil(u - slack));
        outHi = std::min(outHi, std::floor(v + slack));
    }
    return outLo <= outHi;
}

}  // namespace

// ---- CCostFnMItri ---------------------------------------------------------------------

CCostFnMItri::CCostFnMItri(CImgI<float>& r, CImgI<float>& t, int code)
    : CCostFn(r, t, code)
{
    nBins = std::max(binsFor(ref), binsFor(tmp));
    lastBin = nBins - 1;
    jointHist.assign(nBins, nBins);
    margTmp.assign(nBins, 1, 1, 1, 0.f);
    margRef.assign(nBins, 1, 1, 1, 0.f);
    // Runs held before a sweep: enough that a sweep (a pass over the rows of the runs) costs
    // a few operations per run.
    runs.setCapacity(std::max<std::size_t>(4096, std::size_t(nBins) * 4));
}

CCostFnMItri::~CCostFnMItri() {}

void CCostFnMItri::setInterpAndOrder(int, int ord, bool)
{
    order = ord;
}

void CCostFnMItri::splatCell(const HistPoint& v00, const HistPoint& v10, const HistPoint& v01,
                             const HistPoint& v11, float w)
{
    if (order == 2) {
        splatTriangle(jointHist, v00, v10, v11, w, &runs);
        splatTriangle(jointHist, v00, v01, v11, w, &runs);
    } else if (order == 3) {
        const HistPoint c{(v00.x + v10.x + v01.x + v11.x) / 4, (v00.y + v10.y + v01.y + v11.y) / 4};
        const float h = w / 2;
        splatTriangle(jointHist, v00, v10, c, h, &runs);
        splatTriangle(jointHist, v10, v11, c, h, &runs);
        splatTriangle(jointHist, v01, v11, c, h, &runs);
        splatTriangle(jointHist, v00, v01, c, h, &runs);
    } else {
        splatTriangle(jointHist, v00, v10, v01, w, &runs);
        splatTriangle(jointHist, v10, v01, v11, w, &runs);
    }
}

void CCostFnMItri::startHist()
{
    jointHist.clear();
    runs.clear();
}

// The sums of a scan of the dense histogram, over the spans its rows hold.
float CCostFnMItri::valueOfHist()
{
    runs.flush(jointHist);
    margRef.fill(0.f);
    margTmp.fill(0.f);
    float* const mr = margRef.data();
    float* const mt = margTmp.data();
    double sJ = 0;
    for (const int r : jointHist.heldRows()) {
        const float* row = jointHist.row(r);
        float s = 0.f;
        for (int k = jointHist.lo(r), e = jointHist.hi(r); k <= e; ++k) {
            const float v = row[k];
            s += v;
            mt[k] += v;
            if (v > 0.f) sJ += double(v) * std::log(double(v));
        }
        mr[r] = s;
    }
    const float hJ = float(-sJ), hT = entropy(margTmp), hR = entropy(margRef);
    const float d = hJ - hT;
    return d - hR;
}

float CCostFnMItri::eval(const CImg<float>& p)
{
    startHist();
    const int cols = tmp.width() - 4, rows = tmp.height() - 4;
    if (cols > 0 && rows > 0) {
        const float w = 0.5f / (float(cols) * float(rows));
        warp.takeParams(p);
        float rx, ry;
        for (int Y = 1; Y <= rows; ++Y) {
            const float y0 = float(Y) - tmpCy - 1.f, y1 = float(Y) - tmpCy;
            // Corners on the left of the first cell; each cell hands its right corners on.
            const float xl = 1.f - tmpCx - 1.f;
            warp.WarpCurrent(xl, y0, rx, ry);
            HistPoint v00{tmp.px(1, Y), bilinear(ref, rx, ry)};
            warp.WarpCurrent(xl, y1, rx, ry);
            HistPoint v01{tmp.px(1, Y + 1), bilinear(ref, rx, ry)};
            for (int X = 1; X <= cols; ++X) {
                const float x1 = float(X) - tmpCx;
                warp.WarpCurrent(x1, y0, rx, ry);
                const HistPoint v10{tmp.px(X + 1, Y), bilinear(ref, rx, ry)};
                warp.WarpCurrent(x1, y1, rx, ry);
                const HistPoint v11{tmp.px(X + 1, Y + 1), bilinear(ref, rx, ry)};
                splatCell(v00, v10, v01, v11, w);
                v00 = v10;
                v01 = v11;
            }
        }
    }
    return valueOfHist();
}

float CCostFnMItri::evalD(const CImg<float>& p, CImg<float>& g)
{
    g.fill(0.f);
    return eval(p);
}

float CCostFnMItri::evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H)
{
    g.fill(0.f);
    H.fill(0.f);
    return eval(p);
}

CImg<float> CCostFnMItri::getJointHist()
{
    return jointHist.dense();
}

// ---- CCostFnMItrigrid -----------------------------------------------------------------

namespace {

const char kTooManyPositions[] =
    "Warp too large for operator 7: its cells span more than 67108864 reference positions.";
const char kTooManyPieces[] =
    "Warp too large for operator 7: its cells would be cut into more than 268435456 pieces.";

// The whole numbers in [a, b]: none for an empty interval or a NaN end, infinitely many when
// one end is infinite and the other is not.
double wholeIn(float a, float b)
{
    const double lo = std::ceil(double(a)), hi = std::floor(double(b));
    if (!(lo <= hi)) return 0.0;
    if (std::isinf(lo) || std::isinf(hi)) return lo == hi ? 0.0 : HUGE_VAL;
    return hi - lo + 1.0;
}

// Whole reference positions in the box from a to b.
double boxPositions(float ax, float ay, float bx, float by)
{
    const double nx = wholeIn(ax, bx), ny = wholeIn(ay, by);
    return nx > 0.0 && ny > 0.0 ? nx * ny : 0.0;
}

// The breakpoints of the cell [x0, x1] x [y0, y1] whose corners (x0, y0) and (x1, y1) warp
// to a and b: the inverses of the whole reference positions of the box from a to b that lie
// in the cell, and the cell's edges; sorted, distinct. Each box row maps onto one line in
// the template: a long row is tested only over the stretch that can meet the cell. The box
// must hold finitely many positions.
void cutCell(CWarp& warp, const InverseMap& inv, float x0, float x1, float y0, float y1, float ax,
             float ay, float bx, float by, std::vector<float>& breaksX, std::vector<float>& breaksY)
{
    breaksX.clear();
    breaksY.clear();
    const double nx = wholeIn(ax, bx), ny = wholeIn(ay, by);
    if (inv.ok && nx > 0.0 && ny > 0.0) {
        const double gx0 = std::ceil(double(ax)), gy0 = std::ceil(double(ay));
        const double lo[2] = {x0, y0}, hi[2] = {x1, y1};
        const long long cols = (long long)nx, rows = (long long)ny;
        for (long long j = 0; j < rows; ++j) {
            const double gy = gy0 + double(j);
            long long i0 = 0, i1 = cols - 1;
            if (cols > 8) {
                double u0, u1;
                if (!cellSpan(inv, 0, gy, gx0, gx0 + double(cols - 1), lo, hi, u0, u1)) continue;
                i0 = (long long)(u0 - gx0);
                i1 = (long long)(u1 - gx0);
            }
            const float fy = float(gy);
            for (long long i = i0; i <= i1; ++i) {
                float qx, qy;
                WarpInverseCurrent(warp, float(gx0 + double(i)), fy, qx, qy);
                if (x0 <= qx && qx <= x1 && y0 <= qy && qy <= y1) {
                    breaksX.push_back(qx);
                    breaksY.push_back(qy);
                }
            }
        }
    }
    breaksX.push_back(x0);
    breaksX.push_back(x1);
    breaksY.push_back(y0);
    breaksY.push_back(y1);
    sortUnique(breaksX);
    sortUnique(breaksY);
}

}  // namespace

CCostFnMItrigrid::CCostFnMItrigrid(CImgI<float>& r, CImgI<float>& t, int code)
    : CCostFnMItri(r, t, code)
{
}

CCostFnMItrigrid::~CCostFnMItrigrid() {}

template <class F> void CCostFnMItrigrid::forEachCell(F&& f)
{
    const int cols = tmp.width() - 4, rows = tmp.height() - 4;
    for (int Y = 1; Y <= rows; ++Y) {
        const float y0 = float(Y) - tmpCy - 1.f, y1 = float(Y) - tmpCy;
        for (int X = 1; X <= cols; ++X) {
            const float x0 = float(X) - tmpCx - 1.f, x1 = float(X) - tmpCx;
            float ax, ay, bx, by;
            warp.WarpCurrent(x0, y0, ax, ay);
            warp.WarpCurrent(x1, y1, bx, by);
            if (!f(x0, x1, y0, y1, ax, ay, bx, by)) return;
        }
    }
}

const char* CCostFnMItrigrid::tooLarge(const CImg<float>& p)
{
    warp.takeParams(p);
    const InverseMap inv = inverseOf(warp);
    // Where one inverse coordinate follows one reference axis alone, a cell has at most as
    // many breakpoints on it as the box has positions along that axis.
    const bool byColumn = inv.L[0][1] == 0.0, byRow = inv.L[1][0] == 0.0;
    double positions = 0.0, pieces = 0.0;
    forEachCell([&](float, float, float, float, float ax, float ay, float bx, float by) {
        const double n = boxPositions(ax, ay, bx, by);
        positions += n;
        if (inv.ok && n > 0.0) {
            const double cutsX = byColumn ? wholeIn(ax, bx) : n, cutsY = byRow ? wholeIn(ay, by) : n;
            pieces += (1.0 + cutsX) * (1.0 + cutsY);
        } else {
            pieces += 1.0;
        }
        return true;
    });
    if (!(positions <= kMaxPositions)) return kTooManyPositions;
    if (pieces <= kMaxPieces) return nullptr;

    // The estimate takes every position as a breakpoint of its own: count the pieces.
    double exact = 0.0;
    forEachCell([&](float x0, float x1, float y0, float y1, float ax, float ay, float bx, float by) {
        cutCell(warp, inv, x0, x1, y0, y1, ax, ay, bx, by, breaksX, breaksY);
        exact += double(breaksX.size() - 1) * double(breaksY.size() - 1);
        return exact <= kMaxPieces;
    });
    return exact > kMaxPieces ? kTooManyPieces : nullptr;
}

void CCostFnMItrigrid::sampleRow(float y, std::vector<float>& t, std::vector<float>& r)
{
    const std::size_t n = breaksX.size();
    t.resize(n);
    r.resize(n);
    const float py = y + tmpCy + 1.f;
    float rx, ry;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = breaksX[i];
        t[i] = bilinear(tmp, x + tmpCx + 1.f, py);
        warp.WarpCurrent(x, y, rx, ry);
        r[i] = bilinear(ref, rx, ry);
    }
}

float CCostFnMItrigrid::eval(const CImg<float>& p)
{
    if (const char* why = tooLarge(p)) throw cimg_library::CImgArgumentException("%s", why);
    startHist();
    const int cols = tmp.width() - 4, rows = tmp.height() - 4;
    const float w = 0.5f / (float(std::max(cols, 1)) * float(std::max(rows, 1)));
    warp.takeParams(p);
    const InverseMap inv = inverseOf(warp);
    forEachCell([&](float x0, float x1, float y0, float y1, float ax, float ay, float bx, float by) {
        cutCell(warp, inv, x0, x1, y0, y1, ax, ay, bx, by, breaksX, breaksY);

        // Every piece [xa, xb] x [ya, yb] as two triangles on its (xa, ya)-(xb, yb) diagonal,
        // weighted by its area. A piece whose four vertices lie in one bin of the histogram
        // puts both triangles' mass there.
        sampleRow(breaksY[0], tmpA_, refA_);
        for (std::size_t j = 0; j + 1 < breaksY.size(); ++j) {
            const float ya = breaksY[j], yb = breaksY[j + 1];
            sampleRow(yb, tmpB_, refB_);
            for (std::size_t i = 0; i + 1 < breaksX.size(); ++i) {
                const float xa = breaksX[i], xb = breaksX[i + 1];
                const float v = std::fabs((xa - xb) * (ya - yb)) * w;
                const int bin = binOf(tmpA_[i], refA_[i]);
                if (bin >= 0 && bin == binOf(tmpA_[i + 1], refA_[i + 1]) && bin == binOf(tmpB_[i], refB_[i]) &&
                    bin == binOf(tmpB_[i + 1], refB_[i + 1])) {
                    const int r = bin / nBins, k = bin - r * nBins;
                    float& e = jointHist.span(r, k, k)[k];
                    e += v;
                    e += v;
                    continue;
                }
                const HistPoint v00{tmpA_[i], refA_[i]}, v10{tmpA_[i + 1], refA_[i + 1]};
                const HistPoint v01{tmpB_[i], refB_[i]}, v11{tmpB_[i + 1], refB_[i + 1]};
                splatTriangle(jointHist, v00, v10, v11, v, &runs);
                splatTriangle(jointHist, v00, v01, v11, v, &runs);
            }
            tmpA_.swap(tmpB_);
            refA_.swap(refB_);
        }
        return true;
    });
    return valueOfHist();
}
