#include "similarity/CostFnSSD.h"

#include <cmath>
#include <iostream>
#include <type_traits>

namespace {

// Four floats operated on lane by lane (each lane rounds exactly as the scalar operation).
#if defined(__GNUC__)
typedef float V4 __attribute__((vector_size(16)));
#else
struct V4 {
    float e[4];
    float& operator[](int i) { return e[i]; }
    float operator[](int i) const { return e[i]; }
};
inline V4 operator+(V4 a, V4 b) { for (int i = 0; i < 4; ++i) a.e[i] += b.e[i]; return a; }
inline V4 operator-(V4 a, V4 b) { for (int i = 0; i < 4; ++i) a.e[i] -= b.e[i]; return a; }
inline V4 operator*(V4 a, V4 b) { for (int i = 0; i < 4; ++i) a.e[i] *= b.e[i]; return a; }
inline V4 operator*(V4 a, float b) { for (int i = 0; i < 4; ++i) a.e[i] *= b; return a; }
inline V4& operator+=(V4& a, V4 b) { return a = a + b; }
inline V4& operator-=(V4& a, V4 b) { return a = a - b; }
#endif

// f(k) for k = 0 .. N - 1 with k a compile-time constant.
template <int N, class F, int K = 0> CIMGI_INLINE void forN(F&& f)
{
    if constexpr (K < N) {
        f(std::integral_constant<int, K>());
        forN<N, F, K + 1>(static_cast<F&&>(f));
    }
}

// Inlined warp derivatives of the four warp types, with the arithmetic of CWarp's
// CalcJcbn, CalcHess and CalcJcHs, in lanes of V4 (entry k in lane k % 4 of vector k / 4,
// unused lanes 0). Kind 0: codes 2, 23, 24, 26 (translation rows); 1: code 3; 2: code 4;
// 3: code 6.
template <int Kind> struct Jac;

struct WarpState { float s, c, m; };

template <> struct Jac<0> {
    static constexpr int N = 2, NV = 1;
    static constexpr bool hasK = false;
    static CIMGI_INLINE void J(V4* J, const WarpState&, float, float, float gx, float gy) {
        J[0] = V4{gx, gy, 0.f, 0.f};
    }
    static CIMGI_INLINE void rows(V4* wx, V4* wy, const WarpState&, float, float) {
        wx[0] = V4{1.f, 0.f, 0.f, 0.f};
        wy[0] = V4{0.f, 1.f, 0.f, 0.f};
    }
    static CIMGI_INLINE void K(float&, float&, const WarpState&, float, float, float, float) {}
};

template <> struct Jac<1> {
    static constexpr int N = 3, NV = 1;
    static constexpr bool hasK = true;
    static CIMGI_INLINE void J(V4* J, const WarpState& w, float x, float y, float gx, float gy) {
        const float s = w.s, c = w.c;
        J[0] = V4{gx, gy, gx * (c * y - s * x) + gy * (-c * x - s * y), 0.f};
    }
    static CIMGI_INLINE void rows(V4* wx, V4* wy, const WarpState& w, float x, float y) {
        const float s = w.s, c = w.c;
        wx[0] = V4{1.f, 0.f, c * y - s * x, 0.f};
        wy[0] = V4{0.f, 1.f, -c * x - s * y, 0.f};
    }
    // The non-zero entries of the warp-curvature term: K(2, 2) and K(2, 3) = K(3, 2).
    static CIMGI_INLINE void K(float& k22, float& k23, const WarpState& w, float x, float y, float gx, float gy) {
        const float s = w.s, c = w.c;
        k22 = gx * (-c * x - s * y) + gy * (s * x - c * y);
        k23 = 0.f;
    }
};

template <> struct Jac<2> {
    static constexpr int N = 4, NV = 1;
    static constexpr bool hasK = true;
    static CIMGI_INLINE void J(V4* J, const WarpState& w, float x, float y, float gx, float gy) {
        const float s = w.s, c = w.c;
        J[0] = V4{gx, gy, w.m * (gx * (c * y - s * x) + gy * (-c * x - s * y)),
                  gx * (c * x + s * y) + gy * (c * y - s * x)};
    }
    static CIMGI_INLINE void rows(V4* wx, V4* wy, const WarpState& w, float x, float y) {
        const float s = w.s, c = w.c, m = w.m;
        wx[0] = V4{1.f, 0.f, m * (c * y - s * x), c * x + s * y};
        wy[0] = V4{0.f, 1.f, m * (-c * x - s * y), c * y - s * x};
    }
    static CIMGI_INLINE void K(float& k22, float& k23, const WarpState& w, float x, float y, float gx, float gy) {
        const float s = w.s, c = w.c;
        k22 = w.m * (gx * (-c * x - s * y) + gy * (s * x - c * y));
        k23 = gx * (c * y - s * x) + gy * (-c * x - s * y);
    }
};

template <> struct Jac<3> {
    static constexpr int N = 6, NV = 2;
    static constexpr bool hasK = false;
    static CIMGI_INLINE void J(V4* J, const WarpState&, float x, float y, float gx, float gy) {
        J[0] = V4{gx, gy, gx, gy} * V4{x, x, y, y};
        J[1] = V4{gx, gy, 0.f, 0.f};
    }
    static CIMGI_INLINE void rows(V4* wx, V4* wy, const WarpState&, float x, float y) {
        wx[0] = V4{x, 0.f, y, 0.f};
        wy[0] = V4{0.f, x, 0.f, y};
        wx[1] = V4{1.f, 0.f, 0.f, 0.f};
        wy[1] = V4{0.f, 1.f, 0.f, 0.f};
    }
    static CIMGI_INLINE void K(float&, float&, const WarpState&, float, float, float, float) {}
};

// Writes acc (n values) into g over the elements both hold, zero elsewhere, then scales g.
void storeScaled(CImg<float>& g, const float* acc, int n, float f)
{
    const int ng = (int)g.size();
    for (int k = 0; k < ng; ++k) g[k] = (k < n ? acc[k] : 0.f) * f;
}

}  // namespace

