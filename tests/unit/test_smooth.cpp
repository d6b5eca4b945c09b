// Table smoothing: a zero-boundary, unnormalised true convolution centred at the mask's
// integer half, the size of the table.
#include <gtest/gtest.h>
#include <vector>
#include "similarity/smooth.h"

namespace {

CImg<float> makeMask(int w, int h, const std::vector<float>& v)
{
    CImg<float> m(w, h);
    for (int k = 0; k < w * h; ++k) m[k] = v[k];
    return m;
}

// out(x, y, z) = sum mask(i, j) table(x + w/2 - i, y + h/2 - j, z), zero outside the table.
CImg<float> directSum(const CImg<float>& t, const CImg<float>& m)
{
    CImg<float> out(t.width(), t.height(), t.depth(), 1, 0.f);
    const int cx = m.width() / 2, cy = m.height() / 2;
    for (int z = 0; z < t.depth(); ++z)
        for (int y = 0; y < t.height(); ++y)
            for (int x = 0; x < t.width(); ++x) {
                double s = 0;
                for (int j = 0; j < m.height(); ++j)
                    for (int i = 0; i < m.width(); ++i) {
                        const int u = x + cx - i, v = y + cy - j;
                        if (u >= 0 && u < t.width() && v >= 0 && v < t.height()) s += double(m(i, j)) * t(u, v, z);
                    }
                out(x, y, z) = float(s);
            }
    return out;
}

CImg<float> rampTable(int w, int h, int d = 1)
{
    CImg<float> t(w, h, d);
    // distinct, non-symmetric values so a flipped or shifted mask shows
    cimg_forXYZ(t, x, y, z) t(x, y, z) = float(1 + x + 3 * y * y + 7 * z) * (x % 2 ? 1.f : -0.5f);
    return t;
}

void expectSame(const CImg<float>& a, const CImg<float>& b)
{
    ASSERT_EQ(a.width(), b.width());
    ASSERT_EQ(a.height(), b.height());
    ASSERT_EQ(a.depth(), b.depth());
    ASSERT_EQ(a.spectrum(), b.spectrum());
    for (unsigned long k = 0; k < a.size(); ++k) EXPECT_NEAR(a[k], b[k], 1e-4f * (1 + std::abs(b[k]))) << "at " << k;
}

} // namespace

TEST(SmoothTable, DeltaPlacesMaskCentreAtIntegerHalf)
{
    // A delta at x0 spreads so that mask element i lands at x0 - w/2 + i, for widths 1 to 4.
    for (int w = 1; w <= 4; ++w) {
        for (int vertical = 0; vertical < 2; ++vertical) {
            std::vector<float> v;
            for (int i = 0; i < w; ++i) v.push_back(float(i + 1));
            const CImg<float> m = vertical ? makeMask(1, w, v) : makeMask(w, 1, v);
            CImg<float> t(9, 9, 1, 1, 0.f);
            t(4, 4) = 1;
            const CImg<float> out = smoothTable(t, m);
            ASSERT_EQ(out.width(), 9);
            ASSERT_EQ(out.height(), 9);
            float total = 0;
            for (unsigned long k = 0; k < out.size(); ++k) total += out[k];
            EXPECT_FLOAT_EQ(total, w * (w + 1) / 2.f);
            for (int i = 0; i < w; ++i) {
                const int at = 4 - w / 2 + i;
                EXPECT_FLOAT_EQ(vertical ? out(4, at) : out(at, 4), float(i + 1)) << "w=" << w << " i=" << i;
            }
        }
    }
}

TEST(SmoothTable, MatchesDirectSumForOneDimensionalMasks)
{
    const std::vector<std::vector<float>> masks = {
        {-1, 1}, {0.5f, 0.5f}, {-1, 2, -1}, {-0.5f, 0, 0.5f}, {0.25f, 0.5f, 0.25f}};
    const CImg<float> t = rampTable(7, 6);
    for (const auto& v : masks) {
        const int w = int(v.size());
        SCOPED_TRACE(w);
        expectSame(smoothTable(t, makeMask(w, 1, v)), directSum(t, makeMask(w, 1, v)));
        expectSame(smoothTable(t, makeMask(1, w, v)), directSum(t, makeMask(1, w, v)));
    }
}

TEST(SmoothTable, MatchesDirectSumForTwoDimensionalMasksPlaneByPlane)
{
    // Small masks, and one of more than 27 elements (the library takes another path there).
    const CImg<float> t = rampTable(8, 7, 3);
    for (int w : {2, 3, 6}) {
        const int h = w == 6 ? 5 : w;
        CImg<float> m(w, h);
        cimg_forXY(m, x, y) m(x, y) = float(1 + x * h + y) * (y % 2 ? -1.f : 1.f);
        SCOPED_TRACE(w);
        expectSame(smoothTable(t, m), directSum(t, m));
    }
}

TEST(SmoothTable, ChannelsAreSmoothedOnTheirOwn)
{
    CImg<float> t(5, 4, 2, 3);
    cimg_forXYZC(t, x, y, z, c) t(x, y, z, c) = float(x + 10 * y + 100 * z + 1000 * c);
    const CImg<float> m = makeMask(2, 2, {1, 2, 3, 4});
    const CImg<float> out = smoothTable(t, m);
    ASSERT_EQ(out.spectrum(), 3);
    for (int c = 0; c < 3; ++c) expectSame(out.get_channel(c), directSum(t.get_channel(c), m));
}

TEST(SmoothTable, RejectsEmptyAndMultiChannelMasks)
{
    const CImg<float> t(4, 4, 1, 1, 1.f);
    EXPECT_THROW(smoothTable(t, CImg<float>()), cimg_library::CImgArgumentException);
    EXPECT_THROW(smoothTable(t, CImg<float>(2, 2, 1, 2, 1.f)), cimg_library::CImgArgumentException);
}
