// Inverse warps: forward then inverse returns the point, for every warp code.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "similarity/CWarp.h"

namespace {

CImg<float> vec(std::initializer_list<float> v)
{
    CImg<float> p(int(v.size()), 1, 1, 1);
    int k = 0;
    for (float x : v) p[k++] = x;
    return p;
}

struct InvCase {
    int code;
    CImg<float> p;
    CImg<float> refParams;
};

TEST(WarpInverse, UndoesTheForwardMap)
{
    const InvCase cases[] = {
        {2, vec({3.5f, -2.25f}), {}},
        {3, vec({1.5f, 4.f, 0.7f}), {}},
        {3, vec({-2.f, 1.f, -2.9f}), {}},
        {4, vec({1.5f, 4.f, 0.7f, 0.35f}), {}},
        {4, vec({0.f, -3.f, -1.2f, -0.6f}), {}},
        {6, vec({0.2f, -0.35f, 0.15f, -0.1f, 7.f, -4.f}), {}},  // p1 != p2
        {6, vec({-0.3f, 0.4f, -0.25f, 0.5f, 0.f, 2.f}), {}},
        {23, vec({2.f, 3.f}), vec({0.f, 0.f, 0.9f})},
        {24, vec({2.f, 3.f}), vec({0.f, 0.f, -0.4f, 0.2f})},
        {26, vec({2.f, 3.f}), vec({0.1f, -0.2f, 0.3f, 0.05f})},
        {7, vec({0.1f, 0.2f, -0.3f, 0.1f, 1.f, 2.f}), {}},  // other codes take the affine map
    };
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> u(-20.f, 20.f);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        CWarp w(c.code);
        w.refParams = c.refParams;
        for (int n = 0; n < 50; ++n) {
            const float x = u(gen), y = u(gen);
            float fx, fy, bx, by;
            w.Warp(c.p, x, y, fx, fy);
            w.WarpInverse(c.p, fx, fy, bx, by);
            EXPECT_NEAR(bx, x, 1e-5f * (1 + std::fabs(x)));
            EXPECT_NEAR(by, y, 1e-5f * (1 + std::fabs(y)));
        }
    }
}

TEST(WarpInverse, ZeroParametersGiveIdentity)
{
    for (int code : {2, 3, 4, 6}) {
        CWarp w(code);
        const CImg<float> p(code, 1, 1, 1, 0.f);
        float ox, oy;
        w.WarpInverse(p, 2.5f, -7.25f, ox, oy);
        EXPECT_EQ(ox, 2.5f) << code;
        EXPECT_EQ(oy, -7.25f) << code;
    }
}

TEST(WarpInverse, LeavesAngleStateAsWarpDoes)
{
    for (int code : {3, 4}) {
        const CImg<float> p = code == 3 ? vec({1.f, 2.f, 0.8f}) : vec({1.f, 2.f, 0.8f, 0.3f});
        CWarp a(code), b(code);
        float ox, oy, ax, ay, bx, by;
        a.WarpInverse(p, 3.f, 4.f, ox, oy);
        EXPECT_EQ(a.sinAngle, std::sin(0.8f));
        EXPECT_EQ(a.cosAngle, std::cos(0.8f));
        a.WarpCurrent(-2.f, 5.f, ax, ay);  // the map with the state the inverse left
        b.Warp(p, -2.f, 5.f, bx, by);
        EXPECT_EQ(ax, bx);
        EXPECT_EQ(ay, by);
    }
}

TEST(WarpInverse, SingularMapsGiveNonFinitePoints)
{
    struct {
        int code;
        CImg<float> p;
    } cases[] = {
        {4, vec({1.f, 2.f, 0.3f, -1.f})},                   // scale 0
        {6, vec({-1.f, 0.f, 0.f, 0.5f, 1.f, 1.f})},         // first column zero
        {6, vec({1.f, 2.f, 2.f, 1.f, 0.f, 0.f})},           // rank one
        {6, vec({-1.f, 0.f, 0.f, -1.f, 2.f, 3.f})},         // everything to one point
    };
    for (const auto& c : cases) {
        CWarp w(c.code);
        for (float x : {0.f, 2.f, 3.5f}) {
            float ox, oy;
            w.WarpInverse(c.p, x, 3.f, ox, oy);
            EXPECT_FALSE(std::isfinite(ox) && std::isfinite(oy)) << c.code << " at " << x;
        }
    }
}

}  // namespace
