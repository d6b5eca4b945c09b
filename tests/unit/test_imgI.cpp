// Interpolating image: sampler identities, polynomial reproduction, derivatives against
// finite differences, clamped and unclamped forms agreeing inside, neighbourhood readers,
// non-finite positions, and the raw-array assignment.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "similarity/CImgI.h"

namespace {

typedef CImgI<float> Img;

Img randomImage(int w, int h, unsigned seed)
{
    Img I(w, h, 1, 1, 0.f);
    unsigned s = seed;
    for (unsigned k = 0; k < I.size(); ++k) {
        s = s * 1664525u + 1013904223u;
        I[k] = float((s >> 8) % 5000) / 100.f;
    }
    return I;
}

template <class F> Img makeImage(int w, int h, F f)
{
    Img I(w, h, 1, 1, 0.f);
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) I(i, j) = float(f(double(i), double(j)));
    return I;
}

// Deterministic positions in [lo, hi) x [lo2, hi2).
template <class F> void forPositions(float lo, float hi, float lo2, float hi2, F f)
{
    for (int a = 0; a < 23; ++a)
        for (int b = 0; b < 19; ++b) {
            const float x = lo + (hi - lo) * float((a * 7 + 3) % 23) / 23.f;
            const float y = lo2 + (hi2 - lo2) * float((b * 5 + 2) % 19) / 19.f;
            f(x, y);
        }
}

struct Samples { float v, dx, dy, dxx, dyy, dxy; };

}  // namespace

TEST(InterpImage, LastIndicesFollowTheSize)
{
    Img a(7, 5);
    EXPECT_EQ(a.lastX, 6);
    EXPECT_EQ(a.lastY, 4);
    Img b(a), c;
    c = a;
    EXPECT_EQ(b.lastX, 6);
    EXPECT_EQ(c.lastY, 4);
    CImg<float> shared(a.data(), 7, 5, 1, 1, true);
    Img d(shared);
    EXPECT_NE(d.data(), a.data());   // a copy, never shared
}

TEST(InterpImage, IntegerPositionsGiveThePixel)
{
    Img I = randomImage(12, 10, 1);
    float dx, dy, dxx, dyy, dxy;
    for (int j = 0; j < 10; ++j)
        for (int i = 0; i < 12; ++i) {
            const float v = I(i, j), x = float(i), y = float(j);
            EXPECT_EQ(I.get_linear(x, y), v);
            EXPECT_EQ(I.get_Dlinear(x, y, dx, dy), v);
            EXPECT_EQ(I.get_DDlinear(x, y, dx, dy, dxx, dyy, dxy), v);
            EXPECT_EQ(I.get_cubic(x, y), v);
            EXPECT_EQ(I.get_Dcubic(x, y, dx, dy), v);
            EXPECT_EQ(I.get_DDcubic(x, y, dx, dy, dxx, dyy, dxy), v);
            EXPECT_EQ(I.get_neumann(x, y), v);
            if (i < 11 && j < 9) {
                EXPECT_EQ(I.get_linear_nb(x, y), v);
                EXPECT_EQ(I.get_Dlinear_nb(x, y, dx, dy), v);
                EXPECT_EQ(I.get_DDlinear_nb(x, y, dx, dy, dxx, dyy, dxy), v);
            }
            if (i >= 1 && j >= 1 && i < 10 && j < 8) {
                EXPECT_EQ(I.get_cubic_nb(x, y), v);
                EXPECT_EQ(I.get_Dcubic_nb(x, y, dx, dy), v);
                EXPECT_EQ(I.get_DDcubic_nb(x, y, dx, dy, dxx, dyy, dxy), v);
            }
        }
}

TEST(InterpImage, ClampedFormsRepeatTheBorder)
{
    Img I = randomImage(12, 10, 2);
    for (float y : {0.f, 3.3f, 9.f}) {
        EXPECT_EQ(I.get_linear(-3.f, y), I.get_linear(0.f, y));
        EXPECT_EQ(I.get_linear(17.f, y), I.get_linear(11.f, y));
        EXPECT_EQ(I.get_cubic(-3.f, y), I.get_cubic(0.f, y));
        EXPECT_EQ(I.get_cubic(17.f, y), I.get_cubic(11.f, y));
        EXPECT_EQ(I.get_neumann(-3.f, y), I.get_neumann(0.f, y));
        EXPECT_EQ(I.get_neumann(17.f, y), I.get_neumann(11.f, y));
    }
    EXPECT_EQ(I.get_linear(4.4f, -8.f), I.get_linear(4.4f, 0.f));
    EXPECT_EQ(I.get_linear(4.4f, 30.f), I.get_linear(4.4f, 9.f));
}

