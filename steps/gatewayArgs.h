// Argument checks and gateway bodies shared by the step modules. Header-only: each module
// compiles it against its own mexModule (the prefix of its error reports). A check that fails
// reports through mexErr and returns false; the gateway then returns.
#pragma once

#include <cmath>

#include "bridge/mexErr.h"
#include "steps/tools/hist.h"
#include "steps/tools/mistep.h"
#include "steps/tools/ssdstep.h"

namespace stepgw {

using Img = CImg<double>;

// Largest joint table (cells) a mutual-information step may use; at most about a dozen tables
// of this size live at once.
constexpr double maxTableCells = 33554432;  // 2^25: 12-bit intensities still fit

// I holds an image and p at least the six affine parameters.
inline bool imageAndWarp(const Img& I, const Img& p, int nlhs, mxArray* plhs[])
{
    if (I.is_empty()) {
        mexErr("I must be a non-empty numeric or logical array.", nlhs, plhs);
        return false;
    }
    if (p.size() < 6) {
        mexErr("p must hold at least 6 values.", nlhs, plhs);
        return false;
    }
    return true;
}

// [MI, G, H...] = module(T, I, p) or module(T, I, p, K): the mutual-information step of `side`.
inline void miStepGateway(StepSide side, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    const int outputs = MiStepOutputs(side);
    if (nrhs < 3 || nrhs > 4) return mexErr("3-4 inputs required.", nlhs, plhs);
    if (nlhs > outputs)
        return mexErr(outputs == 5 ? "1-5 outputs required" : "1-4 outputs required", nlhs, plhs);

    const Img p(prhs[2], false, false);
    if (p.size() < 6) return mexErr("p must hold 6 values.", nlhs, plhs);
    for (int k = 0; k < 6; ++k)
        if (!std::isfinite(p[k])) return mexErr("p must be finite.", nlhs, plhs);
    const Img T(prhs[0], false, true), I(prhs[1], false, true);
    const Img K = nrhs == 4 ? Img(prhs[3], false, false) : Img(1, 1, 1, 1, 1.0);
    if (I.is_empty()) return mexErr("I is empty.", nlhs, plhs);

    if (T.is_empty()) T.max();  // the library's error
    double maxT, maxI;
    if (!ValidBins(T, maxT) || !ValidBins(I, maxI))
        return mexErr("T and I must hold finite, non-negative intensities.", nlhs, plhs);
    // Each side bounded on its own as well: an empty kernel may leave the other at 0 cells.
    const MiBins bins = MiTableBins(side, K, maxT, maxI);
    if (bins.nT > maxTableCells || bins.nI > maxTableCells || bins.nT * bins.nI > maxTableCells)
        return mexErr("Intensities too large for a histogram.", nlhs, plhs);

    const int count = nlhs < 1 ? 1 : nlhs;
    Img out[5];
    MiStep(side, T, I, p, K, maxT, maxI, count, out);
    for (int k = 0; k < count; ++k) plhs[k] = out[k].toMatlab(mxDOUBLE_CLASS, false);
}

// [E, G, H, K] = module(T, I, p): the squared-difference step of `side`; inputsMsg is the
// module's report of a wrong input count.
inline void ssdStepGateway(StepSide side, const char* inputsMsg, int nlhs, mxArray* plhs[],
                           int nrhs, const mxArray* prhs[])
{
    if (nrhs != 3) return mexErr(inputsMsg, nlhs, plhs);
    if (nlhs > 4) return mexErr("1-4 outputs required", nlhs, plhs);

    const Img T(prhs[0], false, true);
    const Img I(prhs[1], false, true);
    const Img p(prhs[2], false, false);
    if (T.is_empty()) return mexErr("T must be a non-empty numeric or logical array.", nlhs, plhs);
    if (!imageAndWarp(I, p, nlhs, plhs)) return;

    const int count = nlhs < 1 ? 1 : nlhs;
    Img out[4];
    SsdStep(side, T, I, p, count, out);
    for (int k = 0; k < count; ++k) plhs[k] = out[k].toMatlab(mxDOUBLE_CLASS, false);
}

}  // namespace stepgw
