// The one configuration of the image library that every file of the project sees:
// no display, and the MATLAB-array members of the bridge added to CImg<T> (bridge/mxPlugin.h).
#pragma once

#include <mex.h>

#include <cstdint>
#include <limits>
#include <type_traits>

#ifndef cimg_display
#define cimg_display 0
#endif
#define cimg_plugin "bridge/mxPlugin.h"
#include <CImg.h>

using cimg_library::CImg;
using cimg_library::CImgList;
