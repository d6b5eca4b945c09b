// Test oracle: the area of a polygon inside every unit bin of a histogram, by clipping
// the polygon against each bin's square.
#pragma once

#include <array>
#include <cmath>
#include <vector>

#include "bridge/cimg.h"

namespace cliporacle {

using Poly = std::vector<std::array<double, 2>>;

inline double polyArea(const Poly& p)
{
    double s = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        const auto& a = p[i];
        const auto& b = p[(i + 1) % p.size()];
        s += a[0] * b[1] - b[0] * a[1];
    }
    return std::fabs(s) / 2;
}

// Keeps the part of a convex polygon with sign * (coord[axis] - v) >= 0.
inline Poly clipHalf(const Poly& in, int axis, double v, double sign)
{
    Poly out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const auto& a = in[i];
        const auto& b = in[(i + 1) % in.size()];
        const double da = sign * (a[axis] - v), db = sign * (b[axis] - v);
        if (da >= 0) out.push_back(a);
        if ((da >= 0) != (db >= 0)) {
            const double t = da / (da - db);
            out.push_back({a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1])});
        }
    }
    return out;
}

// Adds scale times the area of the convex polygon inside each bin (c, r) of out.
inline void addClipped(CImg<double>& out, const Poly& poly, double scale)
{
    for (int r = 0; r < out.height(); ++r)
        for (int c = 0; c < out.width(); ++c) {
            Poly p = clipHalf(poly, 0, c, 1);
            p = clipHalf(p, 0, c + 1, -1);
            p = clipHalf(p, 1, r, 1);
            p = clipHalf(p, 1, r + 1, -1);
            if (p.size() >= 3) out(c, r) += scale * polyArea(p);
        }
}

}  // namespace cliporacle
