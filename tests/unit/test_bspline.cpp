// B-spline weights: partition of unity, listed values, derivatives against finite differences.
#include <gtest/gtest.h>
#include "similarity/Bspline.h"

namespace {

struct Order {
    int n;
    BsplineValueFn value;
    BsplineDerivFn alongB, alongA;
    float lo;  // offsets expected in (lo, lo + 1]
};

const Order kOrders[] = {
    {0, &C2dBspline::zeroSample, &C2dBspline::zDzSample, &C2dBspline::DzzSample, -0.5f},
    {1, &C2dBspline::linearSample, &C2dBspline::lDlSample, &C2dBspline::DllSample, -1.f},
    {2, &C2dBspline::quadSample, &C2dBspline::qDqSample, &C2dBspline::DqqSample, -1.5f},
    {3, &C2dBspline::cubicSample, &C2dBspline::cDcSample, &C2dBspline::DccSample, -2.f},
};

} // namespace

TEST(Bspline, ValueWeightsSumToOneAndDerivativesToZero)
{
    C2dBspline s;
    for (const Order& o : kOrders) {
        const int t = o.n + 1;
        for (float fa : {0.01f, 0.3f, 0.5f, 0.77f, 1.f})
            for (float fb : {0.05f, 0.5f, 0.9f}) {
                const float a = o.lo + fa, b = o.lo + fb;
                const float* w = (s.*o.value)(a, b);
                double sum = 0;
                for (int k = 0; k < t * t; ++k) sum += w[k];
                EXPECT_NEAR(sum, 1.0, 1e-6) << "order " << o.n;
                if (o.n == 0) continue;
                for (BsplineDerivFn d : {o.alongB, o.alongA}) {
                    float* dw = nullptr;
                    const float* w2 = (s.*d)(a, b, dw);
                    EXPECT_EQ(dw, s.dWts2d);
                    EXPECT_EQ(w2, s.wts2d);
                    double sw = 0, sd = 0;
                    for (int k = 0; k < t * t; ++k) { sw += w2[k]; sd += dw[k]; }
                    EXPECT_NEAR(sw, 1.0, 1e-6);
                    EXPECT_NEAR(sd, 0.0, 1e-6);
                }
            }
    }
}

TEST(Bspline, DerivativeWeightsMatchFiniteDifferences)
{
    C2dBspline s, f;
    const double h = 1e-3;
    for (const Order& o : kOrders) {
        if (o.n == 0) continue;
        const int t = o.n + 1;
        for (float fa : {0.2f, 0.5f, 0.8f}) {
            const float a = o.lo + fa, b = o.lo + 1.f - fa * 0.7f;
            float *db = nullptr, *da = nullptr;
            float wb[16], wa[16], dB[16], dA[16];
            std::copy_n((s.*o.alongB)(a, b, db), 16, wb);
            std::copy_n(db, 16, dB);
            std::copy_n((s.*o.alongA)(a, b, da), 16, wa);
            std::copy_n(da, 16, dA);
            float p[16], m[16];
            std::copy_n((f.*o.value)(a, float(b + h)), 16, p);
            std::copy_n((f.*o.value)(a, float(b - h)), 16, m);
            for (int k = 0; k < t * t; ++k) EXPECT_NEAR(dB[k], (p[k] - m[k]) / (2 * h), 2e-3) << o.n << " b " << k;
            std::copy_n((f.*o.value)(float(a + h), b), 16, p);
            std::copy_n((f.*o.value)(float(a - h), b), 16, m);
            for (int k = 0; k < t * t; ++k) EXPECT_NEAR(dA[k], (p[k] - m[k]) / (2 * h), 2e-3) << o.n << " a " << k;
            const float* v = (f.*o.value)(a, b);
            for (int k = 0; k < t * t; ++k) {
                EXPECT_FLOAT_EQ(wb[k], v[k]);
                EXPECT_FLOAT_EQ(wa[k], v[k]);
            }
        }
    }
}

