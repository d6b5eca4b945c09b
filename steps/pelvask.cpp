// pelvask: one template-side step of affine alignment under the sum of squared differences.
//   [E, G, H, K] = pelvask(T, I, p)
// E = sum r^2, G = sum SD r (1 x 6), H = sum SD SD' (6 x 6), K = sum r (SD SD' + J' Hg J)
// (6 x 6), with r = T - I warped onto T's grid by p, SD the steepest-descent images of T's
// forward-difference gradients and Hg T's second differences. Outputs only as far as asked.
#include "bridge/guard.h"
#include "steps/gatewayArgs.h"

const MexModule mexModule = {"pelvask", "\nPELVASK Error: ", " "};

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    mexGuard(nlhs, plhs, [&] {
        stepgw::ssdStepGateway(StepSide::Template, "3inputs required.", nlhs, plhs, nrhs, prhs);
    });
}
