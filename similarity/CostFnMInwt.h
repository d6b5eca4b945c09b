// Mutual information whose second-order matrix keeps the second derivatives of the joint
// pdf: value and gradient as CCostFnMI; evalDD adds, per bin, the pdf's second derivatives
// with respect to every pair of warp parameters weighted by the gradient's logarithmic factor.
#pragma once

#include "similarity/CostFnMI.h"

class CCostFnMInwt : public CCostFnMI {
public:
    CCostFnMInwt(CImgI<float>& ref, CImgI<float>& tmp, int nParams, CImg<float> Z);
    ~CCostFnMInwt() override;

    float evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H) override;

    // Joint pdf (n x n), its first derivatives (n x n x P) and its second derivatives
    // (n x n x P x P, element (r, t, a, b)) at warp p; each table is sized by the call.
    void DDPdfJnt(const CImg<float>& p, CImg<float>& pdf, CImg<float>& dpdf, CImg<float>& d2pdf);

protected:
    CImg<float> hessWarp;       // P x P per-sample scratch: warp second derivatives / N
    CImg<float> hessImg;        // P x P per-sample scratch: image second derivatives / N

    // Tables kDDPdf: into `cells` slot 0 the probability, slots 1 .. P the first
    // derivatives, slot 1 + P + a + P b the second derivative by parameters a and b.
    void bin(const CImg<float>& p, const Plan& plan) override;

private:
    struct SecondTaps;
};