CCostFnSSD::CCostFnSSD(CImgI<float>& r, CImgI<float>& t, int code)
    : CCostFn(r, t, code)
{
    hessWarp.assign(nParams, nParams, 1, 1, 0.f);
    hessImg.assign(nParams, nParams, 1, 1, 0.f);
}

CCostFnSSD::~CCostFnSSD() {}

void CCostFnSSD::trace(const WalkSample& s, const CImg<float>& p) const
{
    std::cout << "***Error2: " << s.rx << " " << s.ry << " " << s.i << " " << s.j << std::endl;
    std::cout << "inc: " << rxyStep[0] << " " << rxyNextCol[0] << " " << rxyNextCol[1] << " "
              << rxyStep[1] << std::endl;
    std::cout << "warp: ";
    if (p.size() > 0) std::cout << p[0];
    if (p.size() > 1) std::cout << " " << p[1];
    std::cout << std::endl;
}

template <bool Quantised>
float CCostFnSSD::evalValue(const CImg<float>& p)
{
    float sum = 0.f;
    walkValue(p, [&](const WalkSample& s) {
        const float d = Quantised ? std::floor(s.r) - std::floor(s.t) : s.r - s.t;
        sum += d * d;
        if (std::fabs(s.r - 900.f) < 0.0001f) trace(s, p);
    });
    return sum / nSamples;
}

float CCostFnSSD::eval(const CImg<float>& p)
{
    switchSamplers(p);
    return order == 4 ? evalValue<true>(p) : evalValue<false>(p);
}