TEST(InterpImage, NearestPixelRules)
{
    Img I = makeImage(6, 3, [](double i, double j) { return 10 * i + j * j; });
    EXPECT_EQ(I.get_neumann(2.49f, 0.f), I(2, 0));
    EXPECT_EQ(I.get_neumann(2.5f, 0.f), I(3, 0));
    EXPECT_EQ(I.get_neumann_nb(2.5f, 1.49f), I(3, 1));
    float dx, dy, dxx, dyy, dxy;
    EXPECT_EQ(I.get_Dneumann(2.9f, 0.f, dx, dy), I(2, 0));
    EXPECT_EQ(dx, I(3, 0) - I(2, 0));
    EXPECT_EQ(dy, I(2, 1) - I(2, 0));
    EXPECT_EQ(I.get_Dneumann_nb(2.9f, 0.f, dx, dy), I(2, 0));
    // Last column: forward difference 0, second difference I(ixm) - I(ix).
    EXPECT_EQ(I.get_DDneumann(5.f, 1.f, dx, dy, dxx, dyy, dxy), I(5, 1));
    EXPECT_EQ(dx, 0.f);
    EXPECT_EQ(dxx, I(4, 1) - I(5, 1));
    EXPECT_EQ(I.get_DDneumann_nb(2.2f, 1.7f, dx, dy, dxx, dyy, dxy), I(2, 1));
    EXPECT_EQ(dxx, I(3, 1) - 2 * I(2, 1) + I(1, 1));
    EXPECT_EQ(dyy, I(2, 2) - 2 * I(2, 1) + I(2, 0));
    EXPECT_EQ(dxy, I(2, 1) + I(3, 2) - I(3, 1) - I(2, 2));
    EXPECT_EQ(I.get_neumann_floor(3.9f, 2.9f), I(3, 2));
}

TEST(InterpImage, BilinearOnAProductImage)
{
    Img I = makeImage(9, 8, [](double i, double j) { return i * j; });
    float dx, dy, dxx, dyy, dxy;
    forPositions(0.f, 8.f, 0.f, 7.f, [&](float x, float y) {
        EXPECT_NEAR(I.get_Dlinear(x, y, dx, dy), x * y, 1e-4);
        EXPECT_NEAR(dx, y, 1e-5);
        EXPECT_NEAR(dy, x, 1e-5);
        I.get_DDlinear_nb(x, y, dx, dy, dxx, dyy, dxy);
        EXPECT_EQ(dxy, 1.f);
        EXPECT_EQ(dxx, 0.f);
        EXPECT_EQ(dyy, 0.f);
    });
}

TEST(InterpImage, BicubicReproducesQuadraticsAndTheirDerivatives)
{
    // Catmull-Rom reproduces every polynomial of degree <= 2 in each axis.
    auto f = [](double x, double y) { return 0.5 * x * x - 0.3 * y * y + 0.2 * x * y + x - 2 * y + 3 + 0.01 * x * x * y * y; };
    Img I = makeImage(14, 12, f);
    Img L = makeImage(14, 12, [](double i, double) { return i; });
    float dx, dy, dxx, dyy, dxy;
    forPositions(1.f, 11.f, 1.f, 9.f, [&](float x, float y) {
        const double X = x, Y = y;
        const float v = I.get_DDcubic_nb(x, y, dx, dy, dxx, dyy, dxy);
        EXPECT_NEAR(v, f(X, Y), 1e-3);
        EXPECT_NEAR(dx, X + 0.2 * Y + 1 + 0.02 * X * Y * Y, 1e-3);
        EXPECT_NEAR(dy, -0.6 * Y + 0.2 * X - 2 + 0.02 * X * X * Y, 1e-3);
        EXPECT_NEAR(dxx, 1 + 0.02 * Y * Y, 1e-3);
        EXPECT_NEAR(dyy, -0.6 + 0.02 * X * X, 1e-3);
        EXPECT_NEAR(dxy, 0.2 + 0.04 * X * Y, 1e-3);
        EXPECT_NEAR(L.get_cubic(x, y), x, 1e-5);
        L.get_DDcubic(x, y, dx, dy, dxx, dyy, dxy);
        EXPECT_NEAR(dx, 1.f, 1e-5);
        EXPECT_NEAR(dxx, 0.f, 1e-5);
        EXPECT_NEAR(dyy, 0.f, 1e-5);
        EXPECT_NEAR(dxy, 0.f, 1e-5);
    });
}

