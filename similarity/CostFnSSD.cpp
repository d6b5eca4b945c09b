#include "similarity/CostFnSSD.h"

#include <cmath>
#include <iostream>

namespace {

// Inlined warp derivatives of the four warp types, with the arithmetic of CWarp's
// CalcJcbn, CalcHess and CalcJcHs. Kind 0: codes 2, 23, 24, 26 (translation rows);
// 1: code 3; 2: code 4; 3: code 6.
template <int Kind> struct Jac;

struct WarpState { float s, c, m; };

template <> struct Jac<0> {
    static constexpr int N = 2;
    static void J(float* J, const WarpState&, float, float, float gx, float gy) { J[0] = gx; J[1] = gy; }
    static void rows(float* wx, float* wy, const WarpState&, float, float) {
        wx[0] = 1.f; wy[0] = 0.f; wx[1] = 0.f; wy[1] = 1.f;
    }
    static void K(float*, const WarpState&, float, float, float, float) {}
};

template <> struct Jac<1> {
    static constexpr int N = 3;
    static void J(float* J, const WarpState& w, float x, float y, float gx, float gy) {
        const float s = w.s, c = w.c;
        J[0] = gx; J[1] = gy;
        J[2] = gx * (c * y - s * x) + gy * (-c * x - s * y);
    }
    static void rows(float* wx, float* wy, const WarpState& w, float x, float y) {
        const float s = w.s, c = w.c;
        wx[0] = 1.f; wy[0] = 0.f; wx[1] = 0.f; wy[1] = 1.f;
        wx[2] = c * y - s * x; wy[2] = -c * x - s * y;
    }
    // Adds the warp-curvature term K to the n x n block C.
    static void K(float* C, const WarpState& w, float x, float y, float gx, float gy) {
        const float s = w.s, c = w.c;
        C[2 + 2 * N] += gx * (-c * x - s * y) + gy * (s * x - c * y);
    }
};

template <> struct Jac<2> {
    static constexpr int N = 4;
    static void J(float* J, const WarpState& w, float x, float y, float gx, float gy) {
        const float s = w.s, c = w.c;
        J[0] = gx; J[1] = gy;
        J[2] = w.m * (gx * (c * y - s * x) + gy * (-c * x - s * y));
        J[3] = gx * (c * x + s * y) + gy * (c * y - s * x);
    }
    static void rows(float* wx, float* wy, const WarpState& w, float x, float y) {
        const float s = w.s, c = w.c, m = w.m;
        wx[0] = 1.f; wy[0] = 0.f; wx[1] = 0.f; wy[1] = 1.f;
        wx[2] = m * (c * y - s * x); wy[2] = m * (-c * x - s * y);
        wx[3] = c * x + s * y; wy[3] = c * y - s * x;
    }
    static void K(float* C, const WarpState& w, float x, float y, float gx, float gy) {
        const float s = w.s, c = w.c;
        C[2 + 2 * N] += w.m * (gx * (-c * x - s * y) + gy * (s * x - c * y));
        const float h23 = gx * (c * y - s * x) + gy * (-c * x - s * y);
        C[2 + 3 * N] += h23;
        C[3 + 2 * N] += h23;
    }
};

template <> struct Jac<3> {
    static constexpr int N = 6;
    static void J(float* J, const WarpState&, float x, float y, float gx, float gy) {
        J[0] = gx * x; J[1] = gy * x; J[2] = gx * y; J[3] = gy * y; J[4] = gx; J[5] = gy;
    }
    static void rows(float* wx, float* wy, const WarpState&, float x, float y) {
        wx[0] = x; wy[0] = 0.f; wx[1] = 0.f; wy[1] = x;
        wx[2] = y; wy[2] = 0.f; wx[3] = 0.f; wy[3] = y;
        wx[4] = 1.f; wy[4] = 0.f; wx[5] = 0.f; wy[5] = 1.f;
    }
    static void K(float*, const WarpState&, float, float, float, float) {}
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
    constexpr int N = Jac<Kind>::N;
    const WarpState w{warp.sinAngle, warp.cosAngle, CWarp::scaleOf(p)};
    float acc[N] = {};
    float sum = 0.f;
    walkD(p, [&](const WalkSample& s) {
        float J[N];
        Jac<Kind>::J(J, w, s.x, s.y, s.rdx, s.rdy);
        const float e = s.t - s.r;
        for (int k = 0; k < N; ++k) acc[k] -= J[k] * e;
        sum += e * e;
    });
    storeScaled(g, acc, N, 2.f / nSamples);
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
    constexpr int N = Jac<Kind>::N;
    const WarpState w{warp.sinAngle, warp.cosAngle, CWarp::scaleOf(p)};
    float gacc[N] = {};
    float hacc[N * N] = {};
    float sum = 0.f;
    if (Full) {
        walkDD(p, [&](const WalkSample& s) {
            float J[N], wx[N], wy[N], ax[N], ay[N], C[N * N];
            Jac<Kind>::J(J, w, s.x, s.y, s.rdx, s.rdy);
            Jac<Kind>::rows(wx, wy, w, s.x, s.y);
            const float gxx = s.rdxx, gyy = s.rdyy, gxy = s.rdxy;
            for (int k = 0; k < N; ++k) {
                ax[k] = gxx * wx[k] + gxy * wy[k];
                ay[k] = gxy * wx[k] + gyy * wy[k];
            }
            for (int k = 0; k < N; ++k)
                for (int i = 0; i < N; ++i) C[i + k * N] = wx[i] * ax[k] + wy[i] * ay[k];
            Jac<Kind>::K(C, w, s.x, s.y, s.rdx, s.rdy);
            const float d = s.r - s.t;
            for (int k = 0; k < N; ++k) gacc[k] += d * J[k];
            for (int b = 0; b < N; ++b)
                for (int a = 0; a < N; ++a) hacc[a + b * N] += C[a + b * N] * d + J[a] * J[b];
            sum += d * d;
        });
    } else {
        walkD(p, [&](const WalkSample& s) {
            float J[N];
            Jac<Kind>::J(J, w, s.x, s.y, s.rdx, s.rdy);
            const float d = s.r - s.t;
            for (int b = 0; b < N; ++b)
                for (int a = 0; a < N; ++a) hacc[a + b * N] += J[a] * J[b];
            for (int k = 0; k < N; ++k) gacc[k] += J[k] * d;
            sum += d * d;
        });
    }
    const float f = 2.f / nSamples;
    storeScaled(g, gacc, N, f);
    storeScaled(H, hacc, N * N, f);
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
