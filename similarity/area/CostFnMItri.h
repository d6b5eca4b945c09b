// Area-based mutual information: every template cell (the square between four neighbouring
// template pixels) is split into triangles whose vertices are pairs (template value,
// reference value); each triangle's mass is spread over the joint histogram by area.
//
// Joint histogram: column = template bin, row = reference bin (the transpose of the
// orientation of CCostFnMI). Every cell carries the mass 1/N, N the number of cells.
// The value is minus the mutual information; gradients and Hessians are zero.
//
// CCostFnMItri (operator 6) splits each cell by `order`: 2 along the diagonal from (X, Y)
// to (X+1, Y+1); 3 into four half-weight triangles around the cell's mean point; any other
// order along the diagonal from (X+1, Y) to (X, Y+1).
// CCostFnMItrigrid (operator 7) first cuts each cell at the reference grid lines: every
// whole reference position of the box between the cell's warped corners (x0, y0) and
// (x1, y1), inside the reference or beyond it, is mapped back into the template, and each
// one that lands in the cell adds its x and y as breakpoints. Every piece of the tensor of
// the distinct breakpoints is split along its (xa, ya)-(xb, yb) diagonal.
//
// Values are read with clamped bilinear interpolation, so reference positions outside the
// image take the nearest border value. Intensities outside [0, nBins) are clamped into the
// histogram by the rasteriser. The histogram holds only the spans of its rows that the
// triangles reach (SpanRows): clearing, marginals and entropies follow them, not n^2.
#pragma once

#include <vector>

#include "bridge/cimg.h"
#include "similarity/CImgI.h"
#include "similarity/CWarp.h"
#include "similarity/CostFn.h"
#include "similarity/IntensityBins.h"
#include "similarity/area/Raster.h"

// The inverse of the map of the warp's code under its current `params` (as WarpInverse
// applies it after taking p), with no change of state.
void WarpInverseCurrent(CWarp& warp, float x, float y, float& ox, float& oy);

class CCostFnMItri : public CCostFn {
public:
    // tmp is the padded template; nParams the warp code. n = trunc(largest finite intensity
    // of either image) + 1. Throws CImgArgumentException for an empty image or when the
    // n x n histogram would be too large to build.
    CCostFnMItri(CImgI<float>& ref, CImgI<float>& tmp, int nParams);

    // Stores the order only; the samplers stay as they are.
    void setInterpAndOrder(int interp, int order, bool bounded) override;
    ~CCostFnMItri() override;
    float eval(const CImg<float>& p) override;
    // Zero gradient (and Hessian); the value of eval.
    float evalD(const CImg<float>& p, CImg<float>& g) override;
    float evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H) override;
    // Copy of the joint histogram the last eval left (zeros before the first).
    virtual CImg<float> getJointHist();

    int bins() const { return nBins; }

    // What the evaluations of a measure of n bins per axis allocate at most, in bytes, when
    // the reference intensities reach refRows of the bins (trunc(max) - trunc(min) + 1): the
    // tables of an entry per bin and the runs deferred per bin (bins), the rows of the
    // histogram that triangles reach (cells). The dense copy of getJointHist aside.
    static HistogramBytes evaluationBytes(double n, double refRows);

protected:
    int nBins;               // n: bins per histogram axis
    int lastBin;             // n - 1
    SpanRows jointHist;      // n x n: column = template bin, row = reference bin
    CImg<float> margRef;     // n x 1: row sums of jointHist
    CImg<float> margTmp;     // n x 1: column sums of jointHist
    RowRuns runs;            // deferred row stretches of the splats (flushed by valueOfHist)

    // Splats one cell's corner vertices as the order prescribes, w the weight of half a cell.
    void splatCell(const HistPoint& v00, const HistPoint& v10, const HistPoint& v01,
                   const HistPoint& v11, float w);
    // An empty jointHist, no deferred runs: at the cost of what the last evaluation held.
    void startHist();
    // Flushes the deferred runs into jointHist; its marginals, then joint entropy less both
    // marginal entropies.
    float valueOfHist();
};

class CCostFnMItrigrid : public CCostFnMItri {
public:
    // Bounds of one evaluation: the whole reference positions in the boxes of all cells, and
    // the pieces the cells are cut into (a cell's pieces grow with the square of its cuts).
    static constexpr double kMaxPositions = 67108864.0;   // 2^26
    static constexpr double kMaxPieces = 268435456.0;     // 2^28

    CCostFnMItrigrid(CImgI<float>& ref, CImgI<float>& tmp, int nParams);
    ~CCostFnMItrigrid() override;
    // Null when an evaluation at p stays within both bounds, else the message that names the
    // bound it exceeds. Cheap unless the estimate of the pieces exceeds its bound; then the
    // cells are cut (no histogram work) to count them.
    const char* tooLarge(const CImg<float>& p);
    // Throws CImgArgumentException with the message of tooLarge for a warp beyond the bounds.
    float eval(const CImg<float>& p) override;

protected:
    std::vector<float> breaksX;   // x breakpoints of the current cell (centred coordinates)
    std::vector<float> breaksY;   // y breakpoints of the current cell

private:
    // Template and reference values along two neighbouring rows of breakpoints.
    std::vector<float> tmpA_, refA_, tmpB_, refB_;
    void sampleRow(float y, std::vector<float>& t, std::vector<float>& r);
    // Calls f(x0, x1, y0, y1, ax, ay, bx, by) for every cell, row by row: its centred edges
    // and its corners (x0, y0) and (x1, y1) warped by the current parameters; stops when f
    // returns false.
    template <class F> void forEachCell(F&& f);
    // Index of the histogram bin of the vertex (t, r), or -1 outside the histogram.
    long long binOf(float t, float r) const
    {
        return t >= 0.f && r >= 0.f && t < float(nBins) && r < float(nBins)
                   ? (long long)int(t) + (long long)nBins * int(r)
                   : -1;
    }
};
