// Interpolating image: CImg<T> with samplers (value, gradient, second derivatives) at real
// positions and neighbourhood readers that hand the integer intensities around a position
// to the histogram measures; and CImgE<T>, an image with an assignment from a raw array.
//
// Every sampler comes in a clamped form (positions outside replicate the border; any
// position is accepted, NaN and +-Inf included, and never becomes an index) and an
// unclamped `_nb` form that reads its footprint with no test. Footprints of the `_nb`
// forms, with ix = trunc(x) (y likewise): nearest value trunc(x + 0.5); nearest first
// derivative and bilinear ix .. ix + 1; nearest second derivative ix - 1 .. ix + 1; bicubic
// and the 16-pixel reader ix - 1 .. ix + 2; 9-pixel reader within ix - 1 .. ix + 2. They may
// be used only when lo <= x < width - hi with (lo, hi) = (0, 1) for the bilinear and the
// nearest value / first-derivative forms, (1, 1) for the nearest second derivative and
// (1, 2) for bicubic and the 9- and 16-pixel readers.
//
// The samplers keep their intermediates in locals so that inlined sample loops stay in
// registers; the scratch fields of the layout are kept for the layout's sake only.
// Only the first plane (x + y * width) is read. `lastX` / `lastY` must be width - 1 and
// height - 1: the constructors and setLast() set them; call setLast() after resizing the
// image through the CImg<T> members. The image must not be empty.
#pragma once

#include <climits>
#include <cstddef>
#include <type_traits>

#include "bridge/cimg.h"
#include "similarity/inlining.h"

template <typename T>
class CImgI : public CImg<T> {
public:
    // Scratch of the layout (not used by the samplers, see above).
    float nbhd[16] = {};
    float fx = 0, fx2 = 0, fx3 = 0;
    float fy = 0, fy2 = 0, fy3 = 0;
    float omfx = 0, omfy = 0;
    int ix = 0, iy = 0, ix1 = 0, iy1 = 0;
    float rowCoef[4][4] = {};
    float rowVal[4] = {}, colCoef[4] = {};
    float value = 0;
    float dRowVal[4] = {}, dColCoef[4] = {};
    float ddRowVal[4] = {}, ddColCoef[4] = {};
    float xc = 0, yc = 0;
    int xIdx[4] = {}, yIdx[4] = {};
    // Index of the last column and row.
    int lastX = -1, lastY = -1;
    // Set by an owner that reads the image no more: a measure constructed over it takes its
    // pixels instead of copying them, leaving it empty. Copies do not inherit the mark.
    bool handOver = false;

    CImgI() {}
    explicit CImgI(unsigned int w, unsigned int h = 1, unsigned int d = 1, unsigned int c = 1)
        : CImg<T>(w, h, d, c) { setLast(); }
    CImgI(unsigned int w, unsigned int h, unsigned int d, unsigned int c, const T& val)
        : CImg<T>(w, h, d, c, val) { setLast(); }
    // Deep copy of any image (a shared source is copied, not shared).
    explicit CImgI(const CImg<T>& img) : CImg<T>(img, false) { setLast(); }
    CImgI(const CImgI& img) : CImg<T>(img, false) { setLast(); }
    CImgI& operator=(const CImgI& img) { CImg<T>::assign(img, false); setLast(); return *this; }
    CImgI& operator=(const CImg<T>& img) { CImg<T>::assign(img, false); setLast(); return *this; }

    void setLast() { lastX = int(this->_width) - 1; lastY = int(this->_height) - 1; }

    // Pixel (i, j) of the first plane.
    IMGALIGN_INLINE T px(int i, int j) const { return this->_data[i + std::ptrdiff_t(j) * std::ptrdiff_t(this->_width)]; }

    // ---- index helpers --------------------------------------------------------------
    // Clamped coordinate: 0 below 0, last at or beyond last, else v (NaN stays NaN).
    IMGALIGN_INLINE static float clampc(float v, int last) { return v < 0.f ? 0.f : (v >= float(last) ? float(last) : v); }
    // Cell index of a clamped coordinate; NaN gives 0 (never converted).
    IMGALIGN_INLINE static int cell(float vc) { return vc == vc ? int(vc) : 0; }
    // Nearest pixel trunc(v + 0.5) clamped to [0, last]; NaN gives 0.
    IMGALIGN_INLINE static int nearestc(float v, int last) {
        const float h = v + 0.5f;
        return h >= 1.f ? (h < float(last) ? int(h) : last) : 0;
    }
    // Pixel value truncated toward zero to a bin index, saturated to the range of t; NaN
    // gives the lowest value of t.
    template <typename t> IMGALIGN_INLINE static t toBin(T v) {
        if constexpr (std::is_integral<t>::value && std::is_signed<t>::value && sizeof(t) == 4) {
            if (!(float(v) > -2147483648.f)) return INT_MIN;
            if (float(v) >= 2147483648.f) return INT_MAX;
            return t(v);
        } else {
            return t(v);
        }
    }