TEST(Bspline, ListedValues)
{
    C2dBspline s;
    const float* w = s.linearSample(0, 0);
    EXPECT_EQ(w[0], 1.f);
    EXPECT_EQ(w[1], 0.f);
    EXPECT_EQ(w[2], 0.f);
    EXPECT_EQ(w[3], 0.f);

    w = s.linearSample(-0.25f, -0.5f);
    EXPECT_FLOAT_EQ(s.wtsA[0], 0.75f);
    EXPECT_FLOAT_EQ(s.wtsA[1], 0.25f);
    EXPECT_FLOAT_EQ(s.wtsB[0], 0.5f);
    EXPECT_FLOAT_EQ(s.wtsB[1], 0.5f);
    const float lin[4] = {0.375f, 0.375f, 0.125f, 0.125f};
    for (int k = 0; k < 4; ++k) EXPECT_FLOAT_EQ(w[k], lin[k]);

    s.quadSample(-1, -1);
    const float q[3] = {0.125f, 0.75f, 0.125f};
    for (int k = 0; k < 3; ++k) {
        EXPECT_FLOAT_EQ(s.wtsA[k], q[k]);
        EXPECT_FLOAT_EQ(s.wtsB[k], q[k]);
    }

    s.cubicSample(-1.5f, -1.5f);
    const float c[4] = {1.f / 48, 23.f / 48, 23.f / 48, 1.f / 48};
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(s.wtsA[k], c[k], 2e-8);
        EXPECT_NEAR(s.wtsB[k], c[k], 2e-8);
    }
    // the decimal constants, not 1/6 and 2/3
    EXPECT_EQ(s.wtsA[0], float(0.125 * 0.166666667));

    s.cubicSample(-1, -1);
    const float c1[4] = {1.f / 6, 2.f / 3, 1.f / 6, 0.f};
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(s.wtsA[k], c1[k], 1e-8);
    EXPECT_EQ(s.wtsA[1], float(0.666666667));
}

TEST(Bspline, ListedDerivativeValues)
{
    C2dBspline s;
    float* d = nullptr;
    const float cd[4] = {0.125f, 0.625f, -0.625f, -0.125f};
    s.cDcSample(-1.2f, -1.5f, d);
    for (int k = 0; k < 4; ++k) EXPECT_FLOAT_EQ(s.dWts1d[k], cd[k]);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_FLOAT_EQ(d[i * 4 + j], s.wtsA[i] * s.dWts1d[j]);
    // wtsB now holds the order-2 weights of b + 0.5
    EXPECT_FLOAT_EQ(s.wtsB[0], 0.125f);
    EXPECT_FLOAT_EQ(s.wtsB[1], 0.75f);
    EXPECT_FLOAT_EQ(s.wtsB[2], 0.125f);

    s.DccSample(-1.5f, -1.7f, d);
    for (int k = 0; k < 4; ++k) EXPECT_FLOAT_EQ(s.dWts1d[k], cd[k]);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_FLOAT_EQ(d[i * 4 + j], s.dWts1d[i] * s.wtsB[j]);

    s.lDlSample(-0.3f, -0.6f, d);
    EXPECT_FLOAT_EQ(d[0], s.wtsA[0]);
    EXPECT_FLOAT_EQ(d[1], -s.wtsA[0]);
    EXPECT_FLOAT_EQ(d[2], s.wtsA[1]);
    EXPECT_FLOAT_EQ(d[3], -s.wtsA[1]);
    s.DllSample(-0.3f, -0.6f, d);
    EXPECT_FLOAT_EQ(d[0], s.wtsB[0]);
    EXPECT_FLOAT_EQ(d[1], s.wtsB[1]);
    EXPECT_FLOAT_EQ(d[2], -s.wtsB[0]);
    EXPECT_FLOAT_EQ(d[3], -s.wtsB[1]);

    // order 2: wtsA holds the order-1 weights of a + 0.5 after a derivative along a
    s.DqqSample(-1.2f, -1.f, d);
    EXPECT_FLOAT_EQ(s.wtsA[0], 0.3f);
    EXPECT_FLOAT_EQ(s.wtsA[1], 0.7f);
    EXPECT_FLOAT_EQ(s.dWts1d[0], 0.3f);
    EXPECT_FLOAT_EQ(s.dWts1d[1], 0.4f);
    EXPECT_FLOAT_EQ(s.dWts1d[2], -0.7f);

    for (BsplineDerivFn z : {&C2dBspline::zDzSample, &C2dBspline::DzzSample}) {
        s.wts2d[0] = s.dWts2d[0] = 7;
        const float* w = (s.*z)(0.3f, -0.2f, d);
        EXPECT_EQ(w[0], 1.f);
        EXPECT_EQ(d[0], 1.f);
    }
}
