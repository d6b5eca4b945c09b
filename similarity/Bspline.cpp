#include "similarity/Bspline.h"

#include "similarity/inlining.h"

namespace {

const double c6 = 0.166666667;
const double c23 = 0.666666667;

// 1-D weights of order N (1 to 3) at the offset a.
template <int N>
IMGALIGN_INLINE inline void wts1d(double a, float* w)
{
    if constexpr (N == 1) {
        w[0] = float(1 + a);
        w[1] = float(-a);
    } else if constexpr (N == 2) {
        w[0] = float((a + 1.5) * (a + 1.5) * 0.5);
        w[1] = float(0.75 - (a + 1) * (a + 1));
        const double e = 0.5 - (a + 1);
        w[2] = float(e * e * 0.5);
    } else {
        const double u = a + 2, v = u - 1, r = 1 - u;
        w[0] = float(u * u * u * c6);
        w[1] = float(c23 - v * v - 0.5 * v * v * v);
        w[2] = float(c23 - u * u + 0.5 * u * u * u);
        w[3] = float(r * r * r * c6);
    }
}

// Derivative of the order-N weights of s into d. Orders 2 and 3 build it from the weights of
// the order below at s + 0.5, which they leave in low[0 .. N - 1].
template <int N>
IMGALIGN_INLINE inline void deriv1d(double s, float* low, float* d)
{
    if constexpr (N == 1) {
        (void)s;
        (void)low;
        d[0] = 1;
        d[1] = -1;
    } else if constexpr (N == 2) {
        const double l0 = s + 1.5, l1 = -(s + 0.5);
        low[0] = float(l0);
        low[1] = float(l1);
        d[0] = float(l0);
        d[1] = float(l1 - l0);
        d[2] = float(-l1);
    } else {
        const double q0 = (s + 2) * (s + 2) * 0.5, q1 = 0.75 - (s + 1.5) * (s + 1.5), q2 = (s + 1) * (s + 1) * 0.5;
        low[0] = float(q0);
        low[1] = float(q1);
        low[2] = float(q2);
        d[0] = float(q0);
        d[1] = float(q1 - q0);
        d[2] = float(q2 - q1);
        d[3] = float(-q2);
    }
}

template <int T>
inline void outer(const float* a, const float* b, float* out)
{
    for (int i = 0; i < T; ++i)
        for (int j = 0; j < T; ++j) out[i * T + j] = a[i] * b[j];
}

} // namespace

template <int N>
IMGALIGN_INLINE inline float* C2dBspline::valueWts(float a, float b)
{
    if constexpr (N == 0) {
        (void)a;
        (void)b;
        wts2d[0] = 1;
    } else {
        wts1d<N>(a, wtsA);
        wts1d<N>(b, wtsB);
        outer<N + 1>(wtsA, wtsB, wts2d);
    }
    return wts2d;
}

// Order 0: both 2-D weights 1, nothing else written.
template <int N, C2dBspline::Axis D>
IMGALIGN_INLINE inline float* C2dBspline::derivWts(float a, float b, float*& out)
{
    valueWts<N>(a, b);
    if constexpr (N == 0) {
        dWts2d[0] = 1;
    } else if constexpr (D == kAlongB) {
        deriv1d<N>(b, wtsB, dWts1d);
        outer<N + 1>(wtsA, dWts1d, dWts2d);
    } else {
        deriv1d<N>(a, wtsA, dWts1d);
        outer<N + 1>(dWts1d, wtsB, dWts2d);
    }
    out = dWts2d;
    return wts2d;
}

float* C2dBspline::zeroSample(float a, float b) { return valueWts<0>(a, b); }
float* C2dBspline::linearSample(float a, float b) { return valueWts<1>(a, b); }
float* C2dBspline::quadSample(float a, float b) { return valueWts<2>(a, b); }
float* C2dBspline::cubicSample(float a, float b) { return valueWts<3>(a, b); }

float* C2dBspline::zDzSample(float a, float b, float*& out) { return derivWts<0, kAlongB>(a, b, out); }
float* C2dBspline::lDlSample(float a, float b, float*& out) { return derivWts<1, kAlongB>(a, b, out); }
float* C2dBspline::qDqSample(float a, float b, float*& out) { return derivWts<2, kAlongB>(a, b, out); }
float* C2dBspline::cDcSample(float a, float b, float*& out) { return derivWts<3, kAlongB>(a, b, out); }

float* C2dBspline::DzzSample(float a, float b, float*& out) { return derivWts<0, kAlongA>(a, b, out); }
float* C2dBspline::DllSample(float a, float b, float*& out) { return derivWts<1, kAlongA>(a, b, out); }
float* C2dBspline::DqqSample(float a, float b, float*& out) { return derivWts<2, kAlongA>(a, b, out); }
float* C2dBspline::DccSample(float a, float b, float*& out) { return derivWts<3, kAlongA>(a, b, out); }
