// One tremlo call in stages, none of which touches the host: parse the arguments, refuse
// what must not run, build the measure, evaluate every warp, build the outputs. The module
// (gateway/tremlo.cpp) converts the host's arrays into TremloInputs, prints the warning and
// the refusals, and converts the outputs.
//
//   TremloCall call;
//   Refusal why = parseCall(in, nlhs, call);        // counts first: countRefusal
//   if (!why) why = refuseCall(in, call, histogramBudget());
//   TremloMeasure m = buildMeasure(call, in);       // takes T's and I's pixels
//   why = refuseWarps(m, call, in.W);               // operator 7's bounds, before any warp
//   std::vector<CImg<float>> out = tremloOutputs(evaluateWarps(m, call, in.W), nlhs);
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bridge/cimg.h"
#include "similarity/CostFn.h"
#include "similarity/IntensityBins.h"

class CCostFnMI;
class CCostFnMItri;
class CCostFnMItrigrid;

extern const char kTremloUsage[];      // the usage text of the error report
extern const char kTremloParamHelp[];  // the report of a P of fewer than five values
extern const char kTremloWarning[];    // printed when T is larger than I; the call goes on

// The inputs as images: T, I, W and P converted, Z the fifth input (unchanged, also when
// empty) or a 1 x 1 zero without one.
struct TremloInputs {
    CImg<float> T, I, W, P, Z;
};

// The settings decoded from P and what follows from them.
struct TremloCall {
    int nlhs = 0;
    int k = 0;          // warp type: the parameters of a warp
    int op = 0;         // operator code
    int order = 0;      // spline order, interpolation and sampling rate as the measure is
    int interp = 0;     // configured (operators 6 and 7 force theirs)
    float rate = 0.f;
    unsigned long warps = 0;          // whole groups of k values in W
    int walkCols = 0, walkRows = 0;   // the template samples of one warp
    bool templateLarger = false;      // T wider or taller than I: print kTremloWarning
    double samples() const { return double(walkCols) * double(walkRows); }
};

// Why a call ends before any evaluation; nothing when it goes on.
struct Refusal {
    std::string text;                 // the message
    const char* hostError = nullptr;  // null: an argument report; else the kind of a host error
    explicit operator bool() const { return !text.empty(); }
};

// Operators whose measure bins intensities into a joint histogram.
inline bool binsIntensities(int op) { return op != 1 && op != 2 && op != 11; }
// The area measures.
inline bool areaMeasure(int op) { return op == 6 || op == 7; }

// Stage 1, before anything is converted: the counts of inputs and outputs.
const char* countRefusal(int nrhs, int nlhs);
// Stage 1, on the converted inputs: empty inputs, a short P, codes that are not usable
// integers, the warp type, sampling rates whose walk is too long; the settings into call
// (templateLarger is set once the inputs are known to be there, also when a code is refused).
Refusal parseCall(const TremloInputs& in, int nlhs, TremloCall& call);

// Stage 2: for the operators that bin intensities, intensities that cannot be bins and
// histograms beyond `budget` bytes or beyond the measure's bins (host errors
// "histogramTooLarge").
Refusal refuseCall(const TremloInputs& in, const TremloCall& call, double budget);

// What the histograms of a call take at most (the evaluations and the fourth output), for
// intensities of T over [tmp.lo, tmp.hi] and of I over [ref.lo, ref.hi].
HistogramBytes callHistogramBytes(const TremloCall& call, const IntensityRange& tmp, const IntensityRange& ref,
                                  const CImg<float>& Z);

// What the evaluations of a point-sampled mutual-information measure (operators 3, 4, 5 and
// the codes that compute 3) allocate at most in one call: its tables, the cells the samples
// can reach, the records of the samples binned row by row, as the binning engine sizes them.
HistogramBytes miEvaluationBytes(const TremloCall& call, double bins, const CImg<float>& Z);

// Stage 3: the measure of the call's operator over I and T padded, configured.
struct TremloMeasure {
    std::unique_ptr<CCostFn> fn;
    CCostFnMI* mi = nullptr;          // the measures with a joint histogram
    CCostFnMItri* tri = nullptr;      // the area measures
    CCostFnMItrigrid* grid = nullptr;
};
// Nothing reads in.T and in.I afterwards: the measure takes their pixels (both left empty).
TremloMeasure buildMeasure(const TremloCall& call, TremloInputs& in);
// Operator 7's refusal of the first warp of W whose cells it would cut beyond its bounds.
Refusal refuseWarps(TremloMeasure& m, const TremloCall& call, const CImg<float>& W);

// Stage 4: every warp evaluated as the output count asks. Y n x 1; D k x n, DD k x k x n
// (two and three outputs and more); H the stacked histograms (four outputs).
struct TremloResults {
    CImg<float> Y, D, DD, H;
};
TremloResults evaluateWarps(TremloMeasure& m, const TremloCall& call, const CImg<float>& W);

// Stage 5: the images of the output slots, in order; the first also when nlhs is 0.
std::vector<CImg<float>> tremloOutputs(TremloResults&& r, int nlhs);
