// tremlo: similarity of a template T and a reference image I at each warp of a list W,
// with the gradient and the Hessian of the measure per warp.
//
//   [Y,D,DD] = tremlo(T,I,W,P,<Z>)        (a fourth output: the joint histograms)
//
// P = [warp type, operator, spline order, interpolation, sampling rate]; W holds one group
// of k parameters per warp in storage order (a k x n matrix: one warp per column). Argument
// errors print the report and return 1x1 single zeros; failures inside the measures become
// host errors with identifiers "tremlo:...".
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>

#include "bridge/cimg.h"
#include "bridge/guard.h"
#include "bridge/mexErr.h"
#include "similarity/CImgI.h"
#include "similarity/CostFn.h"
#include "similarity/CostFnMI.h"
#include "similarity/CostFnMIpv.h"
#include "similarity/CostFnMIpz.h"
#include "similarity/CostFnNC.h"
#include "similarity/CostFnSSD.h"
#include "similarity/area/CostFnMItri.h"

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace {

const char usageText[] =
    "\nUsage: [Y,D,DD] = tremlo(T,I,W,P,<Z>)\n\n"
    "Synopsis:\n"
    "  Selectively measures the similarity values when projecting template T onto\n"
    "  image Y using the warps W.  This is done using a choice a standard\n"
    "  similarity measures, specified using P. For MI metrics Z is used as a\n"
    "  post-parzen window.\n"
    "Inputs:\n"
    "  T - 2D Template image \n"
    "  I - 2D Reference image \n"
    "  W - Warps for which the similarity must be evaluated. \n"
    "  P - 5 value vector specifying, warp method(2-4/6), similarity  \n"
    "      function(1-5), order of similarity fn(0-3), \n"
    "      interpolation method(0/1/3) and spatial resolution (1).\n"
    "  Z - Optional. Applies a Parzen window to histogram before computing MI.\n"
    "Outputs:\n"
    "  Y  - Value of similarity function at warp positions.\n"
    "  D  - Jacobian of similarity function at warp positions. (optional)\n"
    "  DD - Hessian of similarity function at warp positions. (optional).";

const char paramHelp[] =
    "\nParameter (4th) input has 5 elements, namely: \n"
    " (1) Transformation Method:\n"
    "   2 => Translation (default) (2DoF: [x,y])\n"
    "   3 => Euclidean transform (3Dof: [x,y,t])\n"
    "   4 => Similarity transform (3Dof: [x,y,t,s])\n"
    "   6 => Affine transform (6Dof: [a,b,c,d,x,y])\n"
    " (2) Operator:\n"
    "   1 => Sum of Squared Differences\n"
    "   2 => Normalised Correlation\n"
    "   3 => Mutual Information (default)\n"
    "   4 => Mutual Information using PVE\n"
    "   5 => Mutual Information using Parzen Window\n"
    " (3) Order of spline interpolation (for PVE and Parzen only)\n"
    "   0 => Zeroth order\n"
    "   1 => Linear (default)\n"
    "   2 => Quadratic\n"
    "   3 => Cubic\n"
    " (4) Interpolation Method:\n"
    "   0 => Nearest Neighbour\n"
    "   1 => BiLinear (default)\n"
    "   3 => BiCubic\n"
    " (5) Sampling Rate in pixels (Advice: Set to 1)";

// Largest memory that the joint histograms of one call may take.
double histogramBudget()
{
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) return 0.5 * double(pages) * double(pageSize);
#endif
    return 4.0 * 1024 * 1024 * 1024;
}

// Largest memory the histograms of a call of operator op take for `bins` bins per axis,
// `samples` template samples per warp, a window of zSize elements and `dense` warps with a
// dense histogram each (the fourth output): per bin, the marginals and the rows binned in
// turn (point-sampled measures) or the rows of spans (area measures); the cells the samples
// can reach, at most 16 per sample and never more than bins^2, with their records (and as
// many again smoothed by the window); the spans of the area histogram, at most bins^2.
double histogramBytes(int op, double bins, double samples, size_t zSize, unsigned long dense)
{
    double bytes = 0;
    if (op == 6 || op == 7) {
        bytes = bins * 128.0 + bins * bins * sizeof(float);
    } else {
        const double cells = std::min(bins * bins, samples * 16.0);
        bytes = bins * 256.0 + samples * 64.0 + cells * 96.0;
        if (zSize > 1) bytes += std::min(bins * bins, cells * double(zSize)) * 96.0;
    }
    if (dense) bytes += bins * bins * (sizeof(float) + double(dense) * (sizeof(float) + sizeof(double)));
    return bytes;
}

// A code of P (truncated toward zero later) that can stand as a 32-bit integer.
bool usableCode(double v)
{
    return std::isfinite(v) && std::fabs(v) < 2147483648.0;
}

// Operators whose measure bins intensities into a joint histogram.
bool binsIntensities(int op)
{
    return op != 1 && op != 2 && op != 11;
}

