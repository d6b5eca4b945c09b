// Mutual information with a Parzen window on the intensities: each template sample adds a
// separable B-spline window, centred on (reference value v, template value t), to the joint
// pdf, over T bins per axis (order + 1 for orders 0 .. 3, 2 above order 3; the tap
// selection takes any other T as 4). The derivative table differentiates the window along
// the reference value and multiplies by the reference gradient through the warp's Jacobian.
// With nearest-neighbour interpolation the derivative table and its averaging are those of
// CCostFnMI. The measure always samples every template pixel.
//
// Tap bins are clamped into the table; a clamped tap keeps the weight of the position it
// replaces. Values far outside the table (and non-finite ones) are first moved to a point
// just outside it, where every tap lands in the edge bin.
#pragma once

#include "similarity/CostFnMI.h"

class CCostFnMIpz : public CCostFnMI {
public:
    C2dBspline bspl;   // wtsA: template-axis weights, wtsB: reference-axis weights
    int refBins[4];    // reference bins of the current sample's taps
    int tmpBins[4];    // template bins of the current sample's taps

    CCostFnMIpz(CImgI<float>& ref, CImgI<float>& tmp, int nParams, CImg<float> Z);
    ~CCostFnMIpz() override;

    // Samples every pixel whatever the rate.
    void setSampleRate(float rate) override;
    // Bins of both values and the 2-D window weights: entry j T + k belongs to template tap
    // j and reference tap k.
    float* getWts(float v, float t);
    // The same, and out -> the weights differentiated with respect to the reference offset
    // (first tap position minus v).
    float* getDWts(float v, float t, float*& out);
    float Alpha() override;

    // Taps per axis as the tap selection uses them: 1, 2, 3 or 4.
    int windowTaps() const { return nTaps >= 1 && nTaps <= 3 ? nTaps : 4; }

    // The taps for a parameter count, order and interpolation (see CCostFnMI::TapsInfo).
    static TapsInfo tapsOf(Tables t, int params, int order, int interp);

protected:
    bool averages() const override;
    TapsInfo tapsInfo(Tables t) const override { return tapsOf(t, nParams, order, interp); }
    // With nearest-neighbour interpolation, the derivative tables are CCostFnMI's.
    void bin(const CImg<float>& p, const Plan& plan) override;

private:
    template <int T> float* wts(float v, float t);
    template <int T> float* dWts(float v, float t, float*& out);
    struct ValueRecorder;
    struct DerivRecorder;
    template <int T, bool SkipZero> struct ValueTaps;
    template <int T, int S> struct DerivTaps;
    template <int T> struct AnyTaps;
};