TEST(InterpImage, DerivativesMatchFiniteDifferences)
{
    Img I = randomImage(12, 10, 3);
    const float h = 1e-3f;
    float dx, dy, dxx, dyy, dxy, a, b, c, d;
    forPositions(1.05f, 9.9f, 1.05f, 7.9f, [&](float x, float y) {
        // Stay away from cell edges, where the bilinear gradient jumps.
        if (x - std::floor(x) < 0.01f || x - std::floor(x) > 0.99f) return;
        if (y - std::floor(y) < 0.01f || y - std::floor(y) > 0.99f) return;
        I.get_DDcubic(x, y, dx, dy, dxx, dyy, dxy);
        EXPECT_NEAR(dx, (I.get_cubic(x + h, y) - I.get_cubic(x - h, y)) / (2 * h), 0.05);
        EXPECT_NEAR(dy, (I.get_cubic(x, y + h) - I.get_cubic(x, y - h)) / (2 * h), 0.05);
        I.get_Dcubic(x + h, y, a, b);
        I.get_Dcubic(x - h, y, c, d);
        EXPECT_NEAR(dxx, (a - c) / (2 * h), 0.1);
        EXPECT_NEAR(dxy, (b - d) / (2 * h), 0.1);
        I.get_Dcubic(x, y + h, a, b);
        I.get_Dcubic(x, y - h, c, d);
        EXPECT_NEAR(dyy, (b - d) / (2 * h), 0.1);
        I.get_DDlinear(x, y, dx, dy, dxx, dyy, dxy);
        EXPECT_NEAR(dx, (I.get_linear(x + h, y) - I.get_linear(x - h, y)) / (2 * h), 0.05);
        EXPECT_NEAR(dy, (I.get_linear(x, y + h) - I.get_linear(x, y - h)) / (2 * h), 0.05);
        I.get_Dlinear(x, y + h, a, b);
        I.get_Dlinear(x, y - h, c, d);
        EXPECT_NEAR(dxy, (a - c) / (2 * h), 0.1);
    });
}

