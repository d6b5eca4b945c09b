// Test-only module: runs loops of the image library that are parallel when it is compiled for
// OpenMP (a convolution and a blur). Built through the project's configuration (bridge/cimg.h)
// and, with RAW_IMAGE_LIBRARY defined, through the library alone.
#ifdef RAW_IMAGE_LIBRARY
#define cimg_display 0
#include <mex.h>

#include <CImg.h>
using cimg_library::CImg;
#else
#include "bridge/cimg.h"
#endif

extern "C" void mexFunction(int, mxArray* plhs[], int, const mxArray*[])
{
    CImg<float> a(300, 300, 1, 1, 2.0f);
    const CImg<float> k(3, 3, 1, 1, 1.0f / 9);
    plhs[0] = mxCreateDoubleScalar(a.get_convolve(k).blur(1.5f).sum());
}
