#include "similarity/CostFn.h"

#include <cfloat>
#include <climits>
#include <algorithm>
#include <cmath>
#include <iostream>

namespace {

// A factor of N as a visit count: NaN counts 1 (one sample at i = 1), at most INT_MAX.
int walkCount(float f)
{
    if (f != f) return 1;
    if (f <= 0.f) return 0;
    return f < 2147483647.f ? int(f) : INT_MAX;
}

// The two factors of N at rate r over a w x h template, in float.
void sampleFactors(float r, int w, int h, float& fx, float& fy)
{
    const float inv = 1.f / r;
    fx = std::floor(inv * float(w - 1) + 1.f);
    fy = std::floor(inv * float(h - 1) + 1.f);
}

// dst = a deep copy of src, or src's own pixels when src is handed over (src is left empty).
void take(CImgI<float>& dst, CImgI<float>& src)
{
    if (src.handOver && !src.is_shared()) {
        dst.swap(src);
        src.handOver = false;
        src.setLast();
    } else {
        dst.assign(src, false);
    }
    dst.setLast();
}

}  // namespace

CCostFn::CCostFn(CImgI<float>& r, CImgI<float>& t, int code)
    : warp(code)
{
    if (r.is_empty())
        throw cimg_library::CImgArgumentException("CCostFn: the reference image is empty.");
    take(ref, r);
    take(tmp, t);
    sampleRate = 1.f;
    nParams = code >= 10 ? code / 10 : (code < 0 ? 0 : code);
    jcbn.assign(nParams, 1, 1, 1, 0.f);
    tmpW = float(tmp.width() - 3);
    tmpH = float(tmp.height() - 3);
    rxyStep[0] = rxyStep[1] = rxyNextCol[0] = rxyNextCol[1] = rxy[0] = rxy[1] = 0.f;
    tmpCx = float(tmp.width() - 4) * 0.5f;
    tmpCy = float(tmp.height() - 4) * 0.5f;
    nSamples = 0.f;
    interp = 1;
    order = 1;
    bounded = true;
    refKind = 1;
    refNb = false;
    CCostFn::setSampleRate(1.f);   // N = w h; selects the samplers of (1, 1, true)
}

CCostFn::~CCostFn() {}

void CCostFn::setInterpAndOrder(int in, int ord, bool bnd)
{
    interp = in;
    order = ord;
    bounded = bnd;
    nTaps = ord > 3 ? 2 : ord + 1;
    nTaps2 = nTaps * nTaps;
    if (sampleRate == 1.f) sampleTmp = &CImgI<float>::get_neumann_floor;
    else if (in == 0) sampleTmp = &CImgI<float>::get_neumann_nb;
    else if (in == 3) sampleTmp = &CImgI<float>::get_cubic_nb;
    else sampleTmp = &CImgI<float>::get_linear_nb;
    if (in == 0 || in == 1 || in == 3) {
        refKind = in;
        refNb = !bnd;
    } else if (bnd) {
        refNb = false;   // other methods keep the family, but never unclamped while bounded
    }
    selectRefSamplers();
}

void CCostFn::selectRefSamplers()
{
    typedef CImgI<float> I;
    switch (refKind) {
    case 0:
        sampleRef = refNb ? &I::get_neumann_nb : &I::get_neumann;
        sampleRefD = refNb ? &I::get_Dneumann_nb : &I::get_Dneumann;
        sampleRefDD = refNb ? &I::get_DDneumann_nb : &I::get_DDneumann;
        break;
    case 3:
        sampleRef = refNb ? &I::get_cubic_nb : &I::get_cubic;
        sampleRefD = refNb ? &I::get_Dcubic_nb : &I::get_Dcubic;
        sampleRefDD = refNb ? &I::get_DDcubic_nb : &I::get_DDcubic;
        break;
    default:
        sampleRef = refNb ? &I::get_linear_nb : &I::get_linear;
        sampleRefD = refNb ? &I::get_Dlinear_nb : &I::get_Dlinear;
        sampleRefDD = refNb ? &I::get_DDlinear_nb : &I::get_DDlinear;
        break;
    }
}

void CCostFn::setTmp(CImgI<float>& t)
{
    if (t.width() < tmp.width() || t.height() < tmp.height())
        throw cimg_library::CImgArgumentException(
            "CCostFn::setTmp(): the template is smaller than the one given at construction.");
    tmp.assign(t, false);
    tmp.setLast();
    setSampleRate(sampleRate);
}

void CCostFn::setSampleRate(float r)
{
    if (r < 1e-6f) {
        std::cout << "CCostFn::setSampleRate warning: Sample Rate very" << " low or negative: " << r
                  << " Setting to 1.\n" << std::flush;
        r = 1.f;
    }
    sampleRate = r;
    float fx, fy;
    sampleFactors(r, tmp.width() - 3, tmp.height() - 3, fx, fy);
    nSamples = fx * fy;
    walkCols = walkCount(fx);
    walkRows = walkCount(fy);
    setInterpAndOrder(interp, order, bounded);
}

void CCostFn::walkCounts(float r, int w, int h, int& cols, int& rows)
{
    float fx, fy;
    sampleFactors(r, w, h, fx, fy);
    cols = walkCount(fx);
    rows = walkCount(fy);
}

const char* CCostFn::walkRefusal(int cols, int rows, int w, int h)
{
    const double samples = double(cols) * double(rows);
    if (samples > 268435456.0 && samples > double(w) * double(h))
        return "Sampling rate too low: more than 268435456 samples per warp.";
    if ((cols > 1048576 && cols > w) || (rows > 1048576 && rows > h))
        return "Sampling rate too low: more than 1048576 samples along a template axis.";
    return nullptr;
}

float CCostFn::getShiftTol() { return 0.f; }

