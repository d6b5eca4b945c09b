// dornask: one step of mutual-information alignment under an affine warp, with the
// derivatives taken on the template side.
//
//   [MI, G, H1, H2, H3] = dornask(T, I, p)      or      dornask(T, I, p, K)
//
// T template, I image (finite, non-negative intensities: they are histogram bins), p the six
// affine parameters, K an optional Parzen kernel (default 1). MI is the mutual information of
// T and I warped onto T's grid, G (1 x 6) its gradient, H1, H2, H3 (6 x 6) the second-order
// terms of the template marginal, of the joint table and of the second derivatives. Only the
// outputs asked for are computed; MI always is.
#include "bridge/guard.h"
#include "steps/gatewayArgs.h"

const MexModule mexModule = {"dornask", "\nDORNASK Error: ", " "};

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    mexGuard(nlhs, plhs,
             [&] { stepgw::miStepGateway(StepSide::Template, nlhs, plhs, nrhs, prhs); });
}
