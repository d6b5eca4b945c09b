// The project's image-library configuration builds and behaves as the library itself.
#include <gtest/gtest.h>
#include "bridge/cimg.h"

using cimg_library::CImg;

TEST(ImageConfig, ImagesAreStoredXFastest)
{
    CImg<float> img(3, 2);
    for (int i = 0; i < 6; ++i) img[i] = float(i);
    EXPECT_FLOAT_EQ(img(2, 1), 5.f);
    EXPECT_FLOAT_EQ(img(1, 0), 1.f);
}
