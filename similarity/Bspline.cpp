#include "similarity/Bspline.h"

namespace {

const double c6 = 0.166666667;
const double c23 = 0.666666667;

inline void linear1d(double a, float* w)
{
    w[0] = float(1 + a);
    w[1] = float(-a);
}

inline void quad1d(double a, float* w)
{
    w[0] = float((a + 1.5) * (a + 1.5) * 0.5);
    w[1] = float(0.75 - (a + 1) * (a + 1));
    const double e = 0.5 - (a + 1);
    w[2] = float(e * e * 0.5);
}

inline void cubic1d(double a, float* w)
{
    const double u = a + 2, v = u - 1, r = 1 - u;
    w[0] = float(u * u * u * c6);
    w[1] = float(c23 - v * v - 0.5 * v * v * v);
    w[2] = float(c23 - u * u + 0.5 * u * u * u);
    w[3] = float(r * r * r * c6);
}

// Derivative of the order-2 weights of s: order-1 weights of s + 0.5 into low[0..1].
inline void quadDeriv1d(double s, float* low, float* d)
{
    const double l0 = s + 1.5, l1 = -(s + 0.5);
    low[0] = float(l0);
    low[1] = float(l1);
    d[0] = float(l0);
    d[1] = float(l1 - l0);
    d[2] = float(-l1);
}

// Derivative of the order-3 weights of s: order-2 weights of s + 0.5 into low[0..2].
inline void cubicDeriv1d(double s, float* low, float* d)
{
    const double q0 = (s + 2) * (s + 2) * 0.5, q1 = 0.75 - (s + 1.5) * (s + 1.5), q2 = (s + 1) * (s + 1) * 0.5;
    low[0] = float(q0);
    low[1] = float(q1);
    low[2] = float(q2);
    d[0] = float(q0);
    d[1] = float(q1 - q0);
    d[2] = float(q2 - q1);
    d[3] = float(-q2);
}

template <int T>
inline void outer(const float* a, const float* b, float* out)
{
    for (int i = 0; i < T; ++i)
        for (int j = 0; j < T; ++j) out[i * T + j] = a[i] * b[j];
}

} // namespace

float* C2dBspline::zeroSample(float, float)
{
    wts2d[0] = 1;
    return wts2d;
}

float* C2dBspline::linearSample(float a, float b)
{
    linear1d(a, wtsA);
    linear1d(b, wtsB);
    outer<2>(wtsA, wtsB, wts2d);
    return wts2d;
}

float* C2dBspline::quadSample(float a, float b)
{
    quad1d(a, wtsA);
    quad1d(b, wtsB);
    outer<3>(wtsA, wtsB, wts2d);
    return wts2d;
}

float* C2dBspline::cubicSample(float a, float b)
{
    cubic1d(a, wtsA);
    cubic1d(b, wtsB);
    outer<4>(wtsA, wtsB, wts2d);
    return wts2d;
}

float* C2dBspline::zDzSample(float, float, float*& out)
{
    wts2d[0] = 1;
    dWts2d[0] = 1;
    out = dWts2d;
    return wts2d;
}

float* C2dBspline::DzzSample(float, float, float*& out)
{
    wts2d[0] = 1;
    dWts2d[0] = 1;
    out = dWts2d;
    return wts2d;
}

float* C2dBspline::lDlSample(float a, float b, float*& out)
{
    linearSample(a, b);
    dWts1d[0] = 1;
    dWts1d[1] = -1;
    outer<2>(wtsA, dWts1d, dWts2d);
    out = dWts2d;
    return wts2d;
}

float* C2dBspline::DllSample(float a, float b, float*& out)
{
    linearSample(a, b);
    dWts1d[0] = 1;
    dWts1d[1] = -1;
    outer<2>(dWts1d, wtsB, dWts2d);
    out = dWts2d;
    return wts2d;
}

float* C2dBspline::qDqSample(float a, float b, float*& out)
{
    quadSample(a, b);
    quadDeriv1d(b, wtsB, dWts1d);
    outer<3>(wtsA, dWts1d, dWts2d);
    out = dWts2d;
    return wts2d;
}

float* C2dBspline::DqqSample(float a, float b, float*& out)
{
    quadSample(a, b);
    quadDeriv1d(a, wtsA, dWts1d);
    outer<3>(dWts1d, wtsB, dWts2d);
    out = dWts2d;
    return wts2d;
}

float* C2dBspline::cDcSample(float a, float b, float*& out)
{
    cubicSample(a, b);
    cubicDeriv1d(b, wtsB, dWts1d);
    outer<4>(wtsA, dWts1d, dWts2d);
    out = dWts2d;
    return wts2d;
}

float* C2dBspline::DccSample(float a, float b, float*& out)
{
    cubicSample(a, b);
    cubicDeriv1d(a, wtsA, dWts1d);
    outer<4>(dWts1d, wtsB, dWts2d);
    out = dWts2d;
    return wts2d;
}
