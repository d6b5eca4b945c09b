#include "similarity/CostFnMIpz.h"

// The per-sample bodies belong inlined into the walk (one instantiation per sampler).
#if defined(__GNUC__)
#define PZ_INLINE __attribute__((always_inline))
#define PZ_UNROLL _Pragma("GCC unroll 8")
#else
#define PZ_INLINE
#define PZ_UNROLL
#endif

namespace {

// A value moved into [-4, last + 4] (NaN to -4). Beyond that range every tap of every
// window lies outside the table on the same side, so clamping the taps gives the same
// table; inside it nothing changes. The integer base of the taps then always exists.
PZ_INLINE inline float guard(float x, int last)
{
    const float hi = float(last) + 4.f;
    const float c = x > -4.f ? x : -4.f;
    return c < hi ? c : hi;
}

inline int clampTap(int k, int last) { return CCostFnMI::clampBin(k, last); }

// Tap selection along one axis for T taps: bins of the taps, clamped into 0 .. last, and
// the offset of the first tap's unclamped position from x (returned). m is trunc(x).
template <int T> float selectTaps(float x, int m, int last, int* bins);

template <> PZ_INLINE inline float selectTaps<1>(float, int m, int last, int* bins)
{
    bins[0] = clampTap(m, last);
    return 0.f;
}

template <> PZ_INLINE inline float selectTaps<2>(float x, int m, int last, int* bins)
{
    bins[0] = clampTap(m, last);
    bins[1] = clampTap(m + 1, last);
    return float(m) - x;
}

template <> PZ_INLINE inline float selectTaps<3>(float x, int m, int last, int* bins)
{
    const int first = float(m) - x > -0.5f ? m - 1 : m;
    for (int k = 0; k < 3; ++k) bins[k] = clampTap(first + k, last);
    return float(first) - x;
}

template <> PZ_INLINE inline float selectTaps<4>(float x, int m, int last, int* bins)
{
    for (int k = 0; k < 4; ++k) bins[k] = clampTap(m - 1 + k, last);
    return float(m - 1) - x;
}

// 1-D window weights of T taps at offset a (first tap minus the value), and their
// derivative with respect to a, with the arithmetic of C2dBspline (double, stored as float).
template <int T> void weights1d(double a, float* w);
template <> PZ_INLINE inline void weights1d<2>(double a, float* w)
{
    w[0] = float(1 + a);
    w[1] = float(-a);
}
template <> PZ_INLINE inline void weights1d<3>(double a, float* w)
{
    w[0] = float((a + 1.5) * (a + 1.5) * 0.5);
    w[1] = float(0.75 - (a + 1) * (a + 1));
    const double e = 0.5 - (a + 1);
    w[2] = float(e * e * 0.5);
}
template <> PZ_INLINE inline void weights1d<4>(double a, float* w)
{
    const double c6 = 0.166666667, c23 = 0.666666667;
    const double u = a + 2, v = u - 1, r = 1 - u;
    w[0] = float(u * u * u * c6);
    w[1] = float(c23 - v * v - 0.5 * v * v * v);
    w[2] = float(c23 - u * u + 0.5 * u * u * u);
    w[3] = float(r * r * r * c6);
}
template <int T> void dWeights1d(double a, float* d);
template <> PZ_INLINE inline void dWeights1d<2>(double, float* d)
{
    d[0] = 1.f;
    d[1] = -1.f;
}
template <> PZ_INLINE inline void dWeights1d<3>(double a, float* d)
{
    const double l0 = a + 1.5, l1 = -(a + 0.5);
    d[0] = float(l0);
    d[1] = float(l1 - l0);
    d[2] = float(-l1);
}
template <> PZ_INLINE inline void dWeights1d<4>(double a, float* d)
{
    const double q0 = (a + 2) * (a + 2) * 0.5, q1 = 0.75 - (a + 1.5) * (a + 1.5), q2 = (a + 1) * (a + 1) * 0.5;
    d[0] = float(q0);
    d[1] = float(q1 - q0);
    d[2] = float(q2 - q1);
    d[3] = float(-q2);
}

}  // namespace

CCostFnMIpz::CCostFnMIpz(CImgI<float>& r, CImgI<float>& t, int code, CImg<float> Z)
    : CCostFnMI(r, t, code, Z)
{
    for (int k = 0; k < 4; ++k) refBins[k] = tmpBins[k] = 0;
}

CCostFnMIpz::~CCostFnMIpz() {}

void CCostFnMIpz::setSampleRate(float) { CCostFn::setSampleRate(1.f); }

bool CCostFnMIpz::averages() const { return interp == 0; }

