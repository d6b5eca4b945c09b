// Mutual information with partial-volume estimation: each template sample spreads its
// weight over the reference pixels around its warped position, one bin per pixel
// intensity, with the B-spline weights of the pixel's distance from the position (order 0:
// the nearest pixel, 1: 2 x 2, 2: 3 x 3, 3: 4 x 4; any other order: 2 x 2 and linear
// weights). The template value is binned by truncation. The derivative table comes from
// the derivatives of the weights with respect to the warped position.
//
// Every tap's bin is clamped into the table (CCostFnMI::clampBin, binOf). The unclamped
// readers are used only while every sample's whole footprint lies inside the reference
// (refFootprint covers the reader). The evaluations are those of CCostFnMI; AvgHist runs
// only with nearest-neighbour interpolation.
#pragma once

#include "similarity/CostFnMI.h"

class CCostFnMIpv : public CCostFnMI {
public:
    typedef int* (CImgI<float>::*Reader)(float, float, int*, float&, float&);

    int nbhdBins[16];             // footprint intensities of the current sample, row by row
    C2dBspline bsplVal;           // weights of PdfJnt
    C2dBspline bsplDx;            // weights and their derivative along x
    C2dBspline bsplDy;            // weights and their derivative along y
    float* curWts = nullptr;      // value weights of the current sample
    float* curDWx = nullptr;      // derivative with respect to the x offset
    float* curDWy = nullptr;      // derivative with respect to the y offset
    Reader nbhdReader = nullptr;  // set by setInterpAndOrder

    CCostFnMIpv(CImgI<float>& ref, CImgI<float>& tmp, int nParams, CImg<float> Z);
    ~CCostFnMIpv() override;

    void setInterpAndOrder(int interp, int order, bool bounded) override;
    float Alpha() override;
    // The reader's footprint: (0, 1) for 1 and 4 pixels, (1, 2) for 9 and 16; at least the
    // base's.
    void refFootprint(int& lo, int& hi) const override;

    // Pixels the reader of the current order writes per sample: 1, 4, 9 or 16.
    int nbhdTaps() const { return taps_; }

    // The taps for a parameter count, order and interpolation (see CCostFnMI::TapsInfo).
    static TapsInfo tapsOf(Tables t, int params, int order, int interp);

protected:
    bool averages() const override;
    TapsInfo tapsInfo(Tables t) const override { return tapsOf(t, nParams, order, interp); }
    void bin(const CImg<float>& p, const Plan& plan) override;

private:
    int taps_ = 4;
    void lastSample();
    struct PosRecorder;
    template <int Taps, bool Nb, bool Deriv> struct FootRecorder;
    template <int Taps, bool Nb> struct ValueTaps;
    template <int Taps, bool Nb, int S> struct DerivTaps;
    template <int Taps, bool Nb> struct AnyTaps;
};
