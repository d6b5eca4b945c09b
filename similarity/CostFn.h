// Abstract similarity measure: copies of the reference and of the padded template, the warp,
// the template sampling grid and the choice of reference and template samplers.
//
// Use: construct over (reference, padded template, warp code), setInterpAndOrder(interp,
// order, true), setSampleRate(rate), then eval / evalD / evalDD once per warp. The measure
// copies both images, or takes the pixels of one marked CImgI::handOver (leaving it empty).
//
// The padded template is the w x h template drawn at (1, 1) into a zero image of
// (w + 3) x (h + 3); template pixel (x, y) lies at padded position (x + 1, y + 1).
//
// For derived measures:
// - Every evaluation starts with switchSamplers(p), which selects the unclamped `_nb`
//   samplers only when every sample's whole footprint lies inside the reference, and the
//   clamped ones otherwise (calling the virtual setInterpAndOrder with the flipped flag).
// - The footprint is refFootprint(lo, hi): the `_nb` forms read `lo` pixels before and `hi`
//   after the cell index trunc(x'). The base answers for its selected samplers (value, D and
//   DD of the method); a measure that reads wider (e.g. the 9- and 16-pixel neighbourhood
//   readers read (1, 2)) overrides it and returns the maximum of its own and the base's.
// - walkPos / walkValue / walkD / walkDD run the template walk and call
//   v(const WalkSample&) once per sample: walkCols x walkRows samples (exactly N), column by
//   column, at padded positions i = 1 + k r, j = 1 + l r of whole counters k, l. A column
//   starts at the warp of its first sample (in double, rounded to float); a sample adds its
//   row's offset (l times the row step, in double, rounded to float): one addition per
//   coordinate, and every position within float rounding of the warp of its centred
//   coordinates, whatever the template's size. The reference sampler is dispatched once
//   per walk to an instantiation in which the selected sampler (and, at rate 1, the
//   template read) is inlined; no call through a pointer per sample. walkPos samples only
//   the template: a measure with its own reader calls it at s.rx, s.ry (choosing `_nb` or
//   clamped by `bounded`). The walk leaves the warp's state at p, so the visitor may call
//   CWarp's derivative operations (CalcJcbn, CalcHess, CalcJcHs) directly.
// - Nothing is allocated per sample or per evaluation: scratch images belong to the object
//   (the walk's tables are built by the first walk after a change of the rate).
#pragma once

#include <cstddef>

#include "bridge/cimg.h"
#include "similarity/CImgI.h"
#include "similarity/CWarp.h"
#include "similarity/inlining.h"

// One sample of the template walk.
struct WalkSample {
    float rx, ry;            // reference position
    float i, j;              // padded template position
    float x, y;              // centred template coordinates i - 1 - tmpCx, j - 1 - tmpCy
    float t;                 // template value (sampleTmp at (i, j))
    float r;                 // reference value (walkValue, walkD, walkDD)
    float rdx, rdy;          // reference gradient (walkD, walkDD)
    float rdxx, rdyy, rdxy;  // reference second derivatives (walkDD)
};

class CCostFn {
public:
    typedef float (CImgI<float>::*SamplerV)(float, float);
    typedef float (CImgI<float>::*SamplerD)(float, float, float&, float&);
    typedef float (CImgI<float>::*SamplerDD)(float, float, float&, float&, float&, float&, float&);

    CImgI<float> ref;        // deep copy of the reference (its pixels, when handed over)
    CImgI<float> tmp;        // deep copy of the padded template (W x H), likewise
    float tmpCx, tmpCy;      // (W - 4) / 2, (H - 4) / 2: centre of the unpadded template
    float sampleRate;        // step r of the walk
    float nSamples;          // N, divisor of the means
    float rxyStep[2];        // reference displacement of one step down a column
    float rxyNextCol[2];     // reference displacement at the start of each column
    float rxy[2];            // current reference position of the walk
    float tmpW, tmpH;        // W - 3, H - 3
    int nParams;             // n: code / 10 for codes >= 10, else the code
    CWarp warp;
    CImg<float> jcbn;        // n x 1 steepest-descent scratch
    int interp;              // 0 nearest, 1 bilinear, 3 bicubic
    int nTaps, nTaps2;       // spline taps per axis (order + 1, or 2 above order 3), squared
    SamplerV sampleRef;
    SamplerD sampleRefD;
    SamplerDD sampleRefDD;
    SamplerV sampleTmp;
    int order;
    bool bounded;            // true while the clamped reference samplers are selected

    CCostFn(CImgI<float>& ref, CImgI<float>& tmp, int nParams);