TEST(InterpImage, ClampedAndUnclampedFormsAgreeInside)
{
    Img I = randomImage(13, 11, 4);
    const int W = 13, H = 11;
    auto same = [](const Samples& a, const Samples& b) {
        EXPECT_EQ(a.v, b.v); EXPECT_EQ(a.dx, b.dx); EXPECT_EQ(a.dy, b.dy);
        EXPECT_EQ(a.dxx, b.dxx); EXPECT_EQ(a.dyy, b.dyy); EXPECT_EQ(a.dxy, b.dxy);
    };
    // Bilinear and nearest value / first derivative: 0 <= x < W - 1.
    forPositions(0.f, W - 1.001f, 0.f, H - 1.001f, [&](float x, float y) {
        Samples a{}, b{};
        EXPECT_EQ(I.get_linear(x, y), I.get_linear_nb(x, y));
        EXPECT_EQ(I.get_neumann(x, y), I.get_neumann_nb(x, y));
        a.v = I.get_Dlinear(x, y, a.dx, a.dy);
        b.v = I.get_Dlinear_nb(x, y, b.dx, b.dy);
        same(a, b);
        a.v = I.get_DDlinear(x, y, a.dx, a.dy, a.dxx, a.dyy, a.dxy);
        b.v = I.get_DDlinear_nb(x, y, b.dx, b.dy, b.dxx, b.dyy, b.dxy);
        same(a, b);
        a = b = Samples{};
        a.v = I.get_Dneumann(x, y, a.dx, a.dy);
        b.v = I.get_Dneumann_nb(x, y, b.dx, b.dy);
        same(a, b);
        int o1[4], o2[4];
        float d1x, d1y, d2x, d2y;
        I.nNeighbourhood1(x, y, o1, d1x, d1y);
        I.nNeighbourhood1_nb(x, y, o2, d2x, d2y);
        EXPECT_EQ(o1[0], o2[0]); EXPECT_EQ(d1x, d2x); EXPECT_EQ(d1y, d2y);
        I.nNeighbourhood4(x, y, o1, d1x, d1y);
        I.nNeighbourhood4_nb(x, y, o2, d2x, d2y);
        EXPECT_EQ(0, std::memcmp(o1, o2, sizeof o1)); EXPECT_EQ(d1x, d2x); EXPECT_EQ(d1y, d2y);
        EXPECT_TRUE(d1x > -1.f && d1x <= 0.f);
    });
    // Nearest second derivative: 1 <= x < W - 1.
    forPositions(1.f, W - 1.001f, 1.f, H - 1.001f, [&](float x, float y) {
        Samples a{}, b{};
        a.v = I.get_DDneumann(x, y, a.dx, a.dy, a.dxx, a.dyy, a.dxy);
        b.v = I.get_DDneumann_nb(x, y, b.dx, b.dy, b.dxx, b.dyy, b.dxy);
        same(a, b);
    });
    // Bicubic and the 9- and 16-pixel readers: 1 <= x < W - 2.
    forPositions(1.f, W - 2.001f, 1.f, H - 2.001f, [&](float x, float y) {
        Samples a{}, b{};
        EXPECT_EQ(I.get_cubic(x, y), I.get_cubic_nb(x, y));
        a.v = I.get_Dcubic(x, y, a.dx, a.dy);
        b.v = I.get_Dcubic_nb(x, y, b.dx, b.dy);
        same(a, b);
        a.v = I.get_DDcubic(x, y, a.dx, a.dy, a.dxx, a.dyy, a.dxy);
        b.v = I.get_DDcubic_nb(x, y, b.dx, b.dy, b.dxx, b.dyy, b.dxy);
        same(a, b);
        int o1[16], o2[16];
        float d1x, d1y, d2x, d2y;
        I.nNeighbourhood9(x, y, o1, d1x, d1y);
        I.nNeighbourhood9_nb(x, y, o2, d2x, d2y);
        EXPECT_EQ(0, std::memcmp(o1, o2, 9 * sizeof(int))); EXPECT_EQ(d1x, d2x); EXPECT_EQ(d1y, d2y);
        EXPECT_TRUE(d1x > -1.5f && d1x <= -0.5f);
        I.nNeighbourhood16(x, y, o1, d1x, d1y);
        I.nNeighbourhood16_nb(x, y, o2, d2x, d2y);
        EXPECT_EQ(0, std::memcmp(o1, o2, sizeof o1)); EXPECT_EQ(d1x, d2x); EXPECT_EQ(d1y, d2y);
        EXPECT_TRUE(d1x > -2.f && d1x <= -1.f);
    });
}

