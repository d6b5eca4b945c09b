// tremlo: similarity of a template T and a reference image I at each warp of a list W,
// with the gradient and the Hessian of the measure per warp.
//
//   [Y,D,DD] = tremlo(T,I,W,P,<Z>)        (a fourth output: the joint histograms)
//
// P = [warp type, operator, spline order, interpolation, sampling rate]; W holds one group
// of k parameters per warp in storage order (a k x n matrix: one warp per column). Argument
// errors print the report and return 1x1 single zeros; failures inside the measures become
// host errors with identifiers "tremlo:...". The call's stages are in gateway/tremloCall.h;
// this file converts the host's arrays and reports.
#include <iostream>

#include "bridge/cimg.h"
#include "bridge/guard.h"
#include "bridge/mexErr.h"
#include "gateway/tremloCall.h"

namespace {

// A new double array of img's values; a large one only once the memory is there (the host's
// own failure would end the call with an error of its own).
mxArray* toDouble(const CImg<float>& img)
{
    const size_t bytes = img.size() * sizeof(double);
    if (bytes >= (size_t(1) << 20)) RequireMemory(bytes, "an output");
    const mwSize dims[4] = {mwSize(img._width), mwSize(img._height), mwSize(img._depth),
                            mwSize(img._spectrum)};
    mxArray* a = mxCreateNumericArray(4, dims, mxDOUBLE_CLASS, mxREAL);
    if (img.size()) img.copyToMatlabData(static_cast<double*>(mxGetData(a)));
    return a;
}

// An argument report through mexErr, or the host error of its kind.
void refuse(const Refusal& why, int nlhs, mxArray* plhs[])
{
    if (why.hostError) throw MexFailure(why.hostError, why.text);
    mexErr(why.text.c_str(), nlhs, plhs);
}

void tremlo(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    if (const char* why = countRefusal(nrhs, nlhs)) return mexErr(why, nlhs, plhs);

    TremloInputs in;
    in.T = CImg<float>(prhs[0], false, false, true);
    in.I = CImg<float>(prhs[1], false, false, true);
    in.W = CImg<float>(prhs[2], false, false, true);
    in.P = CImg<float>(prhs[3], false, false, true);
    in.Z = nrhs == 5 ? CImg<float>(prhs[4], false, false, true) : CImg<float>(1, 1, 1, 1, 0.f);

    TremloCall call;
    Refusal why = parseCall(in, nlhs, call);
    if (call.templateLarger) std::cout << kTremloWarning;
    if (!why) why = refuseCall(in, call, histogramBudget());
    if (why) return refuse(why, nlhs, plhs);

    TremloMeasure m = buildMeasure(call, in);
    if ((why = refuseWarps(m, call, in.W))) return refuse(why, nlhs, plhs);
    TremloResults r = evaluateWarps(m, call, in.W);
    m.fn.reset();

    const std::vector<CImg<float>> out = tremloOutputs(std::move(r), nlhs);
    for (std::size_t k = out.size(); k-- > 0;) plhs[k] = toDouble(out[k]);
}

}  // namespace

const MexModule mexModule = {"tremlo", "\ntremlo Error: ", kTremloUsage};

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    mexGuard(nlhs, plhs, [&] { tremlo(nlhs, plhs, nrhs, prhs); });
}