float CCostFnMIpz::Alpha() { return interp != 0 ? 1.f : 2.f; }

template <int T>
float* CCostFnMIpz::wts(float v, float t)
{
    const int L = lastBin;
    v = guard(v, L);
    t = guard(t, L);
    const float ov = selectTaps<T>(v, int(v), L, refBins);
    const float ot = selectTaps<T>(t, int(t), L, tmpBins);
    if constexpr (T == 1) {
        (void)ov; (void)ot;
        bspl.wts2d[0] = 1.f;
        return bspl.wts2d;
    } else if constexpr (T == 2) {
        return bspl.linearSample(ot, ov);
    } else if constexpr (T == 3) {
        return bspl.quadSample(ot, ov);
    } else {
        return bspl.cubicSample(ot, ov);
    }
}

template <int T>
float* CCostFnMIpz::dWts(float v, float t, float*& out)
{
    const int L = lastBin;
    v = guard(v, L);
    t = guard(t, L);
    if constexpr (T == 1) {
        // Nearest bins, and the linear window of their offsets; the caller uses tap 0.
        const int mv = int(v + 0.5f), mt = int(t + 0.5f);
        selectTaps<2>(v, mv, L, refBins);
        selectTaps<2>(t, mt, L, tmpBins);
        return bspl.lDlSample(float(mt) - t, float(mv) - v, out);
    } else if constexpr (T == 2) {
        const float ov = selectTaps<2>(v, int(v), L, refBins);
        const float ot = selectTaps<2>(t, int(t), L, tmpBins);
        return bspl.lDlSample(ot, ov, out);
    } else if constexpr (T == 3) {
        const float ov = selectTaps<3>(v, int(v), L, refBins);
        const float ot = selectTaps<3>(t, int(t), L, tmpBins);
        return bspl.qDqSample(ot, ov, out);
    } else {
        const int mv = v < 0.f ? int(v) - 1 : int(v);
        const float ov = selectTaps<4>(v, mv, L, refBins);
        const float ot = selectTaps<4>(t, int(t), L, tmpBins);
        return bspl.cDcSample(ot, ov, out);
    }
}

float* CCostFnMIpz::getWts(float v, float t)
{
    switch (windowTaps()) {
    case 1: return wts<1>(v, t);
    case 2: return wts<2>(v, t);
    case 3: return wts<3>(v, t);
    default: return wts<4>(v, t);
    }
}

float* CCostFnMIpz::getDWts(float v, float t, float*& out)
{
    switch (windowTaps()) {
    case 1: return dWts<1>(v, t, out);
    case 2: return dWts<2>(v, t, out);
    case 3: return dWts<3>(v, t, out);
    default: return dWts<4>(v, t, out);
    }
}

// What the Parzen-window taps keep of a sample: the reference and template values (the
// value taps), with the centred point and the reference gradient (the derivative taps).
struct CCostFnMIpz::ValueRecorder : TapsBase {
    static constexpr int kWalk = 0, kFloats = 2;
    static constexpr bool kParzenRows = true;
    PZ_INLINE void record(const WalkSample& s, int*, float* f) const
    {
        f[0] = s.r;
        f[1] = s.t;
    }
};

struct CCostFnMIpz::DerivRecorder : TapsBase {
    static constexpr int kWalk = 1, kFloats = 6;
    static constexpr bool kParzenRows = true;
    PZ_INLINE void record(const WalkSample& s, int*, float* f) const
    {
        f[0] = s.r; f[1] = s.t; f[2] = s.x; f[3] = s.y; f[4] = s.rdx; f[5] = s.rdy;
    }
};

// Parzen-window value taps: the window of getWts, as its two factors.
// SkipZero: template taps of weight 0 (the last one at a whole template intensity) left
// out; they add only zeros, and a cell that holds nothing else reads as no cell where no
// window smooths the table (for rows in turn: the dense table leaves such cells out itself).
template <int T, bool SkipZero>
struct CCostFnMIpz::ValueTaps : ValueRecorder {
    using Recorder = ValueRecorder;
    static constexpr int kSlots = 1;
    static constexpr bool kRowsOnly = SkipZero;
    CCostFnMIpz& m;
    int last;
    CellForm form() const { return CellForm{0, false, true, false, T * T}; }
    template <class Acc> PZ_INLINE void bin(const Acc& acc, const int*, const float* f, int) const
    {
        int* const refBins = m.refBins;
        int* const tmpBins = m.tmpBins;
        if constexpr (T == 1) {
            m.wts<1>(f[0], f[1]);
            acc.cell(refBins[0], tmpBins[0])[0] += 1.f;
        } else {
            const float v = guard(f[0], last), t = guard(f[1], last);
            float A[T], B[T];
            weights1d<T>(selectTaps<T>(t, int(t), last, tmpBins), A);
            weights1d<T>(selectTaps<T>(v, int(v), last, refBins), B);
            if (refBins[T - 1] - refBins[0] == T - 1) {
                // consecutive reference bins: one run of T cells per template tap
                for (int j = 0; j < T; ++j) {
                    if (SkipZero && A[j] == 0.f) continue;
                    float* const a = acc.run(refBins[0], tmpBins[j], T);
                    for (int k = 0; k < T; ++k) a[k] += A[j] * B[k];
                }
            } else {
                for (int j = 0; j < T; ++j) {
                    if (SkipZero && A[j] == 0.f) continue;
                    for (int k = 0; k < T; ++k) acc.cell(refBins[k], tmpBins[j])[0] += A[j] * B[k];
                }
            }
        }
    }
};