    // ---- nearest pixel ----------------------------------------------------------------
    // Pixel at the truncated position, no test (template at integer positions).
    IMGALIGN_INLINE float get_neumann_floor(float x, float y) { return px(int(x), int(y)); }
    IMGALIGN_INLINE float get_neumann(float x, float y) { return px(nearestc(x, lastX), nearestc(y, lastY)); }
    IMGALIGN_INLINE float get_neumann_nb(float x, float y) { return px(int(x + 0.5f), int(y + 0.5f)); }

    IMGALIGN_INLINE float get_Dneumann(float x, float y, float& dx, float& dy) {
        const int i = cell(clampc(x, lastX)), j = cell(clampc(y, lastY));
        const int i1 = i < lastX ? i + 1 : lastX, j1 = j < lastY ? j + 1 : lastY;
        const float v = px(i, j);
        dx = px(i1, j) - v;
        dy = px(i, j1) - v;
        return v;
    }
    IMGALIGN_INLINE float get_Dneumann_nb(float x, float y, float& dx, float& dy) {
        const int i = int(x), j = int(y);
        const float v = px(i, j);
        dx = px(i + 1, j) - v;
        dy = px(i, j + 1) - v;
        return v;
    }
    IMGALIGN_INLINE float get_DDneumann(float x, float y, float& dx, float& dy, float& dxx, float& dyy, float& dxy) {
        const int i = cell(clampc(x, lastX)), j = cell(clampc(y, lastY));
        const int i1 = i < lastX ? i + 1 : lastX, j1 = j < lastY ? j + 1 : lastY;
        const int im = i > 0 ? i - 1 : 0, jm = j > 0 ? j - 1 : 0;
        return ddNeumann(i, j, i1, j1, im, jm, dx, dy, dxx, dyy, dxy);
    }
    IMGALIGN_INLINE float get_DDneumann_nb(float x, float y, float& dx, float& dy, float& dxx, float& dyy, float& dxy) {
        const int i = int(x), j = int(y);
        return ddNeumann(i, j, i + 1, j + 1, i - 1, j - 1, dx, dy, dxx, dyy, dxy);
    }

    // ---- bilinear -----------------------------------------------------------------------
    IMGALIGN_INLINE float get_linear(float x, float y) { return linearAt<false>(x, y); }
    IMGALIGN_INLINE float get_linear_nb(float x, float y) { return linearAt<true>(x, y); }
    IMGALIGN_INLINE float get_Dlinear(float x, float y, float& dx, float& dy) { return linearAt<false>(x, y, dx, dy); }
    IMGALIGN_INLINE float get_Dlinear_nb(float x, float y, float& dx, float& dy) { return linearAt<true>(x, y, dx, dy); }
    IMGALIGN_INLINE float get_DDlinear(float x, float y, float& dx, float& dy, float& dxx, float& dyy, float& dxy) {
        return linearAt<false>(x, y, dx, dy, dxx, dyy, dxy);
    }
    IMGALIGN_INLINE float get_DDlinear_nb(float x, float y, float& dx, float& dy, float& dxx, float& dyy, float& dxy) {
        return linearAt<true>(x, y, dx, dy, dxx, dyy, dxy);
    }

    // ---- bicubic (Catmull-Rom, rows first) ------------------------------------------------
    IMGALIGN_INLINE float get_cubic(float x, float y) { return cubicAt<false>(x, y); }
    IMGALIGN_INLINE float get_cubic_nb(float x, float y) { return cubicAt<true>(x, y); }
    IMGALIGN_INLINE float get_Dcubic(float x, float y, float& dx, float& dy) { return cubicAt<false>(x, y, dx, dy); }
    IMGALIGN_INLINE float get_Dcubic_nb(float x, float y, float& dx, float& dy) { return cubicAt<true>(x, y, dx, dy); }
    IMGALIGN_INLINE float get_DDcubic(float x, float y, float& dx, float& dy, float& dxx, float& dyy, float& dxy) {
        return cubicAt<false>(x, y, dx, dy, dxx, dyy, dxy);
    }
    IMGALIGN_INLINE float get_DDcubic_nb(float x, float y, float& dx, float& dy, float& dxx, float& dyy, float& dxy) {
        return cubicAt<true>(x, y, dx, dy, dxx, dyy, dxy);
    }

