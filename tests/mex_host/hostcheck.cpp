// Test-only module: echoes its first input doubled, and reports the counts it was called with.
#include "bridge/cimg.h"

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    if (nrhs < 1 || mxGetClassID(prhs[0]) != mxDOUBLE_CLASS) {
        mexErrMsgIdAndTxt("hostcheck:args", "one double input required");
    }
    const size_t n = mxGetNumberOfElements(prhs[0]);
    plhs[0] = mxCreateNumericArray(mxGetNumberOfDimensions(prhs[0]), mxGetDimensions(prhs[0]),
                                   mxDOUBLE_CLASS, mxREAL);
    const double* in = static_cast<const double*>(mxGetData(prhs[0]));
    double* out = static_cast<double*>(mxGetData(plhs[0]));
    for (size_t i = 0; i < n; ++i) out[i] = 2 * in[i];
    if (nlhs > 1) {
        plhs[1] = mxCreateDoubleScalar(nlhs);
    }
}
