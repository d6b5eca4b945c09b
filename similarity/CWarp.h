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
#include "similarity/inlining.h"

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
    // The map of the current `params` in double, as the affine map
    // (ox, oy) = (a[0] + a[1] x + a[2] y, a[3] + a[4] x + a[5] y); the sine and cosine of the
    // angle are taken in double (no state change).
    void affineCurrent(double a[6]) const;

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

    // ---- Jacobian rows -------------------------------------------------------------------
    // Row k of the Jacobian is (dx'/dp_k, dy'/dp_k) at a centred point. The form of the rows
    // follows the code as CalcJcbn reads it: translation rows for 2, 23, 24, 26, the
    // Euclidean rows for 3, the similarity rows for 4, the affine rows for every other code.
    enum JacForm { kJacShift = 0, kJacEuclidean = 1, kJacSimilarity = 2, kJacAffine = 3 };
    // Rows of each form: 2, 3, 4, 6.
    static constexpr int formRows(int form) { return form == kJacShift ? 2 : form == kJacEuclidean ? 3 : form == kJacSimilarity ? 4 : 6; }
    // The state the rows read: sine and cosine of the current angle, scale m = 1 + p3.
    struct JacState { float s, c, m; };
    JacForm jacForm() const { return form_; }
    JacState jacState(const CImg<float>& p) const { return JacState{sinAngle, cosAngle, scaleOf(p)}; }

    // Rows of a form at (x, y): w[2k] = dx'/dp_k, w[2k + 1] = dy'/dp_k, k < formRows(Form).
    template <int Form> IMGALIGN_INLINE static void rowsAt(const JacState& st, float x, float y, float* w);
    // Steepest-descent row of a form: J[k] = gx dx'/dp_k + gy dy'/dp_k, k < formRows(Form),
    // with the arithmetic of CalcJcbn.
    template <int Form> IMGALIGN_INLINE static void jcbnAt(const JacState& st, float x, float y, float gx, float gy, float* J);
    // The code's rows at (x, y) for the current state (the warp must hold p): the first
    // jacobianRows() rows into w (2 floats each; w holds 12); returns their count.
    IMGALIGN_INLINE inline int jacobianAt(const CImg<float>& p, float x, float y, float* w) const;
    // Every map is affine in the point, so row k is (ax + bx x + cx y, ay + by x + cy y):
    // out[6k .. 6k + 5] = (ax, bx, cx, ay, by, cy) for k < rows, from the rows at (0, 0),
    // (1, 0) and (0, 1) for the current state; rows the code does not define are 0.
    template <class T> IMGALIGN_INLINE inline void jacobianCoefs(const CImg<float>& p, int rows, T* out) const;
    // Rows of `jacobian` that CalcJcHs fills: those of the form for codes 2, 3, 4, 6, 23, 24,
    // 26 (at most n), none for the others (their `jacobian` keeps its contents).
    int jacobianFillRows() const { return fillRows_; }

    // J[k] = gx dx'/dp_k + gy dy'/dp_k at the centred point (x, y) with the reference
    // gradient (gx, gy) at its image.
    IMGALIGN_INLINE inline void CalcJcbn(CImg<float>& J, const CImg<float>& p, float x, float y, float gx, float gy);
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
    int jacobianRows() const { return rows_; }
    // Scale factor m = 1 + p3 that the similarity derivatives read from p (1 when absent).
    static float scaleOf(const CImg<float>& p) { return p.size() > 3 ? 1.f + p[3] : 1.f; }

private:
    int n_;
    int mapSize_;   // entries of params the map reads
    enum Map { kTranslation, kEuclidean, kSimilarity, kAffine } map_;
    JacForm form_;
    int rows_;       // rows of the form, at most n
    int fillRows_;   // rows CalcJcHs fills
    void refreshAngle();
};

