// Parametric warp of template points into the reference image, with the derivatives of the
// map that the similarity measures need.
//
// Warp codes: 2 translation (tx, ty); 3 Euclidean (tx, ty, angle); 4 similarity
// (tx, ty, angle, k) with scale 1 + k; 6 affine (a, b, c, d, tx, ty); 23, 24, 26 the
// Euclidean, similarity and affine maps whose non-translation parameters come from
// `refParams` (the free vector holds only (tx, ty)); any other code takes the affine map.
// n = code for codes below 10, code mod 10 otherwise (0 for negative codes).
//
// State: the maps read `params`, and the Euclidean and similarity maps the cached
// `sinAngle`, `cosAngle`. `Warp` and `WarpDelta` refresh that state from p; the derivative
// operations read it, so call `Warp` or `WarpDelta` with the same p before them.
//
// Parameter vectors are read safely: `params` always holds at least the entries the map of
// the code reads; entries missing from a short p (or from an empty or short `refParams`)
// are taken as 0, extra entries are ignored. The derivative operations write only the
// elements that exist in the caller's J, H and JH.
#pragma once

#include "bridge/cimg.h"

class CWarp {
public:
    int code;                // the code given to the constructor (not reduced mod 10)
    CImg<float> jacobian;    // 2 x n: row k = (dx'/dp_k, dy'/dp_k), filled by CalcJcHs
    float sinAngle;          // sine and cosine of the current angle parameter
    float cosAngle;
    int quantise;            // 0; nothing sets it
    CImg<float> stepSizes;   // n x 1 zeros; nothing sets it
    CImg<float> params;      // current parameters, max(n, entries the map reads) x 1
    CImg<float> refParams;   // reference parameters of codes 23, 24, 26 (empty: zeros)

    explicit CWarp(int code);
    ~CWarp();

    // Number n of warp parameters of the code.
    int nParams() const { return n_; }

    // Takes p as the current parameters as `Warp` does for the code: fills `params`
    // (mixing in `refParams` for codes 23, 24, 26) and refreshes sinAngle / cosAngle for
    // the Euclidean and similarity codes. Reads at most p.size() entries of p and
    // refParams.size() entries of refParams. Used by Warp and by the inverse warps.
    void takeParams(const CImg<float>& p);
    // As takeParams, then sets the translation entries of `params` to 0.
    void takeDeltaParams(const CImg<float>& p);

    // Maps the centred template point (x, y) to the reference under p.
    void Warp(const CImg<float>& p, float x, float y, float& ox, float& oy);
    // As Warp with the translation set to 0: maps a displacement.
    void WarpDelta(const CImg<float>& p, float x, float y, float& ox, float& oy);
    // Applies the map of the code to the current `params` (no state change).
    void WarpCurrent(float x, float y, float& ox, float& oy) const;

    // The four maps. `params` must hold the entries the map reads (2, 3, 4, 6); the
    // Euclidean and similarity maps use sinAngle / cosAngle as they stand.
    void WarpTranslation(const CImg<float>& params, float x, float y, float& ox, float& oy) const;
    void WarpEuclidean(const CImg<float>& params, float x, float y, float& ox, float& oy) const;
    void WarpSimilarity(const CImg<float>& params, float x, float y, float& ox, float& oy) const;
    void WarpAffine(const CImg<float>& params, float x, float y, float& ox, float& oy) const;

    // Inverse maps (defined with the area-based measures). WarpInverse takes p as Warp
    // does (takeParams) and inverts the map of the code.
    void WarpInverse(const CImg<float>& p, float x, float y, float& ox, float& oy);
    void WarpEuclideanInverse(const CImg<float>& params, float x, float y, float& ox, float& oy);
    void WarpSimilarityInverse(const CImg<float>& params, float x, float y, float& ox, float& oy);
    void WarpAffineInverse(const CImg<float>& params, float x, float y, float& ox, float& oy);

    // J[k] = gx dx'/dp_k + gy dy'/dp_k at the centred point (x, y) with the reference
    // gradient (gx, gy) at its image.
    void CalcJcbn(CImg<float>& J, const CImg<float>& p, float x, float y, float gx, float gy);
    // H = gx d2x'/dp_i dp_j + gy d2y'/dp_i dp_j (n x n, H(i, j) at i + j * width).
    void CalcHess(CImg<float>& H, const CImg<float>& p, float x, float y, float gx, float gy);
    // Fills `jacobian` at (x, y), then JH = jacobian' [gxx gxy; gxy gyy] jacobian.
    void CalcJcHs(CImg<float>& JH, const CImg<float>& p, float x, float y,
                  float gxx, float gyy, float gxy);

    // True when the template's extreme sample points (centred +-(w - 1) / 2, +-(h - 1) / 2
    // of the padded template T, w = width of T - 3), warped by p, lie inside I with the
    // unclamped samplers' margin of `interp` (3: 1 <= x' < width - 2, else
    // 0 <= x' < width - 1; y likewise). False for any non-finite warped point.
    bool inBounds(const CImg<float>& T, const CImg<float>& I, const CImg<float>& p, int interp);
    // As above for a footprint reading `lo` pixels before and `hi` after the cell index:
    // lo + tol <= x' < width - hi - tol (y likewise) at every extreme point.
    bool inBounds(const CImg<float>& T, const CImg<float>& I, const CImg<float>& p,
                  int lo, int hi, float tol);

    // Jacobian rows of the code's derivative operations: rows written by CalcJcbn.
    int jacobianRows() const;
    // Scale factor m = 1 + p3 that the similarity derivatives read from p (1 when absent).
    static float scaleOf(const CImg<float>& p) { return p.size() > 3 ? 1.f + p[3] : 1.f; }

private:
    int n_;
    int mapSize_;   // entries of params the map reads
    enum Map { kTranslation, kEuclidean, kSimilarity, kAffine } map_;
    void refreshAngle();
};

// Table of sines and cosines at the angles j * pi / 200, j = 0 .. 400 (computed, no file).
class CTrigLookup {
public:
    float sinTable[401];
    float cosTable[401];
    CTrigLookup();
    // s, c of the table entry nearest to angle (index rounded, modulo 400). Angles below 0
    // wrap around; a non-finite angle gives NaN for both.
    void getsincos(float angle, float& s, float& c) const;
};