template <int Kind>
float CCostFnSSD::evalDFast(const CImg<float>& p, CImg<float>& g)
{
    typedef Jac<Kind> Jk;
    const WarpState w{warp.sinAngle, warp.cosAngle, CWarp::scaleOf(p)};
    V4 acc[Jk::NV] = {};
    float sum = 0.f;
    walkD(p, [&](const WalkSample& s) {
        V4 J[Jk::NV];
        Jk::J(J, w, s.x, s.y, s.rdx, s.rdy);
        const float e = s.t - s.r;
        for (int v = 0; v < Jk::NV; ++v) acc[v] -= J[v] * e;
        sum += e * e;
    });
    float out[4 * Jk::NV];
    for (int k = 0; k < 4 * Jk::NV; ++k) out[k] = acc[k / 4][k % 4];
    storeScaled(g, out, Jk::N, 2.f / nSamples);
    return sum / nSamples;
}

float CCostFnSSD::evalDGeneric(const CImg<float>& p, CImg<float>& g)
{
    if (!g.is_empty()) g.fill(0.f);
    const int n = (int)jcbn.size(), ng = (int)g.size(), nc = n < ng ? n : ng;
    float sum = 0.f;
    walkD(p, [&](const WalkSample& s) {
        warp.CalcJcbn(jcbn, p, s.x, s.y, s.rdx, s.rdy);
        const float e = s.t - s.r;
        for (int k = 0; k < nc; ++k) g[k] -= jcbn[k] * e;
        sum += e * e;
    });
    const float f = 2.f / nSamples;
    for (int k = 0; k < ng; ++k) g[k] *= f;
    return sum / nSamples;
}

float CCostFnSSD::evalD(const CImg<float>& p, CImg<float>& g)
{
    switchSamplers(p);   // leaves the warp's angle state at p
    switch (warp.code) {
    case 2: case 23: case 24: case 26: return evalDFast<0>(p, g);
    case 3: return evalDFast<1>(p, g);
    case 4: return evalDFast<2>(p, g);
    case 6: return evalDFast<3>(p, g);
    default: return evalDGeneric(p, g);
    }
}

template <int Kind, bool Full>
float CCostFnSSD::evalHFast(const CImg<float>& p, CImg<float>& g, CImg<float>& H)
{
    typedef Jac<Kind> Jk;
    constexpr int N = Jk::N, NV = Jk::NV;
    const WarpState w{warp.sinAngle, warp.cosAngle, CWarp::scaleOf(p)};
    V4 gacc[NV] = {};
    V4 hacc[N][NV] = {};   // hacc[k]: column k of H (element (i, k) in lane i)
    float sum = 0.f;
    if (Full) {
        walkDD(p, [&](const WalkSample& s) {
            V4 J[NV], wx[NV], wy[NV];
            Jk::J(J, w, s.x, s.y, s.rdx, s.rdy);
            Jk::rows(wx, wy, w, s.x, s.y);
            float k22 = 0.f, k23 = 0.f;
            Jk::K(k22, k23, w, s.x, s.y, s.rdx, s.rdy);
            const float gxx = s.rdxx, gyy = s.rdyy, gxy = s.rdxy;
            const float d = s.r - s.t;
            forN<N>([&](auto k) {
                // Column k of the image term C = W' [gxx gxy; gxy gyy] W, plus K, then
                // (C + K) d + J J[k].
                const float wxk = wx[k / 4][k % 4], wyk = wy[k / 4][k % 4], jk = J[k / 4][k % 4];
                const float axk = gxx * wxk + gxy * wyk, ayk = gxy * wxk + gyy * wyk;
                for (int v = 0; v < NV; ++v) {
                    V4 c = wx[v] * axk + wy[v] * ayk;
                    if (Jk::hasK && v == 0) {
                        if (k == 2) { c[2] += k22; if (N > 3) c[3] += k23; }
                        else if (k == 3) c[2] += k23;
                    }
                    hacc[k][v] += c * d + J[v] * jk;
                }
            });
            for (int v = 0; v < NV; ++v) gacc[v] += J[v] * d;
            sum += d * d;
        });
    } else {
        walkD(p, [&](const WalkSample& s) {
            V4 J[NV];
            Jk::J(J, w, s.x, s.y, s.rdx, s.rdy);
            const float d = s.r - s.t;
            forN<N>([&](auto k) {
                const float jk = J[k / 4][k % 4];
                for (int v = 0; v < NV; ++v) hacc[k][v] += J[v] * jk;
            });
            for (int v = 0; v < NV; ++v) gacc[v] += J[v] * d;
            sum += d * d;
        });
    }
    const float f = 2.f / nSamples;
    float gv[4 * NV], hv[N * N];
    for (int k = 0; k < 4 * NV; ++k) gv[k] = gacc[k / 4][k % 4];
    for (int k = 0; k < N; ++k)
        for (int i = 0; i < N; ++i) hv[i + k * N] = hacc[k][i / 4][i % 4];
    storeScaled(g, gv, N, f);
    storeScaled(H, hv, N * N, f);
    return sum / nSamples;
}

