#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <string>

#include "gateway/CImgSubset.h"

namespace {

CImg<float> ramp(unsigned w, unsigned h, unsigned d = 1, unsigned c = 1)
{
    CImg<float> img(w, h, d, c);
    std::iota(img.begin(), img.end(), 0.f);
    return img;
}

std::string thrownText(const std::function<void()>& f)
{
    try {
        f();
    } catch (const cimg_library::CImgArgumentException& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(CImgSubset, RowViewCoversOneRowAndAssignsIntoIt)
{
    const unsigned k = 6, n = 4;
    CImg<float> D(k, n, 1, 1, 0.f);
    const CImg<float> g = ramp(k, 1) + 1.f;
    for (unsigned j = 0; j < n; ++j) {
        CImgSubset<float> row(D, j, j, 0, 0);
        EXPECT_EQ(row.width(), int(k));
        EXPECT_EQ(row.height(), 1);
        EXPECT_EQ(row.data(), D.data() + j * k);
        row = g * float(j + 1);
    }
    for (unsigned j = 0; j < n; ++j)
        for (unsigned i = 0; i < k; ++i) EXPECT_EQ(D(i, j), (i + 1.f) * (j + 1.f));
}

TEST(CImgSubset, RowRunAndChannelOffsets)
{
    const CImg<float> img = ramp(3, 4, 2, 2);
    const CImgSubset<float> rows(img, 1, 2, 1, 1);
    EXPECT_EQ(rows.width(), 3);
    EXPECT_EQ(rows.height(), 2);
    EXPECT_EQ(rows.depth(), 1);
    EXPECT_EQ(rows.spectrum(), 1);
    EXPECT_EQ(rows(0, 0), img(0, 1, 1, 1));
    EXPECT_EQ(rows(2, 1), img(2, 2, 1, 1));
}

TEST(CImgSubset, PlaneViewStartsAtItsPlane)
{
    const unsigned k = 3, n = 5;
    CImg<float> DD(k, k, n, 1, 0.f);
    const CImg<float> H = ramp(k, k);
    for (unsigned j = 0; j < n; ++j) {
        CImgSubset<float> plane(DD, j, j, 0);
        EXPECT_EQ(plane.width(), int(k));
        EXPECT_EQ(plane.height(), int(k));
        EXPECT_EQ(plane.depth(), 1);
        EXPECT_EQ(plane.data(), DD.data() + j * k * k);
        plane = H + float(100 * j);
    }
    for (unsigned j = 0; j < n; ++j)
        for (unsigned i = 0; i < k * k; ++i) EXPECT_EQ(DD[j * k * k + i], i + 100.f * j);
    const CImg<float> img = ramp(2, 2, 3, 2);
    const CImgSubset<float> planes(img, 1, 2, 1);
    EXPECT_EQ(planes.depth(), 2);
    EXPECT_EQ(planes(1, 1, 0), img(1, 1, 1, 1));
    EXPECT_EQ(planes(0, 1, 1), img(0, 1, 2, 1));
}

TEST(CImgSubset, ViewOfEmptyImageIsEmpty)
{
    const CImg<float> empty;
    const CImgSubset<float> row(empty, 0, 5, 0, 0), plane(empty, 3, 1, 0);
    EXPECT_TRUE(row.is_empty());
    EXPECT_EQ(row.width() + row.height() + row.depth() + row.spectrum(), 0);
    EXPECT_EQ(row.data(), nullptr);
    EXPECT_TRUE(plane.is_empty());
}

TEST(CImgSubset, OutOfRangeViewsAreRefusedWithTheirText)
{
    const CImg<float> img(6, 4, 3, 1, 0.f);
    const std::string rowText =
        "CImgSubset<float>::CImgSubset() : Cannot construct a subset (0->5,4->4,0,0) from a "
        "(6,4,3,1) image.";
    const std::string planeText =
        "CImgSubset<float>::CImgSubset() : Cannot construct a subset (0->5,0->3,3->3,0) from a "
        "(6,4,3,1) image.";
    EXPECT_EQ(thrownText([&] { CImgSubset<float>(img, 4, 4, 0, 0); }), rowText);
    EXPECT_EQ(thrownText([&] { CImgSubset<float>(img, 3, 3, 0); }), planeText);
    EXPECT_NE(thrownText([&] { CImgSubset<float>(img, 2, 1, 0, 0); }), "");  // reversed rows
    EXPECT_NE(thrownText([&] { CImgSubset<float>(img, 0, 0, 3, 0); }), "");  // plane 3
    EXPECT_NE(thrownText([&] { CImgSubset<float>(img, 0, 0, 0, 1); }), "");  // channel 1
    EXPECT_NE(thrownText([&] { CImgSubset<float>(img, 2, 1, 0); }), "");     // reversed planes
}

TEST(CImgSubset, AssignmentNeedsTheSameDimensions)
{
    CImg<float> D(6, 2, 1, 1, 0.f);
    CImgSubset<float> row(D, 1, 1, 0, 0);
    const std::string text =
        "CImgSubset<float>::operator=() : Affectation to CImgSubset instances must supply data "
        "with same dimensions";
    EXPECT_EQ(thrownText([&] { row = CImg<float>(1, 6, 1, 1, 1.f); }), text);  // same count
    EXPECT_EQ(thrownText([&] { row = CImg<float>(5, 1, 1, 1, 1.f); }), text);
    EXPECT_EQ(D.sum(), 0.f);
    row = row;  // self-assignment changes nothing
    EXPECT_EQ(D.sum(), 0.f);
}

TEST(CImgSubset, DroppingTheViewLeavesTheImage)
{
    CImg<float> D = ramp(4, 3);
    {
        CImgSubset<float> row(D, 2, 2, 0, 0);
        row = CImg<float>(4, 1, 1, 1, -1.f);
    }
    EXPECT_EQ(D(3, 2), -1.f);
    EXPECT_EQ(D(3, 1), 7.f);
}
