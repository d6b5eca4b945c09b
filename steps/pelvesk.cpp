// pelvesk: one image-side step of affine alignment under the sum of squared differences.
//   [E, G, H, K] = pelvesk(T, I, p)
// E = sum e^2, G = sum SD e (1 x 6), H = sum SD SD' (6 x 6), K = sum e (SD SD' + J' Hg J)
// (6 x 6), with e = I warped onto T's grid by p, minus T; SD the steepest-descent images of
// I's forward-difference gradients and Hg I's second differences, each taken on I's grid and
// warped by p. Outputs only as far as asked.
#include "bridge/guard.h"
#include "steps/gatewayArgs.h"

const MexModule mexModule = {"pelvesk", "\nPELVESK Error: ", " "};

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    mexGuard(nlhs, plhs, [&] {
        stepgw::ssdStepGateway(StepSide::Image, "3 inputs required.", nlhs, plhs, nrhs, prhs);
    });
}