TEST(InterpImage, NeighbourhoodReadersWriteTheirFootprint)
{
    Img I = makeImage(10, 10, [](double i, double j) { return 10 * j + i + 0.7; });   // bin = 10 j + i
    int o[16];
    float dx, dy;
    I.nNeighbourhood9_nb(5.2f, 5.7f, o, dx, dy);
    EXPECT_EQ(o[0], 54);   // first pixel (4, 5)
    EXPECT_EQ(o[8], 76);
    EXPECT_FLOAT_EQ(dx, -1.2f);
    EXPECT_FLOAT_EQ(dy, -0.7f);
    I.nNeighbourhood1(3.5f, 2.49f, o, dx, dy);
    EXPECT_EQ(o[0], 24);
    EXPECT_FLOAT_EQ(dx, 0.5f);
    I.nNeighbourhood4_nb(3.25f, 2.5f, o, dx, dy);
    EXPECT_EQ(o[0], 23); EXPECT_EQ(o[1], 24); EXPECT_EQ(o[2], 33); EXPECT_EQ(o[3], 34);
    EXPECT_FLOAT_EQ(dx, -0.25f);
    I.nNeighbourhood16_nb(3.25f, 2.5f, o, dx, dy);
    EXPECT_EQ(o[0], 12); EXPECT_EQ(o[3], 15); EXPECT_EQ(o[15], 45);
    EXPECT_FLOAT_EQ(dx, -1.25f);
    EXPECT_FLOAT_EQ(dy, -1.5f);
    // Clamped forms at the corners repeat the border pixels.
    I.nNeighbourhood16(0.3f, 9.f, o, dx, dy);
    EXPECT_EQ(o[0], 80); EXPECT_EQ(o[1], 80); EXPECT_EQ(o[2], 81); EXPECT_EQ(o[4], 90); EXPECT_EQ(o[15], 92);
    EXPECT_FLOAT_EQ(dx, -1.3f);
    I.nNeighbourhood9(9.8f, 0.1f, o, dx, dy);
    EXPECT_EQ(o[0], 8); EXPECT_EQ(o[1], 9); EXPECT_EQ(o[2], 9); EXPECT_EQ(o[8], 19);
}

TEST(InterpImage, NonFinitePositionsAndPixelsStayInside)
{
    Img I = randomImage(7, 6, 5);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const float bad[] = {nan, inf, -inf, 1e30f, -1e30f, 3.f};
    float dx, dy, dxx, dyy, dxy;
    int o[16];
    for (float x : bad)
        for (float y : bad) {
            I.get_neumann(x, y);
            I.get_Dneumann(x, y, dx, dy);
            I.get_DDneumann(x, y, dx, dy, dxx, dyy, dxy);
            const float l = I.get_DDlinear(x, y, dx, dy, dxx, dyy, dxy);
            const float c = I.get_DDcubic(x, y, dx, dy, dxx, dyy, dxy);
            EXPECT_EQ(std::isnan(l), std::isnan(x) || std::isnan(y));
            EXPECT_EQ(std::isnan(c), std::isnan(x) || std::isnan(y));
            EXPECT_EQ(std::isnan(I.get_linear(x, y)), std::isnan(x) || std::isnan(y));
            EXPECT_EQ(std::isnan(I.get_cubic(x, y)), std::isnan(x) || std::isnan(y));
            I.get_Dlinear(x, y, dx, dy);
            I.get_Dcubic(x, y, dx, dy);
            I.nNeighbourhood1(x, y, o, dx, dy);
            I.nNeighbourhood4(x, y, o, dx, dy);
            I.nNeighbourhood9(x, y, o, dx, dy);
            I.nNeighbourhood16(x, y, o, dx, dy);
        }
    EXPECT_EQ(I.get_linear(inf, -inf), I(6, 0));
    // Intensities that do not fit an int saturate instead of converting undefinedly.
    Img J(2, 2, 1, 1, 0.f);
    J(0, 0) = nan; J(1, 0) = 1e30f; J(0, 1) = -1e30f; J(1, 1) = -2.7f;
    J.nNeighbourhood4_nb(0.f, 0.f, o, dx, dy);
    EXPECT_EQ(o[0], INT_MIN);
    EXPECT_EQ(o[1], INT_MAX);
    EXPECT_EQ(o[2], INT_MIN);
    EXPECT_EQ(o[3], -2);
}

TEST(ImageAssign, FromRawArray)
{
    CImgE<float> p(3, 2, 1, 1, 0.f);
    const float src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CImgE<float>& r = (p = src);
    EXPECT_EQ(&r, &p);
    EXPECT_EQ(p.width(), 3);
    EXPECT_EQ(p.height(), 2);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(p[k], src[k]);
    const float* none = nullptr;
    try {
        p = none;
        FAIL() << "no exception";
    } catch (const cimg_library::CImgArgumentException& e) {
        EXPECT_NE(std::string(e.what()).find("CImg<T>::operator=() : Given array pointer 'ptr' is NULL"),
                  std::string::npos);
    }
    EXPECT_EQ(p[5], 6.f);
}