    virtual void setInterpAndOrder(int interp, int order, bool bounded);
    virtual ~CCostFn();
    // Deep copy of a new template of at least the constructed size (a smaller one would be
    // read outside: CImgArgumentException); then setSampleRate(sampleRate).
    virtual void setTmp(CImgI<float>& tmp);
    virtual void setSampleRate(float rate);
    virtual float getShiftTol();
    virtual float eval(const CImg<float>& p) = 0;
    virtual float evalD(const CImg<float>& p, CImg<float>& g) = 0;
    virtual float evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H) = 0;
    // Pixels read before (lo) and after (hi) the cell index by the samplers the measure uses.
    virtual void refFootprint(int& lo, int& hi) const;

    // Walk state for warp p: rxyStep, rxyNextCol, rxy (float, from the warp's own
    // operations), and the double map of the walk (walkOrg, walkColStep, walkRowStep).
    void initRxyIterator(const CImg<float>& p);
    // The reference resampled under p onto a template-sized image (clamped samplers).
    CImg<float> calcRefRegion(const CImg<float>& p);
    CImg<float> calcRefRegionOld(const CImg<float>& p);

    // The sampler switch: flips `bounded` (through setInterpAndOrder) when the sound bounds
    // test for p disagrees with it.
    void switchSamplers(const CImg<float>& p);
    // The bounds test of the switch: the four corner samples of the walk, at the positions
    // the walk gives them, lie inside the reference with the footprint's margin and the
    // float rounding of the positions.
    bool footprintInside(const CImg<float>& p);

    // Columns and rows the walk visits: the two factors of N (set by setSampleRate; a
    // factor that is not a number counts 1, one above INT_MAX counts INT_MAX).
    int walkCols = 0;
    int walkRows = 0;
    // The walk's column and row counts at rate r (used as given) over a w x h template, as
    // setSampleRate sets them.
    static void walkCounts(float r, int w, int h, int& cols, int& rows);
    // Why a walk of cols x rows samples over a w x h template is too long to run, or null:
    // more than 2^28 samples per warp (about a second of work), or more than 2^20 along one
    // axis (the walk keeps buffers per column and per row), beyond the template's own pixels.
    static const char* walkRefusal(int cols, int rows, int w, int h);
    // The walk's map in double: the first sample's position, and the displacements of one
    // column and of one row (0 on an axis with a single sample).
    double walkOrg[2] = {0, 0};
    double walkColStep[2] = {0, 0};
    double walkRowStep[2] = {0, 0};
    // The walk's tables, (ax, ay, i, x) per column and (dx, dy, j, y) per row: the column's
    // first position and the row's offset from it (every walk), template position and
    // centred coordinate (built by the first walk at a rate), all in float.
    CImg<float> walkColTab, walkRowTab;
    float walkTabRate = 0.f;
    int refKind = 1;         // family of the selected reference samplers: 0, 1 or 3
    bool refNb = false;      // the selected reference samplers are the `_nb` forms

    template <class V> IMGALIGN_INLINE void walkPos(const CImg<float>& p, V&& v) { walkAny<-1>(p, v); }
    template <class V> IMGALIGN_INLINE void walkValue(const CImg<float>& p, V&& v) { walkAny<0>(p, v); }
    template <class V> IMGALIGN_INLINE void walkD(const CImg<float>& p, V&& v) { walkAny<1>(p, v); }
    template <class V> IMGALIGN_INLINE void walkDD(const CImg<float>& p, V&& v) { walkAny<2>(p, v); }

protected:
    void selectRefSamplers();

    template <int Kind, bool Nb> struct Ref;

    template <int Deriv, class V> IMGALIGN_INLINE void walkAny(const CImg<float>& p, V& v) {
        const bool tf = sampleTmp == &CImgI<float>::get_neumann_floor && sampleRate == 1.f;
        if constexpr (Deriv < 0) {
            if (tf) walkLoop<Deriv, 1, false, true>(p, v); else walkLoop<Deriv, 1, false, false>(p, v);
        } else switch (refKind * 2 + (refNb ? 1 : 0)) {
        case 0: tf ? walkLoop<Deriv, 0, false, true>(p, v) : walkLoop<Deriv, 0, false, false>(p, v); break;
        case 1: tf ? walkLoop<Deriv, 0, true, true>(p, v) : walkLoop<Deriv, 0, true, false>(p, v); break;
        case 6: tf ? walkLoop<Deriv, 3, false, true>(p, v) : walkLoop<Deriv, 3, false, false>(p, v); break;
        case 7: tf ? walkLoop<Deriv, 3, true, true>(p, v) : walkLoop<Deriv, 3, true, false>(p, v); break;
        case 3: tf ? walkLoop<Deriv, 1, true, true>(p, v) : walkLoop<Deriv, 1, true, false>(p, v); break;
        default: tf ? walkLoop<Deriv, 1, false, true>(p, v) : walkLoop<Deriv, 1, false, false>(p, v); break;
        }
    }

    // v, as a scalar in a register. Applied to the sampler's gradient, it keeps the
    // vectoriser from packing a visitor's (dx, dy) pairs back through the sampler, which
    // costs more in shuffles than it saves.
    IMGALIGN_INLINE static float scalar(float v) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
        __asm__("" : "+x"(v));
