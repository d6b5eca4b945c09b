// quillet: cuts an affine-warped region out of an image.
//   R = quillet(S, I, p)
// R is W x H (W = trunc(S(1)), H = trunc(S(2))): I sampled bilinearly, with clamped
// coordinates, at x' = (1 + p1) x + p3 y + p5, y' = p2 x + (1 + p4) y + p6 over the centred
// grid x = trunc((S(1) - 1) * -0.5) .. + W - 1, y likewise.
#include "bridge/guard.h"
#include "steps/gatewayArgs.h"

#include <cmath>
#include <string>

const MexModule mexModule = {"quillet", "\nQUILLET Error: ", " "};

namespace {

void Cut(mxArray* plhs[], int nlhs, const mxArray* prhs[])
{
    const CImg<double> S(prhs[0], false, false);
    const CImg<double> I(prhs[1], false, true);
    const CImg<double> p(prhs[2], false, false);
    if (S.size() < 2) return mexErr("S must hold at least 2 values.", nlhs, plhs);
    const double s1 = S[0], s2 = S[1];
    if (!std::isfinite(s1) || !std::isfinite(s2) || s1 < 0 || s2 < 0)
        return mexErr("S must hold finite, non-negative sizes.", nlhs, plhs);
    if (s1 >= 2147483648.0 || s2 >= 2147483648.0)
        return mexErr("S must hold sizes below 2^31.", nlhs, plhs);
    if (!stepgw::imageAndWarp(I, p, nlhs, plhs)) return;

    const int w = int(s1), h = int(s2);
    const int x0 = int((s1 - 1) * -0.5), y0 = int((s2 - 1) * -0.5);
    if (size_t(w) * size_t(h) == 0) {
        plhs[0] = CImg<double>().toMatlab(mxDOUBLE_CLASS, false);  // [0, 0, 0, 0]
        return;
    }
    // The region is sampled straight into the output array, once the library has accepted its
    // size for one buffer and the memory is there.
    const size_t bytes = CImg<double>::safe_size(unsigned(w), unsigned(h), 1, 1) * sizeof(double);
    RequireMemory(bytes, "a " + std::to_string(w) + " x " + std::to_string(h) + " region");
    const mwSize dims[4] = {mwSize(w), mwSize(h), 1, 1};
    plhs[0] = mxCreateNumericArray(4, dims, mxDOUBLE_CLASS, mxREAL);
    CImg<double> R(static_cast<double*>(mxGetData(plhs[0])), w, h, 1, 1, true);
    WarpRegionInto(I, x0, y0, p, R);
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    mexGuard(nlhs, plhs, [&] {
        if (nrhs != 3) return mexErr("3 inputs required.", nlhs, plhs);
        if (nlhs > 1) return mexErr("1 output required", nlhs, plhs);
        Cut(plhs, nlhs, prhs);
    });
}
