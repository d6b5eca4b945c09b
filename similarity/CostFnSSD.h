// Mean of squared differences between the template and the warped reference.
// CCostFnSSD: full Hessian (2 / N) sum [J J' + (Iw - T)(C + K)], C the image-curvature and
// K the warp-curvature term; CCostFnSSDgn: Gauss-Newton Hessian (2 / N) sum J J'.
// Both return the same value and gradient (2 / N) sum (Iw - T) J.
#pragma once

#include "similarity/CostFn.h"

class CCostFnSSD : public CCostFn {
public:
    CImg<float> hessWarp;   // n x n per-sample warp-curvature scratch
    CImg<float> hessImg;    // n x n per-sample image-curvature scratch

    CCostFnSSD(CImgI<float>& ref, CImgI<float>& tmp, int nParams);
    ~CCostFnSSD() override;

    float eval(const CImg<float>& p) override;
    float evalD(const CImg<float>& p, CImg<float>& g) override;
    float evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H) override;

protected:
    // Gauss-Newton (false) or full (true) Hessian evaluation.
    float evalH(const CImg<float>& p, CImg<float>& g, CImg<float>& H, bool full);
    // The same evaluations through the warp's generic derivative operations (any code).
    float evalDGeneric(const CImg<float>& p, CImg<float>& g);
    float evalHGeneric(const CImg<float>& p, CImg<float>& g, CImg<float>& H, bool full);
    // The three trace lines of a reference sample at 900.
    void trace(const WalkSample& s, const CImg<float>& p) const;

    template <int Kind> float evalDFast(const CImg<float>& p, CImg<float>& g);
    template <int Kind, bool Full> float evalHFast(const CImg<float>& p, CImg<float>& g, CImg<float>& H);
    template <bool Quantised> float evalValue(const CImg<float>& p);
};

class CCostFnSSDgn : public CCostFnSSD {
public:
    CCostFnSSDgn(CImgI<float>& ref, CImgI<float>& tmp, int nParams);
    float evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H) override;
};