#endif
        return v;
    }

    template <int Deriv, int Kind, bool Nb, bool TmpFloor, class V>
    IMGALIGN_INLINE void walkLoop(const CImg<float>& p, V& v) {
        initRxyIterator(p);
        const int cols = walkCols, rows = walkRows;
        const SamplerV st = sampleTmp;
        WalkSample s{};
        // At rate 1 the template is read at integer positions: walk its pixels directly.
        const float* const td = tmp.data();
        const std::ptrdiff_t tw = std::ptrdiff_t(tmp.width());
        std::ptrdiff_t tcol = tw + 1;
        const float* ci = walkColTab.data();
        for (int c = 0; c < cols; ++c, ++tcol, ci += 4) {
            const float ax = ci[0], ay = ci[1], i = ci[2];
            s.i = i;
            s.x = ci[3];
            std::ptrdiff_t tp = tcol;
            const float* lj = walkRowTab.data();
            for (int l = 0; l < rows; ++l, tp += tw, lj += 4) {
                const float rx = ax + lj[0], ry = ay + lj[1], j = lj[2];
                s.rx = rx;
                s.ry = ry;
                s.j = j;
                s.y = lj[3];
                s.t = TmpFloor ? td[tp] : (tmp.*st)(i, j);
                if constexpr (Deriv == 0) s.r = Ref<Kind, Nb>::v(ref, rx, ry);
                else if constexpr (Deriv == 1) s.r = Ref<Kind, Nb>::d(ref, rx, ry, s.rdx, s.rdy);
                else if constexpr (Deriv == 2)
                    s.r = Ref<Kind, Nb>::dd(ref, rx, ry, s.rdx, s.rdy, s.rdxx, s.rdyy, s.rdxy);
                if constexpr (Deriv >= 1) {
                    s.rdx = scalar(s.rdx);
                    s.rdy = scalar(s.rdy);
                }
                v(const_cast<const WalkSample&>(s));
            }
        }
        if (cols > 0 && rows > 0) {   // the last sample's position
            const float *cl = walkColTab.data() + 4 * (cols - 1), *rl = walkRowTab.data() + 4 * (rows - 1);
            rxy[0] = cl[0] + rl[0];
            rxy[1] = cl[1] + rl[1];
        }
    }
};

#define COSTFN_REF_SAMPLERS(KIND, NB, V, D, DD)                                               \
    template <> struct CCostFn::Ref<KIND, NB> {                                               \
        IMGALIGN_INLINE static float v(CImgI<float>& I, float x, float y) { return I.V(x, y); }              \
        IMGALIGN_INLINE static float d(CImgI<float>& I, float x, float y, float& dx, float& dy) {            \
            return I.D(x, y, dx, dy);                                                         \
        }                                                                                     \
        IMGALIGN_INLINE static float dd(CImgI<float>& I, float x, float y, float& dx, float& dy, float& dxx, \
                        float& dyy, float& dxy) {                                             \
            return I.DD(x, y, dx, dy, dxx, dyy, dxy);                                         \
        }                                                                                     \
    };
COSTFN_REF_SAMPLERS(0, false, get_neumann, get_Dneumann, get_DDneumann)
COSTFN_REF_SAMPLERS(0, true, get_neumann_nb, get_Dneumann_nb, get_DDneumann_nb)
COSTFN_REF_SAMPLERS(1, false, get_linear, get_Dlinear, get_DDlinear)
COSTFN_REF_SAMPLERS(1, true, get_linear_nb, get_Dlinear_nb, get_DDlinear_nb)
COSTFN_REF_SAMPLERS(3, false, get_cubic, get_Dcubic, get_DDcubic)
COSTFN_REF_SAMPLERS(3, true, get_cubic_nb, get_Dcubic_nb, get_DDcubic_nb)
#undef COSTFN_REF_SAMPLERS