// Finite values only; also the smallest and the largest value (0 for an empty image).
bool finiteRange(const CImg<float>& img, double& vmin, double& vmax)
{
    vmin = vmax = 0;
    const size_t size = img.size();
    if (!size) return true;
    // v - v is 0 for a finite v and NaN otherwise; a NaN in a sum stays there.
    const float* const q = img.data();
    float lo = q[0], m = q[0], bad = 0.f;
    size_t i = 0;
#if defined(__SSE2__) || defined(_M_X64)
    __m128 m0 = _mm_set1_ps(q[0]), m1 = m0, l0 = m0, l1 = m0, b0 = _mm_setzero_ps(), b1 = b0;
    for (; i + 8 <= size; i += 8) {
        const __m128 v0 = _mm_loadu_ps(q + i), v1 = _mm_loadu_ps(q + i + 4);
        b0 = _mm_add_ps(b0, _mm_sub_ps(v0, v0));
        b1 = _mm_add_ps(b1, _mm_sub_ps(v1, v1));
        m0 = _mm_max_ps(m0, v0);
        m1 = _mm_max_ps(m1, v1);
        l0 = _mm_min_ps(l0, v0);
        l1 = _mm_min_ps(l1, v1);
    }
    float mv[4], lv[4], bv[4];
    _mm_storeu_ps(mv, _mm_max_ps(m0, m1));
    _mm_storeu_ps(lv, _mm_min_ps(l0, l1));
    _mm_storeu_ps(bv, _mm_add_ps(b0, b1));
    for (int k = 0; k < 4; ++k) {
        m = mv[k] > m ? mv[k] : m;
        lo = lv[k] < lo ? lv[k] : lo;
        bad += bv[k];
    }
#endif
    for (; i < size; ++i) {
        const float v = q[i];
        bad += v - v;
        m = m > v ? m : v;
        lo = lo < v ? lo : v;
    }
    if (bad != 0.f) return false;
    vmin = lo;
    vmax = m;
    return true;
}

mxArray* toDouble(const CImg<float>& img)
{
    const mwSize dims[4] = {mwSize(img._width), mwSize(img._height), mwSize(img._depth),
                            mwSize(img._spectrum)};
    mxArray* a = mxCreateNumericArray(4, dims, mxDOUBLE_CLASS, mxREAL);
    if (img.size()) img.copyToMatlabData(static_cast<double*>(mxGetData(a)));
    return a;
}