    // ---- neighbourhood readers ------------------------------------------------------------
    // Write the footprint's intensities (truncated toward zero) row by row into out, set
    // (dx, dy) to the first pixel's position minus the (clamped) position, return out.
    template <typename t> IMGALIGN_INLINE t* nNeighbourhood1(float x, float y, t* out, float& dx, float& dy) {
        const float xq = clampc(x, lastX), yq = clampc(y, lastY);
        const int i = nearestc(xq, lastX), j = nearestc(yq, lastY);
        out[0] = toBin<t>(px(i, j));
        dx = float(i) - xq;
        dy = float(j) - yq;
        return out;
    }
    template <typename t> IMGALIGN_INLINE t* nNeighbourhood1_nb(float x, float y, t* out, float& dx, float& dy) {
        const int i = int(x + 0.5f), j = int(y + 0.5f);
        out[0] = toBin<t>(px(i, j));
        dx = float(i) - x;
        dy = float(j) - y;
        return out;
    }
    template <typename t> IMGALIGN_INLINE t* nNeighbourhood4(float x, float y, t* out, float& dx, float& dy) {
        const float xq = clampc(x, lastX), yq = clampc(y, lastY);
        const int i = cell(xq), j = cell(yq);
        const int i1 = i < lastX ? i + 1 : lastX, j1 = j < lastY ? j + 1 : lastY;
        out[0] = toBin<t>(px(i, j));  out[1] = toBin<t>(px(i1, j));
        out[2] = toBin<t>(px(i, j1)); out[3] = toBin<t>(px(i1, j1));
        dx = float(i) - xq;
        dy = float(j) - yq;
        return out;
    }
    template <typename t> IMGALIGN_INLINE t* nNeighbourhood4_nb(float x, float y, t* out, float& dx, float& dy) {
        const int i = int(x), j = int(y);
        out[0] = toBin<t>(px(i, j));     out[1] = toBin<t>(px(i + 1, j));
        out[2] = toBin<t>(px(i, j + 1)); out[3] = toBin<t>(px(i + 1, j + 1));
        dx = float(i) - x;
        dy = float(j) - y;
        return out;
    }
    template <typename t> IMGALIGN_INLINE t* nNeighbourhood9(float x, float y, t* out, float& dx, float& dy) {
        int cx[3], cy[3];
        dx = nine(clampc(x, lastX), lastX, cx);
        dy = nine(clampc(y, lastY), lastY, cy);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) out[3 * r + c] = toBin<t>(px(cx[c], cy[r]));
        return out;
    }
    template <typename t> IMGALIGN_INLINE t* nNeighbourhood9_nb(float x, float y, t* out, float& dx, float& dy) {
        const int i0 = nineNb(x, dx), j0 = nineNb(y, dy);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) out[3 * r + c] = toBin<t>(px(i0 + c, j0 + r));
        return out;
    }
    template <typename t> IMGALIGN_INLINE t* nNeighbourhood16(float x, float y, t* out, float& dx, float& dy) {
        const float xq = clampc(x, lastX), yq = clampc(y, lastY);
        int xi[4], yi[4]; float f, g;
        cubAxisC(xq, lastX, xi, f);
        cubAxisC(yq, lastY, yi, g);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) out[4 * r + c] = toBin<t>(px(xi[c], yi[r]));
        // Offsets of the nominal first pixel (ix - 1, iy - 1): border pixels repeat.
        dx = float(xi[1] - 1) - xq;
        dy = float(yi[1] - 1) - yq;
        return out;
    }
    template <typename t> IMGALIGN_INLINE t* nNeighbourhood16_nb(float x, float y, t* out, float& dx, float& dy) {
        const int i0 = int(x - 1.f), j0 = int(y - 1.f);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) out[4 * r + c] = toBin<t>(px(i0 + c, j0 + r));
        dx = float(i0) - x;
        dy = float(j0) - y;
        return out;
    }

