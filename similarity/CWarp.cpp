#include "similarity/CWarp.h"

#include <cmath>
#include <limits>

namespace {

// Element (i, k) of a caller-owned n x n image, written only where it exists.
inline void put(CImg<float>& M, int i, int k, float v)
{
    const long w = (long)M.width(), idx = i + k * w;
    if (i < w && idx < (long)M.size()) M[idx] = v;
}

inline float at(const CImg<float>& v, int k) { return k < (int)v.size() ? v[k] : 0.f; }

}  // namespace

CWarp::CWarp(int c)
    : code(c), sinAngle(0.f), cosAngle(1.f), quantise(0)
{
    n_ = c < 0 ? 0 : (c < 10 ? c : c % 10);
    switch (c) {
    case 2: map_ = kTranslation; mapSize_ = 2; break;
    case 3: case 23: map_ = kEuclidean; mapSize_ = 3; break;
    case 4: case 24: map_ = kSimilarity; mapSize_ = 4; break;
    default: map_ = kAffine; mapSize_ = 6; break;
    }
    switch (c) {
    case 2: case 23: case 24: case 26: form_ = kJacShift; break;
    case 3: form_ = kJacEuclidean; break;
    case 4: form_ = kJacSimilarity; break;
    default: form_ = kJacAffine; break;
    }
    rows_ = formRows(form_) < n_ ? formRows(form_) : n_;
    fillRows_ = (c == 2 || c == 3 || c == 4 || c == 6 || c == 23 || c == 24 || c == 26) ? rows_ : 0;
    jacobian.assign(2, n_, 1, 1, 0.f);
    stepSizes.assign(n_, 1, 1, 1, 0.f);
    params.assign(n_ > mapSize_ ? n_ : mapSize_, 1, 1, 1, 0.f);
    refreshAngle();
}

CWarp::~CWarp() {}

void CWarp::refreshAngle()
{
    if (map_ == kEuclidean || map_ == kSimilarity) {
        sinAngle = std::sin(params[2]);
        cosAngle = std::cos(params[2]);
    }
}

void CWarp::takeParams(const CImg<float>& p)
{
    const int np = (int)params.size();
    switch (code) {
    case 23:
        params[0] = at(p, 0); params[1] = at(p, 1);
        params[2] = at(refParams, 2);
        break;
    case 24:
        params[0] = at(p, 0); params[1] = at(p, 1);
        params[2] = at(refParams, 2); params[3] = at(refParams, 3);
        break;
    case 26:
        for (int k = 0; k < 4; ++k) params[k] = at(refParams, k);
        params[4] = at(p, 0); params[5] = at(p, 1);
        break;
    default:
        for (int k = 0; k < np; ++k) params[k] = at(p, k);
        break;
    }
    refreshAngle();
}

void CWarp::takeDeltaParams(const CImg<float>& p)
{
    takeParams(p);
    if (map_ == kAffine) { params[4] = 0.f; params[5] = 0.f; }
    else { params[0] = 0.f; params[1] = 0.f; }
}

void CWarp::WarpCurrent(float x, float y, float& ox, float& oy) const
{
    switch (map_) {
    case kTranslation: WarpTranslation(params, x, y, ox, oy); break;
    case kEuclidean: WarpEuclidean(params, x, y, ox, oy); break;
    case kSimilarity: WarpSimilarity(params, x, y, ox, oy); break;
    default: WarpAffine(params, x, y, ox, oy); break;
    }
}

void CWarp::affineCurrent(double a[6]) const
{
    const CImg<float>& q = params;
    switch (map_) {
    case kTranslation:
        a[0] = q[0]; a[1] = 1; a[2] = 0;
        a[3] = q[1]; a[4] = 0; a[5] = 1;
        break;
    case kEuclidean:
    case kSimilarity: {
        const double t = q[2], m = map_ == kSimilarity ? 1.0 + double(q[3]) : 1.0;
        const double s = m * std::sin(t), c = m * std::cos(t);
        a[0] = q[0]; a[1] = c; a[2] = s;
        a[3] = q[1]; a[4] = -s; a[5] = c;
        break;
    }
    default:
        a[0] = q[4]; a[1] = 1.0 + double(q[0]); a[2] = q[2];
        a[3] = q[5]; a[4] = q[1]; a[5] = 1.0 + double(q[3]);
        break;
    }
}

void CWarp::Warp(const CImg<float>& p, float x, float y, float& ox, float& oy)
{
    takeParams(p);
    WarpCurrent(x, y, ox, oy);
}

void CWarp::WarpDelta(const CImg<float>& p, float x, float y, float& ox, float& oy)
{
    takeDeltaParams(p);
    WarpCurrent(x, y, ox, oy);
}

void CWarp::WarpTranslation(const CImg<float>& q, float x, float y, float& ox, float& oy) const
{
    ox = x + q[0];
    oy = y + q[1];
}

