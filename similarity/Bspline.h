// Separable 2-D B-spline weights of order 0 to 3 over an (n + 1) x (n + 1) footprint.
#pragma once

// Offsets a and b are the position of the footprint's first tap minus the sample position
// along each axis; tap k lies at distance a + k. Expected ranges: (-0.5, 0.5] for order 0,
// (-1, 0] for order 1, (-1.5, -0.5] for order 2, (-2, -1] for order 3 (not checked).
//
// 2-D entry i * (n + 1) + j belongs to tap i along a and tap j along b. Every call overwrites
// the arrays; the returned pointers stay valid for the object's life.
class C2dBspline {
public:
    C2dBspline() = default;
    C2dBspline(const C2dBspline&) = delete;
    C2dBspline& operator=(const C2dBspline&) = delete;

    // Value weights; return wts2d.
    float* zeroSample(float a, float b);
    float* linearSample(float a, float b);
    float* quadSample(float a, float b);
    float* cubicSample(float a, float b);

    // Weights differentiated along b; return wts2d, set out to dWts2d.
    float* zDzSample(float a, float b, float*& out);
    float* lDlSample(float a, float b, float*& out);
    float* qDqSample(float a, float b, float*& out);
    float* cDcSample(float a, float b, float*& out);

    // Weights differentiated along a; return wts2d, set out to dWts2d.
    float* DzzSample(float a, float b, float*& out);
    float* DllSample(float a, float b, float*& out);
    float* DqqSample(float a, float b, float*& out);
    float* DccSample(float a, float b, float*& out);

    float wtsA[4] = {0, 0, 0, 0};    // 1-D weights along a
    float wtsB[4] = {0, 0, 0, 0};    // 1-D weights along b
    float wts2d[16] = {};            // 2-D weights
    float dWts1d[4] = {0, 0, 0, 0};  // 1-D derivative weights of the differentiated axis
    float dWts2d[16] = {};           // 2-D weights with one axis differentiated

private:
    enum Axis { kAlongA, kAlongB };
    // The operations above, by order N and differentiated axis.
    template <int N> float* valueWts(float a, float b);
    template <int N, Axis D> float* derivWts(float a, float b, float*& out);
};

using BsplineValueFn = float* (C2dBspline::*)(float, float);
using BsplineDerivFn = float* (C2dBspline::*)(float, float, float*&);