// Parzen-window derivative taps for the warps of 2, 3 (S = 4) or 4, 6 (S = 8) parameters:
// each cell holds its weight and its np derivatives side by side (S floats: weight,
// derivatives, zero padding), so every tap is one short fixed-length update; the planes are
// scaled by -1 / N as they are handed over.
template <int T, int S>
struct CCostFnMIpz::DerivTaps : DerivRecorder {
    using Recorder = DerivRecorder;
    static constexpr int kSlots = S;
    // Template weights at a whole intensity, where the first tap's offset is oWhole.
    static constexpr float oWhole = T == 2 ? 0.f : -1.f;
    CCostFnMIpz& m;
    int np, last;
    float coef[6][S];   // per cell slot e: Jacobian row coefficients (0 for the weight slot)
    float wWhole[T > 1 ? T : 1];
    DerivTaps(CCostFnMIpz& f, const CImg<float>& p, int n) : m(f), np(n), last(f.lastBin)
    {
        f.cellCoefs<S>(p, n, coef);
        if constexpr (T > 1) weights1d<T>(oWhole, wWhole);
    }
    CellForm form() const { return CellForm{np, false, true, true, T * T}; }   // (no padding slots kept)
    template <class Acc> PZ_INLINE void bin(const Acc& acc, const int*, const float* f, int) const
    {
        const float unit[S] = {1.f};   // local: the cells cannot alias it
        // derivative of the reference value with respect to each parameter, in slots 1..np
        const float x = f[2], y = f[3], gx = f[4], gy = f[5];
        float J[S];
        for (int e = 0; e < S; ++e)
            J[e] = gx * (coef[0][e] + coef[1][e] * x + coef[2][e] * y) +
                   gy * (coef[3][e] + coef[4][e] * x + coef[5][e] * y);
        int* const refBins = m.refBins;
        int* const tmpBins = m.tmpBins;
        if constexpr (T == 1) {
            float* Dw;
            const float* W = m.dWts<1>(f[0], f[1], Dw);
            float* __restrict a = acc.cell(refBins[0], tmpBins[0]);
            for (int e = 0; e < S; ++e) a[e] += W[0] * unit[e] + Dw[0] * J[e];
        } else {
            // the window of getDWts as its factors: template weights Wt, reference weights Wr
            // and their derivative dWr; per reference tap U = Wr unit + dWr J
            const float v = guard(f[0], last), t = guard(f[1], last);
            const int mv = (T == 4 && v < 0.f) ? int(v) - 1 : int(v);
            const float ov = selectTaps<T>(v, mv, last, refBins);
            const float ot = selectTaps<T>(t, int(t), last, tmpBins);
            float Wt[T], Wr[T], dWr[T], U[T][S];
            if (ot == oWhole) {
                for (int j = 0; j < T; ++j) Wt[j] = wWhole[j];
            } else {
                weights1d<T>(ot, Wt);
            }
            weights1d<T>(ov, Wr);
            dWeights1d<T>(ov, dWr);
            for (int k = 0; k < T; ++k) {
                if constexpr (T == 2) {
                    for (int e = 0; e < S; ++e) U[k][e] = Wr[k] * unit[e] + dWr[k] * J[e];
                } else {
                    // (unit is 1 in the weight slot, 0 elsewhere)
                    for (int e = 0; e < S; ++e) U[k][e] = dWr[k] * J[e];
                    U[k][0] = Wr[k] + dWr[k] * J[0];
                }
            }
            // A template tap of weight 0 (the last one at a whole template intensity) adds
            // nothing.
            if (refBins[T - 1] - refBins[0] == T - 1) {
                // consecutive reference bins: one run of T cells per template tap
                const float* u = &U[0][0];
                for (int j = 0; j < T; ++j) {
                    const float wt = Wt[j];
                    if (wt == 0.f) continue;
                    float* __restrict a = acc.run(refBins[0], tmpBins[j], T);
                    PZ_UNROLL
                    for (int e = 0; e < T * S; ++e) a[e] += wt * u[e];
                }
            } else {
                for (int j = 0; j < T; ++j) {
                    const float wt = Wt[j];
                    if (wt == 0.f) continue;
                    for (int k = 0; k < T; ++k) {
                        float* __restrict a = acc.cell(refBins[k], tmpBins[j]);
                        PZ_UNROLL
                        for (int e = 0; e < S; ++e) a[e] += wt * U[k][e];
                    }
                }
            }
        }
    }
};

