// One step of mutual-information alignment under an affine warp: the mutual information of a
// template T and an image I warped onto T's grid, its gradient and second-order terms, with
// the derivatives taken on the template side or on the image side (I's gradients, warped).
//
// T and I hold finite, non-negative intensities (histogram bins), p the six affine
// parameters, K a Parzen kernel (template bins along x, image bins along y) smoothing the
// joint table. The table holds every intensity plus the kernel's margin, and two bins more
// along the side the derivatives are taken on.
//
// Outputs, out[k] for k < count, the rest untouched:
//   template side (5): MI, G (1 x 6), H1 (6 x 6) the term of the template marginal, H2 that
//                      of the joint table, H3 that of the template's second derivatives;
//   image side (4):    MI, G (1 x 6), H1 (6 x 6) the term of the joint table, H2 that of the
//                      image's second derivatives.
#pragma once

#include "bridge/cimg.h"
#include "steps/tools/affine.h"

// Bins of the joint table along the template (nT) and the image (nI), for the largest
// intensities maxT of T and maxI of I.
struct MiBins {
    double nT, nI;
};
MiBins MiTableBins(StepSide side, const CImg<double>& K, double maxT, double maxI);

// The number of outputs a step of that side gives.
inline int MiStepOutputs(StepSide side) { return side == StepSide::Template ? 5 : 4; }

// The outputs of one step, out[k] computed for k < count (1 .. MiStepOutputs(side)); maxT and
// maxI are T's and I's largest values, and the table of MiTableBins must fit in memory (the
// caller bounds it). T and I are only read.
void MiStep(StepSide side, const CImg<double>& T, const CImg<double>& I, const CImg<double>& p,
            const CImg<double>& K, double maxT, double maxI, int count, CImg<double> out[]);
