// The one configuration of the image library that every file of the project sees:
// no display, and the MATLAB-array members of the bridge added to CImg<T> (bridge/mxPlugin.h).
#pragma once

#include <mex.h>

#include <cstdint>
#include <limits>
#include <type_traits>

// Oldest release of the image library the code is written for, as its cimg_version
// (100 * major + 10 * minor + patch): 3.0.0. bridge/mxPlugin.h stops the build on an older one;
// build_mex.m reads the number from here.
#define IMGALIGN_CIMG_MIN_VERSION 300

#ifndef cimg_display
#define cimg_display 0
#endif
// No module starts a thread. A compiler in OpenMP mode (Octave's mex adds -fopenmp) would turn
// on the image library's parallel loops and link the OpenMP runtime; the library is not told.
#ifdef _OPENMP
#undef _OPENMP
#endif
#define cimg_plugin "bridge/mxPlugin.h"
#include <CImg.h>

using cimg_library::CImg;
using cimg_library::CImgList;