// Parzen-window derivative taps for any parameter count, through CWarp::CalcJcbn per sample
// (the derivatives scaled by -1 / N per sample).
template <int T>
struct CCostFnMIpz::AnyTaps : DerivRecorder {
    using Recorder = DerivRecorder;
    static constexpr int kSlots = 0;
    CCostFnMIpz& m;
    const CImg<float>& p;
    int np;
    float c;   // 1 / N
    int slots() const { return 1 + np; }
    CellForm form() const { return CellForm{np, false, true, false, T * T}; }
    template <class Acc> void bin(const Acc& acc, const int*, const float* f, int) const
    {
        m.warp.CalcJcbn(m.jcbn, p, f[2], f[3], f[4], f[5]);
        for (int e = 0; e < np; ++e) m.jcbn[e] *= -c;
        const float* J = m.jcbn.data();
        float* Dw;
        const float* W = m.dWts<T>(f[0], f[1], Dw);
        for (int j = 0; j < T; ++j) {
            const float* dj = Dw + j * T;
            for (int k = 0; k < T; ++k) {
                float* a = acc.cell(m.refBins[k], m.tmpBins[j]);
                for (int e = 0; e < np; ++e) a[1 + e] += J[e] * dj[k];
            }
            for (int k = 0; k < T; ++k) acc.cell(m.refBins[k], m.tmpBins[j])[0] += W[j * T + k];
        }
    }
};

CCostFnMI::TapsInfo CCostFnMIpz::tapsOf(Tables t, int np, int order, int interp)
{
    const int taps = order > 3 ? 2 : order + 1, T = taps >= 1 && taps <= 3 ? taps : 4;   // (windowTaps)
    if (t == Tables::kPdf) return TapsInfo{1, false, T * T, 0, 2, false, 4};
    if (interp == 0) return CCostFnMI::tapsOf(t, np, order, interp);
    if (np == 2 || np == 3 || np == 4 || np == 6) return TapsInfo{cellSlots(np), false, T * T, 0, 6, false, 4};
    return TapsInfo{1 + np, false, T * T, 0, 6, false, 4};
}

void CCostFnMIpz::bin(const CImg<float>& p, const Plan& pl)
{
    // f(integral_constant<taps per axis>)
    auto withTaps = [&](auto&& f) {
        using std::integral_constant;
        switch (windowTaps()) {
        case 1: f(integral_constant<int, 1>()); break;
        case 2: f(integral_constant<int, 2>()); break;
        case 3: f(integral_constant<int, 3>()); break;
        default: f(integral_constant<int, 4>()); break;
        }
    };
    if (pl.tables == Tables::kPdf) {
        withTaps([&](auto T) {
            constexpr int W = decltype(T)::value;
            if (!smoothing && pl.strategy != Strategy::kDense) binSamples(p, pl, ValueTaps<W, true>{{}, *this, lastBin});
            else binSamples(p, pl, ValueTaps<W, false>{{}, *this, lastBin});
        });
        return;
    }
    // With nearest-neighbour interpolation, CCostFnMI's derivative binning.
    if (interp == 0) {
        CCostFnMI::bin(p, pl);
        return;
    }
    float xy[2];
    warp.Warp(p, 0.f, 0.f, xy[0], xy[1]);   // the derivative operations read the warp's state at p
    jcbn.fill(0.f);
    const int np = nParams;
    withTaps([&](auto Taps) {
        constexpr int T = decltype(Taps)::value;
        if (np == 2 || np == 3) binSamples(p, pl, DerivTaps<T, 4>(*this, p, np));
        else if (np == 4 || np == 6) binSamples(p, pl, DerivTaps<T, 8>(*this, p, np));
        else binSamples(p, pl, AnyTaps<T>{{}, *this, p, np, 1.f / nSamples});
    });
}