template <int Form>
IMGALIGN_INLINE inline void CWarp::rowsAt(const JacState& st, float x, float y, float* w)
{
    const float s = st.s, c = st.c;
    if constexpr (Form == kJacAffine) {
        w[0] = x; w[1] = 0.f; w[2] = 0.f; w[3] = x; w[4] = y; w[5] = 0.f;
        w[6] = 0.f; w[7] = y; w[8] = 1.f; w[9] = 0.f; w[10] = 0.f; w[11] = 1.f;
    } else {
        w[0] = 1.f; w[1] = 0.f; w[2] = 0.f; w[3] = 1.f;
        if constexpr (Form == kJacEuclidean) {
            w[4] = c * y - s * x; w[5] = -c * x - s * y;
        } else if constexpr (Form == kJacSimilarity) {
            const float m = st.m;
            w[4] = m * (c * y - s * x); w[5] = m * (-c * x - s * y);
            w[6] = c * x + s * y; w[7] = c * y - s * x;
        }
    }
}

template <int Form>
IMGALIGN_INLINE inline void CWarp::jcbnAt(const JacState& st, float x, float y, float gx, float gy, float* J)
{
    const float s = st.s, c = st.c;
    if constexpr (Form == kJacAffine) {
        J[0] = gx * x; J[1] = gy * x; J[2] = gx * y; J[3] = gy * y; J[4] = gx; J[5] = gy;
    } else {
        J[0] = gx;
        J[1] = gy;
        if constexpr (Form == kJacEuclidean) {
            J[2] = gx * (c * y - s * x) + gy * (-c * x - s * y);
        } else if constexpr (Form == kJacSimilarity) {
            J[2] = st.m * (gx * (c * y - s * x) + gy * (-c * x - s * y));
            J[3] = gx * (c * x + s * y) + gy * (c * y - s * x);
        }
    }
}

IMGALIGN_INLINE inline int CWarp::jacobianAt(const CImg<float>& p, float x, float y, float* w) const
{
    const JacState st = jacState(p);
    switch (form_) {
    case kJacShift: rowsAt<kJacShift>(st, x, y, w); break;
    case kJacEuclidean: rowsAt<kJacEuclidean>(st, x, y, w); break;
    case kJacSimilarity: rowsAt<kJacSimilarity>(st, x, y, w); break;
    default: rowsAt<kJacAffine>(st, x, y, w); break;
    }
    return rows_;
}

template <class T>
IMGALIGN_INLINE inline void CWarp::jacobianCoefs(const CImg<float>& p, int rows, T* out) const
{
    float w0[12], w1[12], w2[12];
    const int def = jacobianAt(p, 0.f, 0.f, w0);
    jacobianAt(p, 1.f, 0.f, w1);
    jacobianAt(p, 0.f, 1.f, w2);
    for (int k = 0; k < rows; ++k)
        for (int a = 0; a < 2; ++a) {
            T* o = out + 6 * k + 3 * a;
            if (k < def) {
                const T v0 = T(w0[2 * k + a]);
                o[0] = v0;
                o[1] = T(w1[2 * k + a]) - v0;
                o[2] = T(w2[2 * k + a]) - v0;
            } else {
                o[0] = o[1] = o[2] = T(0);
            }
        }
}

IMGALIGN_INLINE inline void CWarp::CalcJcbn(CImg<float>& J, const CImg<float>& p, float x, float y, float gx, float gy)
{
    float v[6];
    const JacState st = jacState(p);
    switch (form_) {
    case kJacShift: jcbnAt<kJacShift>(st, x, y, gx, gy, v); break;
    case kJacEuclidean: jcbnAt<kJacEuclidean>(st, x, y, gx, gy, v); break;
    case kJacSimilarity: jcbnAt<kJacSimilarity>(st, x, y, gx, gy, v); break;
    default: jcbnAt<kJacAffine>(st, x, y, gx, gy, v); break;
    }
    int rows = rows_;
    if (rows > (int)J.size()) rows = (int)J.size();
    float* const d = J.data();
    for (int k = 0; k < rows; ++k) d[k] = v[k];
}

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
