// Minus the uncentred normalised correlation of template and warped reference,
//
//   f = -Srt / sqrt(Srr Stt),   Srr = sum r^2, Stt = sum t^2, Srt = sum r t
//
// over the template samples (no mean removed, no division by the sample count), with its
// gradient and its full Hessian with respect to the warp parameters. J is the derivative
// of the sampled reference value r, C + K its second derivative (image curvature through
// the warp's Jacobian plus the warp's own curvature).
//
// The walk gathers moments of the per-sample products over the centred template
// coordinates (1, x, y, x^2, xy, y^2); every warp's Jacobian rows are affine in (x, y), so
// the nine sums below are assembled exactly from those moments after the walk. An all-zero
// template (or reference) gives NaN for the value and every derivative.
#pragma once

#include "similarity/CostFn.h"

class CCostFnNC : public CCostFn {
public:
    // n = nParams; n x n images hold element (k, j) at k + j * n. Contents after the walk
    // of the last evaluation that fills them (evalD: the first two, evalDD: all nine).
    CImg<float> sumRJ;          // n x 1: sum r J
    CImg<float> sumTJ;          // n x 1: sum t J
    CImg<float> sumRHessImg;    // sum r C
    CImg<float> sumRHessWarp;   // sum r K
    CImg<float> sumTHessImg;    // sum t C
    CImg<float> sumTHessWarp;   // sum t K
    CImg<float> sumJJ;          // sum J (x) J
    CImg<float> hessWarp;       // n x n scratch (warp curvature)
    CImg<float> hessImg;        // n x n scratch (image curvature)

    CCostFnNC(CImgI<float>& ref, CImgI<float>& tmp, int nParams);
    ~CCostFnNC() override;

    float eval(const CImg<float>& p) override;
    // g becomes n x 1.
    float evalD(const CImg<float>& p, CImg<float>& g) override;
    // g becomes n x 1, H n x n (symmetric).
    float evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H) override;

private:
    struct Moments;
    template <int Deriv> void gather(const CImg<float>& p, Moments& m);
    void gatherDD(const CImg<float>& p, Moments& m);
    void sumColumn(int rows, float x, float* out);
    void reserveColumns(int cols, int rows, int sums);
    // Jacobian rows (dx'/dp_k, dy'/dp_k) = (ax + bx x + cx y, ay + by x + cy y) of the warp
    // at its current state, for J (as CalcJcbn forms them) and for C (as CalcJcHs does).
    void jacobianRows(const CImg<float>& p, double* rowsJ, double* rowsC);
    void gradient(const Moments& m, const double* rowsJ, double* sums, CImg<float>& g);

    CImg<double> rows_;    // 14 n: rows of J, rows of C, sum r J, sum t J
    CImg<double> warpK_;   // 6 n^2: coefficients of the warp-curvature term
    CImg<float> colBuf_;   // 16 products per sample of one column
    CImg<float> colY_;     // y of each sample of the column
    CImg<float> colSums_;  // sums of each column of a walk
    CImg<float> colX_;     // x of each column
};