void CWarp::WarpEuclidean(const CImg<float>& q, float x, float y, float& ox, float& oy) const
{
    const float s = sinAngle, c = cosAngle;
    ox = c * x + s * y + q[0];
    oy = c * y - s * x + q[1];
}

void CWarp::WarpSimilarity(const CImg<float>& q, float x, float y, float& ox, float& oy) const
{
    const float s = sinAngle, c = cosAngle, m = 1.f + q[3];
    ox = m * (c * x + s * y) + q[0];
    oy = m * (c * y - s * x) + q[1];
}

void CWarp::WarpAffine(const CImg<float>& q, float x, float y, float& ox, float& oy) const
{
    ox = (1.f + q[0]) * x + q[2] * y + q[4];
    oy = q[1] * x + (1.f + q[3]) * y + q[5];
}

void CWarp::CalcHess(CImg<float>& H, const CImg<float>& p, float x, float y, float gx, float gy)
{
    if (!H.is_empty()) H.fill(0.f);
    const float s = sinAngle, c = cosAngle;
    if (code == 3) {
        put(H, 2, 2, gx * (-c * x - s * y) + gy * (s * x - c * y));
    } else if (code == 4) {
        const float m = scaleOf(p);
        put(H, 2, 2, m * (gx * (-c * x - s * y) + gy * (s * x - c * y)));
        const float h23 = gx * (c * y - s * x) + gy * (-c * x - s * y);
        put(H, 2, 3, h23);
        put(H, 3, 2, h23);
    }
}

void CWarp::CalcJcHs(CImg<float>& JH, const CImg<float>& p, float x, float y,
                     float gxx, float gyy, float gxy)
{
    const int n = n_;
    float* W = jacobian.data();   // row k: W[2k] = dx'/dp_k, W[2k + 1] = dy'/dp_k
    if (fillRows_ > 0) {
        float rows[12];
        jacobianAt(p, x, y, rows);
        for (int k = 0; k < 2 * fillRows_; ++k) W[k] = rows[k];
    }
    const int w = JH.width();
    if (w == 0) return;
    const int hk = (int)(JH.size() / (unsigned long)w);
    const int ni = n < w ? n : w, nk = n < hk ? n : hk;
    for (int k = 0; k < nk; ++k) {
        const float wxk = W[2 * k], wyk = W[2 * k + 1];
        for (int i = 0; i < ni; ++i) {
            const float wxi = W[2 * i], wyi = W[2 * i + 1];
            JH[i + k * w] = wxi * (gxx * wxk + gxy * wyk) + wyi * (gxy * wxk + gyy * wyk);
        }
    }
}

bool CWarp::inBounds(const CImg<float>& T, const CImg<float>& I, const CImg<float>& p, int interp)
{
    return interp == 3 ? inBounds(T, I, p, 1, 2, 0.f) : inBounds(T, I, p, 0, 1, 0.f);
}

bool CWarp::inBounds(const CImg<float>& T, const CImg<float>& I, const CImg<float>& p,
                     int lo, int hi, float tol)
{
    const float hw = float(T.width() - 4) * 0.5f, hh = float(T.height() - 4) * 0.5f;
    const float xs[4] = {-hw, -hw, hw, hw}, ys[4] = {-hh, hh, -hh, hh};
    const float xmin = float(lo) + tol, ymin = float(lo) + tol;
    const float xmax = float(I.width() - hi) - tol, ymax = float(I.height() - hi) - tol;
    for (int k = 0; k < 4; ++k) {
        float ox, oy;
        Warp(p, xs[k], ys[k], ox, oy);
        if (!(ox >= xmin && ox < xmax && oy >= ymin && oy < ymax)) return false;
    }
    return true;
}

CTrigLookup::CTrigLookup()
{
    for (int j = 0; j <= 100; ++j) sinTable[j] = (float)std::sin(j * 0.01570796327);
    for (int j = 0; j <= 100; ++j) {
        const float v = sinTable[j];
        sinTable[200 - j] = v;
        sinTable[200 + j] = -v;
        sinTable[400 - j] = -v;
        cosTable[100 - j] = v;
        cosTable[100 + j] = -v;
        cosTable[300 - j] = -v;
        cosTable[300 + j] = v;
    }
}

void CTrigLookup::getsincos(float angle, float& s, float& c) const
{
    if (!std::isfinite(angle)) {
        s = c = std::numeric_limits<float>::quiet_NaN();
        return;
    }
    // trunc for the non-negative angles of the table's domain; round down below 0 so that
    // negative angles wrap to the nearest entry as well.
    double k = std::floor(angle * 63.66197724 + 0.5);
    k = std::fmod(k, 400.0);
    if (k < 0) k += 400.0;
    const int idx = (int)k;
    s = sinTable[idx];
    c = cosTable[idx];
}
