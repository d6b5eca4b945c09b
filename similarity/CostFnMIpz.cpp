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

// Runs bin(access, f) for every sample, f the W floats that record(sample, f) wrote: at
// once into a dense table, or, for large tables, recorded by the walk and binned in the
// order of the template's base bin (the samples of one base bin in visiting order), four
// rows at a time: a window reaches from the row before its base bin to two rows after.
template <bool Deriv, int W, int SC, class Rec, class Bin>
void CCostFnMIpz::binSamples(const CImg<float>& p, int S, Rec&& record, Bin&& bin)
{
    const int n = nBins, L = lastBin;
    auto walk = [&](auto&& v) PZ_INLINE {
        if constexpr (Deriv) walkD(p, v);
        else walkValue(p, v);
    };
    if (denseCells(S)) {
        acc.setup(n, S, n, false);
        const DenseAccess<SC> A = DenseAccess<SC>::of(acc, S);
        walk([&](const WalkSample& s) PZ_INLINE {
            float f[W];
            record(s, f);
            bin(A, f);
        });
        acc.emitAll(cells);
        return;
    }
    const SampleGroups& G = groupSamples(p, true);
    recF.resize(std::size_t(G.samples) * W);
    float* const F = recF.data();
    const int* const slot = G.slot.data();
    int k = 0;
    walk([&](const WalkSample& s) PZ_INLINE { record(s, F + std::size_t(slot[k++]) * W); });
    acc.setup(n, S, 4, true);
    const RowAccess<SC> A = RowAccess<SC>::of(acc, S);
    int next = 0;   // the first row not yet handed over
    const int groups = int(G.first.size()) - 1;
    for (int g = 0; g < groups; ++g) {
        if (G.first[g] == G.first[g + 1]) continue;
        const int base = g - 4;
        for (; next < base - 1 && next <= L; ++next) A.emit(next, cells);
        for (int q = G.first[g], e = G.first[g + 1]; q < e; ++q) bin(A, F + std::size_t(q) * W);
    }
    for (; next <= L; ++next) A.emit(next, cells);
}

template <int T>
void CCostFnMIpz::pdfLoop(const CImg<float>& p)
{
    const int L = lastBin;
    binSamples<false, 2, 1>(
        p, 1, [&](const WalkSample& s, float* f) PZ_INLINE { f[0] = s.r; f[1] = s.t; },
        [&](const auto& Acc, const float* f) PZ_INLINE {
            if constexpr (T == 1) {
                wts<1>(f[0], f[1]);
                Acc.cell(refBins[0], tmpBins[0])[0] += 1.f;
            } else {
                // the window of getWts, as its two factors
                const float v = guard(f[0], L), t = guard(f[1], L);
                float A[T], B[T];
                weights1d<T>(selectTaps<T>(t, int(t), L, tmpBins), A);
                weights1d<T>(selectTaps<T>(v, int(v), L, refBins), B);
                if (refBins[T - 1] - refBins[0] == T - 1) {
                    // consecutive reference bins: one run of T cells per template tap
                    for (int j = 0; j < T; ++j) {
                        float* const a = Acc.run(refBins[0], tmpBins[j], T);
                        for (int k = 0; k < T; ++k) a[k] += A[j] * B[k];
                    }
                } else {
                    for (int j = 0; j < T; ++j)
                        for (int k = 0; k < T; ++k) Acc.cell(refBins[k], tmpBins[j])[0] += A[j] * B[k];
                }
            }
        });
}

void CCostFnMIpz::binPdf(const CImg<float>& p)
{
    cells.clear(nBins, 0, 0.f, mostCells(windowTaps() * windowTaps()));
    scaleOnEntry(false);
    switch (windowTaps()) {
    case 1: pdfLoop<1>(p); break;
    case 2: pdfLoop<2>(p); break;
    case 3: pdfLoop<3>(p); break;
    default: pdfLoop<4>(p); break;
    }
}

