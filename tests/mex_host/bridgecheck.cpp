// Test-only module over the bridge:
//   [dims, out, shared] = bridgecheck('double'|'float', A, asChannels, shareData, outClass, warn)
//       converts A into an image of that pixel type; dims = [w h d c], out = toMatlab(outClass,
//       asChannels) of the image (class id, default double), shared = whether it used A's buffer.
//   out = bridgecheck('copy', A)   image of A written by mxCreateNumericArray + copyToMatlabData
//   [...] = bridgecheck('err', msg)        mexErr with msg
//   bridgecheck('throw', kind)             prints, stores an output, then throws
//   bridgecheck('print', a, b)             a through std::cout, b through mexPrintf, a again
#include <iostream>
#include <new>
#include <stdexcept>
#include <string>

#include "bridge/cimg.h"
#include "bridge/guard.h"
#include "bridge/mexErr.h"

const MexModule mexModule = {"bridgecheck", "\nbridgecheck Error: ", "bridgecheck usage"};

namespace {

bool flag(int nrhs, const mxArray* prhs[], int i)
{
    return nrhs > i && mxGetScalar(prhs[i]) != 0;
}

std::string text(const mxArray* a)
{
    char* s = mxArrayToString(a);
    std::string r = s ? s : "";
    mxFree(s);
    return r;
}

template <typename T>
void convert(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    const bool asChannels = flag(nrhs, prhs, 2), share = flag(nrhs, prhs, 3);
    const mxClassID cls = nrhs > 4 ? static_cast<mxClassID>(mxGetScalar(prhs[4])) : mxDOUBLE_CLASS;
    const CImg<T> img(prhs[1], asChannels, share, flag(nrhs, prhs, 5));
    const CImg<double> dims = CImg<double>::vector(img.width(), img.height(), img.depth(), img.spectrum());
    plhs[0] = dims.toMatlab();
    if (nlhs > 1) {
        mxArray* out = img.toMatlab(cls, asChannels);
        plhs[1] = out ? out : mxCreateDoubleMatrix(0, 0, mxREAL);
        if (!out) mexPrintf("null");
    }
    if (nlhs > 2) plhs[2] = mxCreateLogicalScalar(img.is_shared() && img.data() == mxGetData(prhs[1]));
}

}  // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    mexGuard(nlhs, plhs, [&] {
        if (nrhs < 1 || mxGetClassID(prhs[0]) != mxCHAR_CLASS) {
            mexErr("first input: an operation name", nlhs, plhs);
            return;
        }
        const std::string op = text(prhs[0]);
        if (op == "double") {
            convert<double>(nlhs, plhs, nrhs, prhs);
        } else if (op == "float") {
            convert<float>(nlhs, plhs, nrhs, prhs);
        } else if (op == "copy") {
            const CImg<float> img(prhs[1], false, false);
            const mwSize dims[4] = {img.width(), img.height(), img.depth(), img.spectrum()};
            plhs[0] = mxCreateNumericArray(4, dims, mxDOUBLE_CLASS, mxREAL);
            img.copyToMatlabData(static_cast<double*>(mxGetData(plhs[0])));
        } else if (op == "err") {
            const std::string msg = text(prhs[1]);
            mexErr(msg.c_str(), nlhs, plhs);
        } else if (op == "throw") {
            const std::string kind = text(prhs[1]);
            std::cout << "before " << kind << "\n";
            plhs[0] = mxCreateDoubleScalar(1);
            CImg<float> held(1000, 1000);  // freed by the unwinding
            if (kind == "cimg") CImg<float>().max();
            if (kind == "alloc") throw std::bad_alloc();
            if (kind == "std") throw std::runtime_error("plain failure");
            if (kind == "failure") throw MexFailure("badInput", "named failure");
            throw 42;
        } else if (op == "print") {
            std::cout << text(prhs[1]);
            mexPrintf("%s", text(prhs[2]).c_str());
            std::cout << text(prhs[1]) << std::endl;
        } else {
            mexErr("unknown operation", nlhs, plhs);
        }
    });
}
