// Inverse warps: reference points back to centred template coordinates. A singular map
// (scale 1 + k = 0, or an affine determinant of 0) gives non-finite coordinates.
#include "similarity/CWarp.h"
#include "similarity/area/CostFnMItri.h"

void CWarp::WarpInverse(const CImg<float>& p, float x, float y, float& ox, float& oy)
{
    takeParams(p);
    WarpInverseCurrent(*this, x, y, ox, oy);
}

void WarpInverseCurrent(CWarp& warp, float x, float y, float& ox, float& oy)
{
    const CImg<float>& q = warp.params;
    switch (warp.code) {
    case 2:
        ox = x - q[0];
        oy = y - q[1];
        break;
    case 3:
    case 23:
        warp.WarpEuclideanInverse(q, x, y, ox, oy);
        break;
    case 4:
    case 24:
        warp.WarpSimilarityInverse(q, x, y, ox, oy);
        break;
    default:
        warp.WarpAffineInverse(q, x, y, ox, oy);
        break;
    }
}

void CWarp::WarpEuclideanInverse(const CImg<float>& q, float x, float y, float& ox, float& oy)
{
    const float s = sinAngle, c = cosAngle;
    const float dx = x - q[0], dy = y - q[1];
    ox = c * dx - s * dy;
    oy = s * dx + c * dy;
}

void CWarp::WarpSimilarityInverse(const CImg<float>& q, float x, float y, float& ox, float& oy)
{
    const float s = sinAngle, c = cosAngle, m = 1.f + q[3];
    const float dx = x - q[0], dy = y - q[1];
    ox = (c * dx - s * dy) / m;
    oy = (s * dx + c * dy) / m;
}

void CWarp::WarpAffineInverse(const CImg<float>& q, float x, float y, float& ox, float& oy)
{
    const float dx = x - q[4], dy = y - q[5];
    const float det = (1.f + q[0]) * (1.f + q[3]) - q[1] * q[2];
    ox = ((1.f + q[3]) * dx - q[2] * dy) / det;
    oy = ((1.f + q[0]) * dy - q[1] * dx) / det;
}
