#include "similarity/area/CostFnMItri.h"

#include <algorithm>
#include <cmath>

#include "similarity/CostFnMI.h"

namespace {

// Largest joint histogram built (elements), as for the point-sampled measures.
const double kMaxHistElements = double(1 << 28);

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
    if (!(n * n <= kMaxHistElements))
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

inline bool finite2(float x, float y) { return std::isfinite(x) && std::isfinite(y); }

// Sorts ascending and keeps the distinct values.
inline void sortUnique(std::vector<float>& v)
{
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

}  // namespace

// ---- CCostFnMItri ---------------------------------------------------------------------

CCostFnMItri::CCostFnMItri(CImgI<float>& r, CImgI<float>& t, int code)
    : CCostFn(r, t, code)
{
    nBins = std::max(binsFor(ref), binsFor(tmp));
    nBins2 = nBins * nBins;
    lastBin = nBins - 1;
    jointHist.assign(nBins, nBins, 1, 1, 0.f);
    margTmp.assign(jointHist.width(), 1, 1, 1, 0.f);
    margRef.assign(jointHist.height(), 1, 1, 1, 0.f);
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
        splatTriangle(jointHist, v00, v10, v11, w);
        splatTriangle(jointHist, v00, v01, v11, w);
    } else if (order == 3) {
        const HistPoint c{(v00.x + v10.x + v01.x + v11.x) / 4, (v00.y + v10.y + v01.y + v11.y) / 4};
        const float h = w / 2;
        splatTriangle(jointHist, v00, v10, c, h);
        splatTriangle(jointHist, v10, v11, c, h);
        splatTriangle(jointHist, v01, v11, c, h);
        splatTriangle(jointHist, v00, v01, c, h);
    } else {
        splatTriangle(jointHist, v00, v10, v01, w);
        splatTriangle(jointHist, v10, v01, v11, w);
    }
}

float CCostFnMItri::valueOfHist()
{
    marginalOverX(jointHist, margRef);
    marginalOverY(jointHist, margTmp);
    const float hJ = entropy(jointHist), hT = entropy(margTmp), hR = entropy(margRef);
    const float d = hJ - hT;
    return d - hR;
}

float CCostFnMItri::eval(const CImg<float>& p)
{
    jointHist.fill(0.f);
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
    return jointHist;
}

// ---- CCostFnMItrigrid -----------------------------------------------------------------

CCostFnMItrigrid::CCostFnMItrigrid(CImgI<float>& r, CImgI<float>& t, int code)
    : CCostFnMItri(r, t, code)
{
}

CCostFnMItrigrid::~CCostFnMItrigrid() {}

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
    jointHist.fill(0.f);
    const int cols = tmp.width() - 4, rows = tmp.height() - 4;
    if (cols > 0 && rows > 0) {
        const float w = 0.5f / (float(cols) * float(rows));
        warp.takeParams(p);
        for (int Y = 1; Y <= rows; ++Y) {
            const float y0 = float(Y) - tmpCy - 1.f, y1 = float(Y) - tmpCy;
            for (int X = 1; X <= cols; ++X) {
                const float x0 = float(X) - tmpCx - 1.f, x1 = float(X) - tmpCx;
                float ax, ay, bx, by;
                warp.WarpCurrent(x0, y0, ax, ay);
                warp.WarpCurrent(x1, y1, bx, by);
                breaksX.clear();
                breaksY.clear();

                // Whole reference positions of the box from A to B, mapped back; those
                // inside the cell are breakpoints (a non-finite point is inside none).
                if (finite2(ax, ay) && finite2(bx, by)) {
                    const double gx0 = std::ceil(double(ax)), gx1 = std::floor(double(bx));
                    const double gy1 = std::floor(double(by));
                    for (double gy = std::ceil(double(ay)); gy <= gy1; gy += 1)
                        for (double gx = gx0; gx <= gx1; gx += 1) {
                            float qx, qy;
                            WarpInverseCurrent(warp, float(gx), float(gy), qx, qy);
                            if (x0 <= qx && qx <= x1 && y0 <= qy && qy <= y1) {
                                breaksX.push_back(qx);
                                breaksY.push_back(qy);
                            }
                        }
                }
                breaksX.push_back(x0);
                breaksX.push_back(x1);
                breaksY.push_back(y0);
                breaksY.push_back(y1);
                sortUnique(breaksX);
                sortUnique(breaksY);

                // Every piece [xa, xb] x [ya, yb] as two triangles on its (xa, ya)-(xb, yb)
                // diagonal, weighted by its area.
                sampleRow(breaksY[0], tmpA_, refA_);
                for (std::size_t j = 0; j + 1 < breaksY.size(); ++j) {
                    const float ya = breaksY[j], yb = breaksY[j + 1];
                    sampleRow(yb, tmpB_, refB_);
                    for (std::size_t i = 0; i + 1 < breaksX.size(); ++i) {
                        const float xa = breaksX[i], xb = breaksX[i + 1];
                        const float v = std::fabs((xa - xb) * (ya - yb)) * w;
                        const HistPoint v00{tmpA_[i], refA_[i]}, v10{tmpA_[i + 1], refA_[i + 1]};
                        const HistPoint v01{tmpB_[i], refB_[i]}, v11{tmpB_[i + 1], refB_[i + 1]};
                        splatTriangle(jointHist, v00, v10, v11, v);
                        splatTriangle(jointHist, v00, v01, v11, v);
                    }
                    tmpA_.swap(tmpB_);
                    refA_.swap(refB_);
                }
            }
        }
    }
    return valueOfHist();
}
