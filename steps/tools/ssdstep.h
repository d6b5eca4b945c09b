// One step of affine alignment under the sum of squared differences of a template T and an
// image I warped onto T's grid by p.
//
// Template side: r = T - Iw, SD the steepest-descent images of T's forward differences, Hg
// T's second differences. Image side: r = Iw - T, SD and Hg from I's forward and second
// differences, each taken on I's grid and warped by p.
//
// Outputs, out[k] for k < count (1 .. 4), the rest untouched: E = sum r^2, G = sum SD r
// (1 x 6), H = sum SD SD' (6 x 6, symmetric), K = sum r (SD SD' + J' Hg J) (6 x 6).
// T and I must not be empty and p must hold at least six values (the caller checks).
#pragma once

#include "bridge/cimg.h"
#include "steps/tools/affine.h"

void SsdStep(StepSide side, const CImg<double>& T, const CImg<double>& I, const CImg<double>& p,
             int count, CImg<double> out[4]);
