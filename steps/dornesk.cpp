// dornesk: one step of mutual-information alignment under an affine warp, with the
// derivatives taken on the image side (the gradients of I, warped onto the template grid).
//
//   [MI, G, H1, H2] = dornesk(T, I, p)      or      dornesk(T, I, p, K)
//
// T template, I image (finite, non-negative intensities: they are histogram bins), p the six
// affine parameters, K an optional Parzen kernel (default 1). MI is the mutual information of
// T and I warped onto T's grid, G (1 x 6) its gradient, H1 (6 x 6, symmetric) the
// second-order term of the joint table and H2 (6 x 6) that of the second derivatives. Only
// the outputs asked for are computed; MI always is.
#include "bridge/guard.h"
#include "steps/gatewayArgs.h"

const MexModule mexModule = {"dornesk", "\nDORNESK Error: ", " "};

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    mexGuard(nlhs, plhs, [&] { stepgw::miStepGateway(StepSide::Image, nlhs, plhs, nrhs, prhs); });
}
