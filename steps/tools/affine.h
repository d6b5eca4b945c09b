// Geometric tools of the registration step modules: the affine warp onto a template grid,
// centred coordinate images, the affine Jacobian and matrices whose elements are images.
//
// Affine map of a centred template point (x, y) into the image, p holding p1..p6:
//   x' = (1 + p1) x + p3 y + p5,   y' = p2 x + (1 + p4) y + p6.
// Two centring rules, both used as they stand:
//   warp grid (WarpToTmp):      x = i - trunc((w - 1) / 2), y = j - trunc((h - 1) / 2);
//   coordinate images (GridXY): X = i - trunc(w / 2),       Y = j - trunc(h / 2).
// They agree for odd sizes; for w = 4 the warp grid runs -1..2, the coordinate images -2..1.
//
// A matrix of images is a CImgList read column-major: element (i, k) of an r-row matrix is
// list entry i + k r. A 6-entry list serves as a 6 x 1 column or a 1 x 6 row.
//
// Image-library conventions the modules rely on:
//   forward-difference gradient: img.get_gradient("xy", 1) gives (v(x+1,y) - v(x,y),
//     v(x,y+1) - v(x,y)), each 0 at the last column or row (always pass "xy": without axes
//     the library drops an axis of size 1);
//   clamped bilinear sample: img._linear_atXY(float x, float y) clamps x into
//     [0, width - 1] and y into [0, height - 1] first (the image must not be empty).
#pragma once

#include "bridge/cimg.h"

// The image a step takes its derivatives from: the template, or the image warped onto the
// template grid.
enum class StepSide { Template, Image };

// I sampled bilinearly (clamped, plane 0, channel 0) under the affine map p on T's warp
// grid; the result has all four dimensions of T, only its first w h elements are written
// (the rest stay 0). Only T's size and the first six values of p are read. I must not be
// empty and p must hold at least six values (the caller checks). A mapped coordinate that is
// not a number gives a NaN sample.
CImg<double> WarpToTmp(const CImg<double>& I, const CImg<double>& T, const CImg<double>& p);

// I sampled as in WarpToTmp on the w x h grid x = x0 .. x0 + w - 1, y = y0 .. y0 + h - 1
// (outer loop y): a w x h x 1 x 1 image, empty when w or h is 0.
CImg<double> WarpRegion(const CImg<double>& I, int w, int h, int x0, int y0, const CImg<double>& p);

// As WarpRegion, written into R (which gives w and h, and may share a caller's buffer).
void WarpRegionInto(const CImg<double>& I, int x0, int y0, const CImg<double>& p, CImg<double>& R);

// The coordinate images (X, Y) of T's width w and height h, each w x h x 1 x 1.
CImgList<double> GridXY(const CImg<double>& T);

// The 2 x 6 affine Jacobian [X, 0, 0, X, Y, 0, 0, Y, 1, 0, 0, 1] from the list (X, Y) of
// GridXY; every entry has X's dimensions.
CImgList<double> JcbnAffine(const CImgList<double>& XY);

// The a x d product of A (a rows, b columns) and B (row stride c, d columns, c = b):
// entry r + s a = sum over k of A[r + k a] * B[k + s c] element by element, each entry of
// A[0]'s dimensions; a product or sum runs over the elements the two images have in common.
// The lists must hold at least a b and c d entries (not checked).
CImgList<double> ListMult(const CImgList<double>& A, unsigned a, unsigned b,
                          const CImgList<double>& B, unsigned c, unsigned d);

// The b x a transpose of L (a rows, b columns): entry k + r b is a deep copy of L[r + k a].
// L must hold at least a b entries (not checked).
CImgList<double> ListTranspose(const CImgList<double>& L, unsigned a, unsigned b);