private:
    IMGALIGN_INLINE float ddNeumann(int i, int j, int i1, int j1, int im, int jm,
                    float& dx, float& dy, float& dxx, float& dyy, float& dxy) const {
        const float v = px(i, j), v10 = px(i1, j), v01 = px(i, j1);
        dx = v10 - v;
        dy = v01 - v;
        dxx = v10 - 2.f * v + px(im, j);
        dyy = v01 - 2.f * v + px(i, jm);
        dxy = v + px(i1, j1) - v10 - v01;
        return v;
    }

    // The bilinear and bicubic samplers: the value, with two outputs also (dx, dy), with five
    // also (dxx, dyy, dxy); Nb: the unclamped footprint.
    template <bool Nb, class... D> IMGALIGN_INLINE float linearAt(float x, float y, D&... d) const {
        if constexpr (Nb) {
            const int i = int(x), j = int(y);
            return bilinear(i, j, i + 1, j + 1, x - i, y - j, d...);
        } else {
            float f, g; int i, j, i1, j1;
            linCellC(x, y, i, j, i1, j1, f, g);
            return bilinear(i, j, i1, j1, f, g, d...);
        }
    }
    template <bool Nb, class... D> IMGALIGN_INLINE float cubicAt(float x, float y, D&... d) const {
        int xi[4], yi[4]; float f, g;
        if constexpr (Nb) cubIdxNb(x, y, xi, yi, f, g);
        else cubIdxC(x, y, xi, yi, f, g);
        return bicubic(xi, yi, f, g, d...);
    }

    IMGALIGN_INLINE void linCellC(float x, float y, int& i, int& j, int& i1, int& j1, float& f, float& g) const {
        const float xq = clampc(x, lastX), yq = clampc(y, lastY);
        i = cell(xq); j = cell(yq);
        i1 = i < lastX ? i + 1 : lastX;
        j1 = j < lastY ? j + 1 : lastY;
        f = xq - i; g = yq - j;
    }
    IMGALIGN_INLINE float bilinear(int i, int j, int i1, int j1, float f, float g) const {
        const float I00 = px(i, j), I10 = px(i1, j), I01 = px(i, j1), I11 = px(i1, j1);
        const float omf = 1.f - f, omg = 1.f - g;
        return I00 * omf * omg + I10 * f * omg + I01 * omf * g + I11 * f * g;
    }
    IMGALIGN_INLINE float bilinear(int i, int j, int i1, int j1, float f, float g, float& dx, float& dy) const {
        const float I00 = px(i, j), I10 = px(i1, j), I01 = px(i, j1), I11 = px(i1, j1);
        const float omf = 1.f - f, omg = 1.f - g;
        dx = omg * (I10 - I00) + g * (I11 - I01);
        dy = omf * (I01 - I00) + f * (I11 - I10);
        return I00 * omf * omg + I10 * f * omg + I01 * omf * g + I11 * f * g;
    }
    IMGALIGN_INLINE float bilinear(int i, int j, int i1, int j1, float f, float g, float& dx, float& dy,
                                   float& dxx, float& dyy, float& dxy) const {
        const float I00 = px(i, j), I10 = px(i1, j), I01 = px(i, j1), I11 = px(i1, j1);
        const float omf = 1.f - f, omg = 1.f - g;
        dx = omg * (I10 - I00) + g * (I11 - I01);
        dy = omf * (I01 - I00) + f * (I11 - I10);
        dxx = 0.f;
        dyy = 0.f;
        dxy = I00 - I10 - I01 + I11;
        return I00 * omf * omg + I10 * f * omg + I01 * omf * g + I11 * f * g;
    }

    // Clamped 4 x 4 indices (ixm, ix, ix1, ix2) and fractions.
    IMGALIGN_INLINE void cubIdxC(float x, float y, int* xi, int* yi, float& f, float& g) const {
        const float xq = clampc(x, lastX), yq = clampc(y, lastY);
        cubAxisC(xq, lastX, xi, f);
        cubAxisC(yq, lastY, yi, g);
    }
    IMGALIGN_INLINE static void cubAxisC(float vq, int last, int* xi, float& f) {
        const int i = cell(vq);
        const int i1 = i < last ? i + 1 : last;
        xi[0] = i > 0 ? i - 1 : 0; xi[1] = i; xi[2] = i1; xi[3] = i1 < last ? i1 + 1 : last;
        f = vq - i;
    }
    IMGALIGN_INLINE static void cubIdxNb(float x, float y, int* xi, int* yi, float& f, float& g) {
        const int i = int(x), j = int(y);
        xi[0] = i - 1; xi[1] = i; xi[2] = i + 1; xi[3] = i + 2;
        yi[0] = j - 1; yi[1] = j; yi[2] = j + 1; yi[3] = j + 2;
        f = x - i; g = y - j;
    }
    // Catmull-Rom coefficients (a, b, c, d) of P0..P3.
    IMGALIGN_INLINE static void coefs(const float* P, float* c) {
        c[0] = 2.f * (P[1] - P[2]) + 0.5f * (P[3] + P[2] - P[0] - P[1]);
        c[1] = P[0] + 2.f * P[2] - 2.5f * P[1] - 0.5f * P[3];
        c[2] = 0.5f * (P[2] - P[0]);
        c[3] = P[1];
    }
    IMGALIGN_INLINE void rowCoefs(const int* xi, int j, float* c) const {
        const float P[4] = {px(xi[0], j), px(xi[1], j), px(xi[2], j), px(xi[3], j)};
        coefs(P, c);
    }
    IMGALIGN_INLINE static float cub(const float* c, float f) {
        const float f2 = f * f, f3 = f2 * f;
        return c[0] * f3 + c[1] * f2 + c[2] * f + c[3];
    }
    IMGALIGN_INLINE static float cubD1(const float* c, float f) { return c[0] * (3.f * (f * f)) + c[1] * (2.f * f) + c[2]; }
    IMGALIGN_INLINE static float cubD2(const float* c, float f) { return c[0] * (6.f * f) + 2.f * c[1]; }

    IMGALIGN_INLINE float bicubic(const int* xi, const int* yi, float f, float g) const {
        float R[4];
        for (int r = 0; r < 4; ++r) { float c[4]; rowCoefs(xi, yi[r], c); R[r] = cub(c, f); }
        float C[4]; coefs(R, C);
        return cub(C, g);
    }
    IMGALIGN_INLINE float bicubic(const int* xi, const int* yi, float f, float g, float& dx, float& dy) const {
        float R[4], Rd[4];
        for (int r = 0; r < 4; ++r) {
            float c[4]; rowCoefs(xi, yi[r], c);
            R[r] = cub(c, f); Rd[r] = cubD1(c, f);
        }
        float C[4], Cd[4];
        coefs(R, C); coefs(Rd, Cd);
        dy = cubD1(C, g);
        dx = cub(Cd, g);
        return cub(C, g);
    }
    IMGALIGN_INLINE float bicubic(const int* xi, const int* yi, float f, float g, float& dx, float& dy,
                                  float& dxx, float& dyy, float& dxy) const {
        float R[4], Rd[4], Rdd[4];
        for (int r = 0; r < 4; ++r) {
            float c[4]; rowCoefs(xi, yi[r], c);
            R[r] = cub(c, f); Rd[r] = cubD1(c, f); Rdd[r] = cubD2(c, f);
        }
        float C[4], Cd[4], Cdd[4];
        coefs(R, C); coefs(Rd, Cd); coefs(Rdd, Cdd);
        dy = cubD1(C, g);
        dyy = cubD2(C, g);
        dx = cub(Cd, g);
        dxy = cubD1(Cd, g);
        dxx = cub(Cdd, g);
        return cub(C, g);
    }

    // 9-pixel reader, one clamped axis: columns into c, returns the offset d.
    IMGALIGN_INLINE static float nine(float vq, int last, int* c) {
        const int i = cell(vq);
        float d = float(i) - vq;
        int centre;
        if (d > -0.5f) { centre = i; d -= 1.f; }
        else centre = i < last ? i + 1 : last;
        c[0] = centre > 0 ? centre - 1 : 0; c[1] = centre; c[2] = centre < last ? centre + 1 : last;
        return d;
    }
    IMGALIGN_INLINE static int nineNb(float v, float& d) {
        const int i = int(v);
        d = float(i) - v;
        if (d > -0.5f) { d -= 1.f; return i - 1; }
        return i;
    }
};

// Image with an assignment from a raw array (warp parameters, Hessian argument).
template <typename T>
class CImgE : public CImg<T> {
public:
    using CImg<T>::CImg;
    using CImg<T>::operator=;
    CImgE() {}
    CImgE(const CImg<T>& img) : CImg<T>(img, false) {}

    // Copies size() values from ptr into the existing buffer; the size does not change.
    CImgE& operator=(const T* ptr) {
        if (!ptr)
            throw cimg_library::CImgArgumentException(
                "CImg<T>::operator=() : Given array pointer 'ptr' is NULL");
        const std::size_t n = std::size_t(this->size());
        for (std::size_t k = 0; k < n; ++k) this->_data[k] = ptr[k];
        return *this;
    }
};
