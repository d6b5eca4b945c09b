// The step calculations run without a host: the mutual information of an image with itself.
#include <gtest/gtest.h>

#include <cmath>

#include "steps/tools/mistep.h"

TEST(StepRun, MutualInformationOfAnImageWithItselfIsItsEntropy)
{
    // 7 x 5 image of bins 0..4; p centres the warp grid on the image's pixels.
    CImg<double> T(7, 5);
    cimg_forXY(T, x, y) T(x, y) = double((x * 3 + y * y) % 5);
    CImg<double> p(1, 6, 1, 1, 0.0);
    p[4] = 3;
    p[5] = 2;
    const CImg<double> K(1, 1, 1, 1, 1.0);

    double count[5] = {};
    cimg_forXY(T, x, y) count[int(T(x, y))] += 1;
    double entropy = 0;
    for (double c : count)
        if (c > 0) entropy -= c / 35 * std::log(c / 35);

    for (StepSide side : {StepSide::Template, StepSide::Image}) {
        CImg<double> out[5];
        MiStep(side, T, T, p, K, T.max(), T.max(), 1, out);
        ASSERT_EQ(out[0].size(), 1u);
        EXPECT_NEAR(out[0][0], entropy, 1e-13);
        EXPECT_TRUE(out[1].is_empty());  // only the outputs asked for

        MiStep(side, T, T, p, K, T.max(), T.max(), MiStepOutputs(side), out);
        EXPECT_EQ(out[1].width() * out[1].height(), 6);
        for (int k = 2; k < MiStepOutputs(side); ++k) EXPECT_EQ(out[k].size(), 36u);
    }
}