void tremlo(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    if (nrhs != 4 && nrhs != 5) {
        mexErr("4-5 inputs required (T,I,Warp,Param,<Parzen>).", nlhs, plhs);
        return;
    }
    if (nlhs > 4) {
        mexErr("1-3 outputs required (Y,D,DD).", nlhs, plhs);
        return;
    }

    CImg<float> T(prhs[0], false, false, true), I(prhs[1], false, false, true),
        W(prhs[2], false, false, true), P(prhs[3], false, false, true);
    CImg<float> Z = nrhs == 5 ? CImg<float>(prhs[4], false, false, true) : CImg<float>(1, 1, 1, 1, 0.f);
    if (T.is_empty() || I.is_empty() || W.is_empty() || P.is_empty()) {
        mexErr("An input has zero dimension or invalid type(struct/array).", nlhs, plhs);
        return;
    }
    if (P.size() < 5) {
        mexErr(paramHelp, nlhs, plhs);
        return;
    }
    if (T.width() > I.width() || T.height() > I.height())
        std::cout << "tremlo Warning - Tmp bigger then Ref Image.";

    // Decoding of P: the codes truncated toward zero, the warp type as the remainder by 10.
    if (!usableCode(P[0]) || !usableCode(P[1]) || !usableCode(P[2]) || !usableCode(P[3])) {
        mexErr("Parameter (4th) input: P(1) to P(4) must be finite integers.", nlhs, plhs);
        return;
    }
    const int k = int(std::fmod(std::trunc(double(P[0])), 10.0));
    if (k != 2 && k != 3 && k != 4 && k != 6) {
        mexErr("Parameter (4th) input: the warp type P(1) must be 2, 3, 4 or 6 (taken modulo 10).",
               nlhs, plhs);
        return;
    }
    const int op = int(P[1]);
    int order = int(P[2]), interp = int(P[3]);
    float rate = P[4];
    const unsigned long n = (unsigned long)(W.size() / (unsigned long)k);

    // A rate far below a pixel would keep the call busy for minutes or more, uninterruptibly,
    // or, on a thin template, size the walk's per-column or per-row buffers beyond memory.
    // The rate the measure takes: 1 for operators 5, 6 and 7, and in place of one below 1e-6.
    const float walkRate = (op == 5 || op == 6 || op == 7 || rate < 1e-6f) ? 1.f : rate;
    int walkCols, walkRows;
    CCostFn::walkCounts(walkRate, T.width(), T.height(), walkCols, walkRows);
    if (const char* why = CCostFn::walkRefusal(walkCols, walkRows, T.width(), T.height())) {
        mexErr(why, nlhs, plhs);
        return;
    }

    if (binsIntensities(op)) {
        // Intensities are the histograms' bin numbers.
        double minT, maxT, minI, maxI;
        if (!finiteRange(T, minT, maxT) || !finiteRange(I, minI, maxI)) {
            mexErr("T and I must hold finite values for a histogram-based operator.", nlhs, plhs);
            return;
        }
        if (minT < 0 || minI < 0) {
            mexErr("T and I must hold non-negative values for a histogram-based operator.", nlhs, plhs);
            return;
        }
        // Refuse what cannot fit: the bins the intensities need, the cells samples can reach,
        // and the dense histograms of a fourth output.
        const double bins = std::trunc(std::max(std::max(maxT, maxI), 0.0)) + 1;
        const double bytes = histogramBytes(op, bins, double(walkCols) * double(walkRows), Z.size(), nlhs == 4 ? n : 0);
        if (bins > 2147483647.0 || bytes > histogramBudget()) {
            char msg[256];
            std::snprintf(msg, sizeof msg,
                          "Intensities up to %g need joint histograms of %.0f x %.0f bins "
                          "(%.3g GB), more than this machine can hold.",
                          std::max(maxT, maxI), bins, bins, bytes / 1e9);
            throw MexFailure("histogramTooLarge", msg);
        }
    }

    // Reference (the converted I itself) and the padded template; nothing reads them after
    // the measure is built, so it takes their pixels instead of copying them.
    CImgI<float> ref;
    ref.swap(I);
    ref.setLast();
    CImgI<float> tmp(T.width() + 3, T.height() + 3, 1, 1, 0.f);
    tmp.draw_image(1, 1, 0, 0, T, 1.f);
    tmp.setLast();
    ref.handOver = tmp.handOver = true;

    std::unique_ptr<CCostFn> fn;
    CCostFnMI* mi = nullptr;      // measures with a joint histogram
    CCostFnMItri* tri = nullptr;
    CCostFnMItrigrid* grid = nullptr;
    switch (op) {
    case 1: fn.reset(new CCostFnSSDgn(ref, tmp, k)); break;
    case 2: fn.reset(new CCostFnNC(ref, tmp, k)); break;
    case 4: fn.reset(mi = new CCostFnMIpv(ref, tmp, k, Z)); break;
    case 5: fn.reset(mi = new CCostFnMIpz(ref, tmp, k, Z)); break;
    case 6:
        fn.reset(tri = new CCostFnMItri(ref, tmp, k));
        interp = 1;
        rate = 1.f;
        break;
    case 7:
        fn.reset(tri = grid = new CCostFnMItrigrid(ref, tmp, k));
        interp = 1;
        order = 1;
        rate = 1.f;
        break;
    case 11: fn.reset(new CCostFnSSD(ref, tmp, k)); break;
    default: fn.reset(mi = new CCostFnMI(ref, tmp, k, Z)); break;
    }
    fn->setInterpAndOrder(interp, order, true);
    fn->setSampleRate(rate);

    const float* const warps = W.data();
    CImgE<float> p(k, 1, 1, 1, 0.f);
    if (grid) {
        // Warps that would cut the cells beyond the bounds end the call before any evaluation.
        for (unsigned long j = 0; j < n; ++j) {
            p = warps + j * k;
            if (const char* why = grid->tooLarge(p)) {
                mexErr(why, nlhs, plhs);
                return;
            }
        }
    }

    CImg<float> Y(n, 1, 1, 1, 0.f), D, DD, hists, g;
    CImgE<float> H;
    if (nlhs >= 2) {
        D.assign(k, n, 1, 1, 0.f);
        g.assign(k, 1, 1, 1, 0.f);
    }
    if (nlhs >= 3) {
        DD.assign(k, k, n, 1, 0.f);
        H.assign(k, k, 1, 1, 0.f);
    }
    const CImg<float> one(1, 1, 1, 1, 1.f);
    for (unsigned long j = 0; j < n; ++j) {
        p = warps + j * k;
        if (nlhs <= 1) {
            Y[j] = fn->eval(p);
        } else if (nlhs == 2) {
            Y[j] = fn->evalD(p, g);
            D.draw_image(0, int(j), 0, 0, g, 1.f);
        } else {
            Y[j] = fn->evalDD(p, g, H);
            D.draw_image(0, int(j), 0, 0, g, 1.f);
            DD.draw_image(0, 0, int(j), 0, H, 1.f);
        }
        if (nlhs == 4) {
            CImg<float> s;
            if (tri) {
                s = tri->getJointHist();
            } else if (mi && op != 100) {
                mi->eval(p);
                s = mi->getJointHist();
            }
            const CImg<float>& h = s.is_empty() ? one : s;
            if (j == 0) hists.assign(h.width(), h.height(), n, 1, 0.f);
            hists.draw_image(0, 0, int(j), 0, h, 1.f);
        }
    }
    fn.reset();

    if (nlhs == 4) plhs[3] = toDouble(hists);
    if (nlhs >= 3) plhs[2] = toDouble(DD);
    if (nlhs >= 2) plhs[1] = toDouble(D);
    plhs[0] = toDouble(Y);
}

}  // namespace

const MexModule mexModule = {"tremlo", "\ntremlo Error: ", usageText};

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    mexGuard(nlhs, plhs, [&] { tremlo(nlhs, plhs, nrhs, prhs); });
}
