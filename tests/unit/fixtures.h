// Shared test fixtures: parameter vectors, images drawn from a function, padded templates,
// the warp maps in double precision, central differences, and the chain rule from the affine
// warp to the Euclidean and similarity warps.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/cimg.h"
#include "similarity/CImgI.h"

namespace fixtures {

typedef CImgI<float> Img;

inline CImg<float> vec(std::vector<float> v)
{
    CImg<float> p((unsigned)v.size(), 1, 1, 1, 0.f);
    for (size_t k = 0; k < v.size(); ++k) p[(unsigned)k] = v[k];
    return p;
}

// w x h image with pixel (i, j) = f(i, j).
template <class F> Img image(int w, int h, F f)
{
    Img I(w, h, 1, 1, 0.f);
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) I(i, j) = float(f(i, j));
    return I;
}

// Template w x h, pixel (i, j) = f(i, j), drawn at (1, 1) into a zero image 3 pixels larger.
template <class F> Img padded(int w, int h, F f)
{
    Img T(w + 3, h + 3, 1, 1, 0.f);
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) T(i + 1, j + 1) = float(f(i, j));
    return T;
}

// The template T drawn the same way.
inline Img padded(const CImg<float>& T)
{
    return padded(T.width(), T.height(), [&](int i, int j) { return T(i, j); });
}

// The warp maps of every code with parameters q, in double.
inline void warpD(int code, const std::vector<double>& q, double x, double y, double& ox, double& oy)
{
    switch (code) {
    case 2: ox = x + q[0]; oy = y + q[1]; break;
    case 3: {
        const double s = std::sin(q[2]), c = std::cos(q[2]);
        ox = c * x + s * y + q[0]; oy = c * y - s * x + q[1]; break;
    }
    case 4: {
        const double s = std::sin(q[2]), c = std::cos(q[2]), m = 1 + q[3];
        ox = m * (c * x + s * y) + q[0]; oy = m * (c * y - s * x) + q[1]; break;
    }
    default:
        ox = (1 + q[0]) * x + q[2] * y + q[4]; oy = q[1] * x + (1 + q[3]) * y + q[5]; break;
    }
}

// Parameters that multiply the centred coordinates move samples further: a shorter step.
inline bool multipliesCoordinates(int code, int k) { return code == 6 ? k < 4 : k >= 2; }

inline double maxAbs(const CImg<float>& a)
{
    double m = 0;
    for (unsigned k = 0; k < a.size(); ++k) m = std::max(m, std::fabs((double)a[k]));
    return m;
}

// (f(p + step e_k) - f(p - step e_k)) / (2 step), in float.
template <class F> float centralDiff(F f, const CImg<float>& p, int k, float step)
{
    CImg<float> pp(p), pm(p);
    pp[k] += step;
    pm[k] -= step;
    return (f(pp) - f(pm)) / (2.f * step);
}

// The gradient of measure f at p against central differences of its value (step(k) for
// parameter k), to within 2 % of the largest gradient element; evalD's value against eval's.
template <class M, class Step> void expectGradientMatchesDifferences(M& f, const CImg<float>& p, Step step)
{
    CImg<float> g(f.nParams, 1, 1, 1, 0.f);
    const float v = f.eval(p);
    EXPECT_FLOAT_EQ(f.evalD(p, g), v);
    const float gmax = float(maxAbs(g));
    ASSERT_GT(gmax, 1e-3f);
    for (int k = 0; k < f.nParams; ++k) {
        const float fd = centralDiff([&](const CImg<float>& a) { return f.eval(a); }, p, k, step(k));
        EXPECT_NEAR(g[k], fd, 0.02f * gmax) << "k " << k;
    }
}

// The Euclidean (3) and similarity (4) warps are affine maps with (a, b, c, d) =
// (m cos t - 1, -m sin t, m sin t, m cos t - 1). asAffine: those affine parameters of warp p;
// fromAffine: the gradient with respect to (tx, ty, t, k), from the affine gradient ga
// there, as ga times the derivatives of (a, b, c, d, tx, ty).
inline CImg<float> asAffine(int code, const CImg<float>& p)
{
    const double t = p[2], m = code == 4 ? 1.0 + p[3] : 1.0, sn = std::sin(t), cs = std::cos(t);
    return vec({float(m * cs - 1), float(-m * sn), float(m * sn), float(m * cs - 1), p[0], p[1]});
}

inline std::vector<double> fromAffine(int code, const CImg<float>& p, const CImg<float>& ga)
{
    const double t = p[2], m = code == 4 ? 1.0 + p[3] : 1.0, sn = std::sin(t), cs = std::cos(t);
    std::vector<double> want = {ga[4], ga[5], ga[0] * -m * sn + ga[1] * -m * cs + ga[2] * m * cs + ga[3] * -m * sn};
    if (code == 4) want.push_back(ga[0] * cs - ga[1] * sn + ga[2] * sn + ga[3] * cs);
    return want;
}

// Measure f of warp code 3 or 4 at p against the affine measure a at asAffine(p): the same
// value, and the affine gradient carried over by fromAffine.
template <class M> void expectAffineChainRule(M& f, M& a, int code, const CImg<float>& p)
{
    CImg<float> g(f.nParams, 1, 1, 1, 0.f), ga(6, 1, 1, 1, 0.f);
    const float v = f.evalD(p, g), va = a.evalD(asAffine(code, p), ga);
    EXPECT_NEAR(v, va, 1e-5f * (1.f + std::fabs(va)));
    const std::vector<double> want = fromAffine(code, p, ga);
    double gmax = 1e-3;
    for (double w : want) gmax = std::max(gmax, std::fabs(w));
    for (int k = 0; k < f.nParams; ++k) EXPECT_NEAR(g[k], want[k], 2e-3 * gmax) << "k " << k;
}

// A smooth scene for the mutual-information measures: a w x h reference of a smooth
// function, a padded template of the same function under another warp plus a ramp, and a
// warp well inside the reference for each code.
inline float miSmooth(float x, float y)
{
    return 17.f + 8.f * std::sin(0.29f * x + 0.2f) * std::cos(0.21f * y - 0.4f) + 0.1f * x;
}

inline Img miReference(int w = 40, int h = 36)
{
    return image(w, h, [](float x, float y) { return miSmooth(x, y); });
}

inline Img miTemplate(int w, int h)
{
    return padded(w, h, [](float i, float j) {
        return miSmooth(1.05f * i + 12.7f, 0.95f * j + 11.2f) * 0.9f + 0.05f * j + 1.f;
    });
}

inline CImg<float> miWarpFor(int code)
{
    switch (code) {
    case 2: return vec({19.37f, 17.63f});
    case 3: return vec({19.37f, 17.63f, 0.06f});
    case 4: return vec({19.37f, 17.63f, -0.05f, 0.04f});
    default: return vec({0.04f, -0.05f, 0.06f, -0.03f, 19.37f, 17.63f});
    }
}

}  // namespace fixtures