float CCostFnSSD::evalHGeneric(const CImg<float>& p, CImg<float>& g, CImg<float>& H, bool full)
{
    if (!g.is_empty()) g.fill(0.f);
    if (!H.is_empty()) H.fill(0.f);
    const int n = (int)jcbn.size(), ng = (int)g.size(), nc = n < ng ? n : ng;
    const long nh = (long)H.size();
    float sum = 0.f;
    auto outer = [&](float d, bool curv) {
        for (int b = 0; b < n; ++b)
            for (int a = 0; a < n; ++a) {
                const long idx = a + (long)b * n;
                if (idx >= nh) continue;
                const float P = jcbn[a] * jcbn[b];
                H[idx] += curv ? (hessImg[idx] + hessWarp[idx]) * d + P : P;
            }
    };
    if (full) {
        walkDD(p, [&](const WalkSample& s) {
            warp.CalcJcbn(jcbn, p, s.x, s.y, s.rdx, s.rdy);
            warp.CalcHess(hessWarp, p, s.x, s.y, s.rdx, s.rdy);
            warp.CalcJcHs(hessImg, p, s.x, s.y, s.rdxx, s.rdyy, s.rdxy);
            const float d = s.r - s.t;
            for (int k = 0; k < nc; ++k) g[k] += d * jcbn[k];
            outer(d, true);
            sum += d * d;
        });
    } else {
        walkD(p, [&](const WalkSample& s) {
            warp.CalcJcbn(jcbn, p, s.x, s.y, s.rdx, s.rdy);
            const float d = s.r - s.t;
            outer(d, false);
            for (int k = 0; k < nc; ++k) g[k] += jcbn[k] * d;
            sum += d * d;
        });
    }
    const float f = 2.f / nSamples;
    for (int k = 0; k < ng; ++k) g[k] *= f;
    for (long k = 0; k < nh; ++k) H[k] *= f;
    return sum / nSamples;
}

float CCostFnSSD::evalH(const CImg<float>& p, CImg<float>& g, CImg<float>& H, bool full)
{
    switchSamplers(p);
    switch (warp.code) {
    case 2: case 23: case 24: case 26:
        return full ? evalHFast<0, true>(p, g, H) : evalHFast<0, false>(p, g, H);
    case 3: return full ? evalHFast<1, true>(p, g, H) : evalHFast<1, false>(p, g, H);
    case 4: return full ? evalHFast<2, true>(p, g, H) : evalHFast<2, false>(p, g, H);
    case 6: return full ? evalHFast<3, true>(p, g, H) : evalHFast<3, false>(p, g, H);
    default: return evalHGeneric(p, g, H, full);
    }
}

float CCostFnSSD::evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H)
{
    return evalH(p, g, H, true);
}

CCostFnSSDgn::CCostFnSSDgn(CImgI<float>& r, CImgI<float>& t, int code)
    : CCostFnSSD(r, t, code)
{
}

float CCostFnSSDgn::evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H)
{
    return evalH(p, g, H, false);
}