void CCostFn::refFootprint(int& lo, int& hi) const
{
    switch (refKind) {
    case 0: lo = 1; hi = 1; break;   // the second-derivative form reads ix - 1 .. ix + 1
    case 3: lo = 1; hi = 2; break;
    default: lo = 0; hi = 1; break;
    }
}

void CCostFn::initRxyIterator(const CImg<float>& p)
{
    const float r = sampleRate;
    warp.WarpDelta(p, 0.f, r, rxyStep[0], rxyStep[1]);
    float d[2], s[2];
    warp.WarpDelta(p, r, -(float(walkRows - 1) * r), d[0], d[1]);
    warp.Warp(p, -tmpCx, -tmpCy, s[0], s[1]);   // leaves the warp's state at p
    for (int k = 0; k < 2; ++k) {
        rxyNextCol[k] = d[k] - rxyStep[k];
        rxy[k] = s[k] - (rxyStep[k] + rxyNextCol[k]);
    }
    if (walkColTab.height() != walkCols || walkRowTab.height() != walkRows || !(walkTabRate == r)) {
        // i = 1 + k r, x = i - 1 - tmpCx per column; j, y likewise per row
        for (int axis = 0; axis < 2; ++axis) {
            CImg<float>& tab = axis ? walkRowTab : walkColTab;
            const int n = axis ? walkRows : walkCols;
            const float step = n > 1 ? r : 0.f, centre = axis ? tmpCy : tmpCx;
            tab.assign(4, n, 1, 1, 0.f);
            for (int k = 0; k < n; ++k) {
                const float v = 1.f + float(k) * step;
                tab(2, k) = v;
                tab(3, k) = v - 1.f - centre;
            }
        }
        walkTabRate = r;
    }
    double a[6];
    warp.affineCurrent(a);
    const double x0 = -double(tmpCx), y0 = -double(tmpCy), rc = walkCols > 1 ? r : 0.0,
                 rr = walkRows > 1 ? r : 0.0;
    for (int k = 0; k < 2; ++k) {
        const double* m = a + 3 * k;
        walkOrg[k] = m[0] + m[1] * x0 + m[2] * y0;
        walkColStep[k] = m[1] * rc;
        walkRowStep[k] = m[2] * rr;
    }
    // Each column's first position and each row's offset from it, in double, rounded once.
    float* o = walkColTab.data();
    for (int c = 0; c < walkCols; ++c, o += 4) {
        o[0] = float(walkOrg[0] + double(c) * walkColStep[0]);
        o[1] = float(walkOrg[1] + double(c) * walkColStep[1]);
    }
    o = walkRowTab.data();
    for (int l = 0; l < walkRows; ++l, o += 4) {
        o[0] = float(double(l) * walkRowStep[0]);
        o[1] = float(double(l) * walkRowStep[1]);
    }
}

bool CCostFn::footprintInside(const CImg<float>& p)
{
    int lo, hi;
    refFootprint(lo, hi);
    initRxyIterator(p);
    // The map is affine, so the extreme positions are those of the corner samples. The walk
    // adds two float roundings of magnitudes up to the largest position (the column's first
    // sample, the offset down the column) and rounds the sum: within half the margin.
    const double lc = walkCols > 1 ? double(walkCols - 1) : 0.0, lr = walkRows > 1 ? double(walkRows - 1) : 0.0;
    double cx[4], cy[4], big = 1.0;
    for (int k = 0; k < 4; ++k) {
        const double c = (k & 1) ? lc : 0.0, l = (k & 2) ? lr : 0.0;
        cx[k] = walkOrg[0] + c * walkColStep[0] + l * walkRowStep[0];
        cy[k] = walkOrg[1] + c * walkColStep[1] + l * walkRowStep[1];
        big = std::max(big, std::max(std::fabs(cx[k]), std::fabs(cy[k])));
    }
    const double tol = 4.0 * FLT_EPSILON * big;
    const double xmin = lo + tol, ymin = lo + tol;
    const double xmax = double(ref.width() - hi) - tol, ymax = double(ref.height() - hi) - tol;
    for (int k = 0; k < 4; ++k)
        if (!(cx[k] >= xmin && cx[k] < xmax && cy[k] >= ymin && cy[k] < ymax)) return false;
    return walkCols > 0 && walkRows > 0;
}

void CCostFn::switchSamplers(const CImg<float>& p)
{
    const bool b = footprintInside(p);
    if (b == bounded) setInterpAndOrder(interp, order, !bounded);
}

CImg<float> CCostFn::calcRefRegion(const CImg<float>& p)
{
    CImg<float> out(tmp, false);
    const bool keep = refNb;
    refNb = false;
    selectRefSamplers();
    const unsigned long n = out.size();
    unsigned long k = 0;
    for (float m = 1.f; m <= tmpH; m += 1.f)
        for (float l = 1.f; l <= tmpW; l += 1.f) {
            float x, y;
            warp.Warp(p, l - tmpCx, m - tmpCy, x, y);
            if (k < n) out[k] = (ref.*sampleRef)(x, y);
            ++k;
        }
    refNb = keep;
    selectRefSamplers();
    return out;
}

CImg<float> CCostFn::calcRefRegionOld(const CImg<float>& p)
{
    CImg<float> out(tmp, false);
    const bool keep = refNb;
    refNb = false;
    selectRefSamplers();
    const int W = out.width(), H = out.height();
    for (int m = 0; m < H; ++m)
        for (int k = 0; k < W; ++k) {
            float x, y;
            warp.Warp(p, float(k - (W - 1) / 2), float(m - (H - 1) / 2), x, y);
            out(k, m) = (ref.*sampleRef)(x, y);
        }
    refNb = keep;
    selectRefSamplers();
    return out;
}