// NP > 0: NP parameters; each cell holds its weight and its NP derivatives side by side (S
// floats: weight, derivatives, zero padding), so every tap is one short fixed-length
// update; the cells are scaled as they are handed over. NP = 0: any parameter count, through
// CWarp::CalcJcbn per sample.
template <int T, int NP>
void CCostFnMIpz::dpdfLoop(const CImg<float>& p)
{
    const int np = NP > 0 ? NP : nParams;
    const float c = 1.f / nSamples;
    float xy[2];
    warp.Warp(p, 0.f, 0.f, xy[0], xy[1]);   // the derivative operations read the warp's state at p
    jcbn.fill(0.f);
    // a sample: reference value, template value, centred point, reference gradient
    auto record = [&](const WalkSample& s, float* f) PZ_INLINE {
        f[0] = s.r; f[1] = s.t; f[2] = s.x; f[3] = s.y; f[4] = s.rdx; f[5] = s.rdy;
    };
    if constexpr (NP > 0) {
        constexpr int S = cellSlots(NP);
        cells.clear(nBins, NP, 0.f, mostCells(T * T));   // (the padding slots are not kept)
        scaleOnEntry(true);
        float coef[6][S];   // per cell slot e: Jacobian row coefficients (0 for the weight slot)
        cellCoefs<NP>(p, coef);
        const int L = lastBin;
        // Template weights at a whole intensity, where the first tap's offset is oWhole.
        const float oWhole = T == 2 ? 0.f : -1.f;
        float wWhole[T > 1 ? T : 1];
        if constexpr (T > 1) weights1d<T>(oWhole, wWhole);
        binSamples<true, 6, S>(p, S, record, [&](const auto& Acc, const float* f) PZ_INLINE {
            const float unit[S] = {1.f};   // local: the cells cannot alias it
            // derivative of the reference value with respect to each parameter, in slots 1..NP
            const float x = f[2], y = f[3], gx = f[4], gy = f[5];
            float J[S];
            for (int e = 0; e < S; ++e)
                J[e] = gx * (coef[0][e] + coef[1][e] * x + coef[2][e] * y) +
                       gy * (coef[3][e] + coef[4][e] * x + coef[5][e] * y);
            if constexpr (T == 1) {
                float* Dw;
                const float* W = dWts<1>(f[0], f[1], Dw);
                float* __restrict a = Acc.cell(refBins[0], tmpBins[0]);
                for (int e = 0; e < S; ++e) a[e] += W[0] * unit[e] + Dw[0] * J[e];
            } else {
                // the window of getDWts as its factors: template weights Wt, reference
                // weights Wr and their derivative dWr; per reference tap U = Wr unit + dWr J
                const float v = guard(f[0], L), t = guard(f[1], L);
                const int mv = (T == 4 && v < 0.f) ? int(v) - 1 : int(v);
                const float ov = selectTaps<T>(v, mv, L, refBins);
                const float ot = selectTaps<T>(t, int(t), L, tmpBins);
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
                // A template tap of weight 0 (the last one at a whole template intensity)
                // adds nothing.
                if (refBins[T - 1] - refBins[0] == T - 1) {
                    // consecutive reference bins: one run of T cells per template tap
                    const float* u = &U[0][0];
                    for (int j = 0; j < T; ++j) {
                        const float wt = Wt[j];
                        if (wt == 0.f) continue;
                        float* __restrict a = Acc.run(refBins[0], tmpBins[j], T);
                        PZ_UNROLL
                        for (int e = 0; e < T * S; ++e) a[e] += wt * u[e];
                    }
                } else {
                    for (int j = 0; j < T; ++j) {
                        const float wt = Wt[j];
                        if (wt == 0.f) continue;
                        for (int k = 0; k < T; ++k) {
                            float* __restrict a = Acc.cell(refBins[k], tmpBins[j]);
                            PZ_UNROLL
                            for (int e = 0; e < S; ++e) a[e] += wt * U[k][e];
                        }
                    }
                }
            }
        });
    } else {
        cells.clear(nBins, np, 0.f, mostCells(T * T));
        scaleOnEntry(false);   // the derivatives are scaled per sample
        binSamples<true, 6, 0>(p, 1 + np, record, [&](const auto& Acc, const float* f) PZ_INLINE {
            warp.CalcJcbn(jcbn, p, f[2], f[3], f[4], f[5]);
            for (int m = 0; m < np; ++m) jcbn[m] *= -c;
            const float* J = jcbn.data();
            float* Dw;
            const float* W = dWts<T>(f[0], f[1], Dw);
            for (int j = 0; j < T; ++j) {
                const float* dj = Dw + j * T;
                for (int k = 0; k < T; ++k) {
                    float* a = Acc.cell(refBins[k], tmpBins[j]);
                    for (int m = 0; m < np; ++m) a[1 + m] += J[m] * dj[k];
                }
                for (int k = 0; k < T; ++k) Acc.cell(refBins[k], tmpBins[j])[0] += W[j * T + k];
            }
        });
    }
}

template <int T>
void CCostFnMIpz::dpdfByParams(const CImg<float>& p)
{
    withParamCount(nParams, [&](auto NP) { dpdfLoop<T, decltype(NP)::value>(p); });
}

void CCostFnMIpz::binDPdf(const CImg<float>& p)
{
    if (interp == 0) {
        CCostFnMI::binDPdf(p);
        return;
    }
    switch (windowTaps()) {
    case 1: dpdfByParams<1>(p); break;
    case 2: dpdfByParams<2>(p); break;
    case 3: dpdfByParams<3>(p); break;
    default: dpdfByParams<4>(p); break;
    }
}
