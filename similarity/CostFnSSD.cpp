#include "similarity/CostFnSSD.h"

#include <cmath>
#include <iostream>

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

// Inlined steepest-descent vectors of the four warp types, with the arithmetic of CWarp's
// CalcJcbn, in lanes of V4 (entry k in lane k % 4 of vector k / 4, unused lanes 0); hasK:
// the warp has a curvature term (CalcHess). Kind 0: codes 2, 23, 24, 26 (translation rows);
// 1: code 3; 2: code 4; 3: code 6.
template <int Kind> struct Jac;

struct WarpState { float s, c, m; };

template <> struct Jac<0> {
    static constexpr int N = 2, NV = 1;
    static constexpr bool hasK = false;
    IMGALIGN_INLINE static void J(V4* J, const WarpState&, float, float, float gx, float gy) {
        J[0] = V4{gx, gy, 0.f, 0.f};
    }
};

template <> struct Jac<1> {
    static constexpr int N = 3, NV = 1;
    static constexpr bool hasK = true;
    IMGALIGN_INLINE static void J(V4* J, const WarpState& w, float x, float y, float gx, float gy) {
        const float s = w.s, c = w.c;
        J[0] = V4{gx, gy, gx * (c * y - s * x) + gy * (-c * x - s * y), 0.f};
    }
};

template <> struct Jac<2> {
    static constexpr int N = 4, NV = 1;
    static constexpr bool hasK = true;
    IMGALIGN_INLINE static void J(V4* J, const WarpState& w, float x, float y, float gx, float gy) {
        const float s = w.s, c = w.c;
        J[0] = V4{gx, gy, w.m * (gx * (c * y - s * x) + gy * (-c * x - s * y)),
                  gx * (c * x + s * y) + gy * (c * y - s * x)};
    }
};

template <> struct Jac<3> {
    static constexpr int N = 6, NV = 2;
    static constexpr bool hasK = false;
    IMGALIGN_INLINE static void J(V4* J, const WarpState&, float x, float y, float gx, float gy) {
        J[0] = V4{gx, gy, gx, gy} * V4{x, x, y, y};
        J[1] = V4{gx, gy, 0.f, 0.f};
    }
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

// The Hessian from moments. For every warp type the warp Jacobian W (2 x n, column k =
// (dx'/dp_k, dy'/dp_k)) is affine in the centred coordinates: W = E0 + x E1 + y E2, and the
// warp curvature is linear in them. So with M = g g' (+ d G for the full Hessian; g the
// reference gradient, G its 2 x 2 second derivatives, d = Iw - T)
//   sum J J' + d C = sum W' M W = sum over a, b of Ea' (sum u_a u_b M) Eb,   u = (1, x, y),
// and the warp-curvature term needs only the sums of u_a d g. The samples add the three
// distinct entries of M weighted by 1, y, y^2 within a column (x is constant there); each
// column is folded into the six moments once; the n x n matrix is expanded once per
// evaluation. The value and the gradient are accumulated exactly as evalD does.
template <int Kind, bool Full>
float CCostFnSSD::evalHFast(const CImg<float>& p, CImg<float>& g, CImg<float>& H)
{
    typedef Jac<Kind> Jk;
    constexpr int N = Jk::N, NV = Jk::NV;
    constexpr bool XY = Kind != 0;            // the Jacobian depends on (x, y)
    constexpr bool KT = Full && Jk::hasK;     // warp-curvature term present
    const WarpState w{warp.sinAngle, warp.cosAngle, CWarp::scaleOf(p)};
    V4 gacc[NV] = {};
    float sum = 0.f;
    // Column sums of (Mxx, Mxy, My y, d gx) times 1, y, y^2, and of d gy times 1, y.
    V4 c0 = {}, c1 = {}, c2 = {};
    float e0 = 0.f, e1 = 0.f;
    // Moments: t_ab = sum u_a u_b (Mxx, Mxy, Myy, d gx); ux = sum x d gy, uy = sum y d gy.
    V4 t00 = {}, t01 = {}, t11 = {}, t02 = {}, t12 = {}, t22 = {};
    float ux = 0.f, uy = 0.f;
    float cx = -tmpCx;   // x of the first column
    auto fold = [&](float x) {
        const float xx = x * x;
        t00 += c0; t01 += c0 * x; t11 += c0 * xx;
        t02 += c1; t12 += c1 * x; t22 += c2;
        if (KT) { ux += e0 * x; uy += e1; }
        c0 = c1 = c2 = V4{};
        e0 = e1 = 0.f;
    };
    auto sample = [&](const WalkSample& s, V4 a, float d) {
        if (XY && s.x != cx) { fold(cx); cx = s.x; }
        V4 J[NV];
        Jk::J(J, w, s.x, s.y, s.rdx, s.rdy);
        for (int v = 0; v < NV; ++v) gacc[v] += J[v] * d;
        sum += d * d;
        c0 += a;
        if (XY) { c1 += a * s.y; c2 += a * (s.y * s.y); }
        if (KT) { const float dgy = d * s.rdy; e0 += dgy; e1 += dgy * s.y; }
    };
    if (Full) {
        walkDD(p, [&](const WalkSample& s) {
            const float d = s.r - s.t, gx = s.rdx, gy = s.rdy;
            const V4 a = V4{gx, gx, gy, d} * V4{gx, gy, gy, gx} + V4{s.rdxx, s.rdxy, s.rdyy, 0.f} * d;
            sample(s, a, d);
        });
    } else {
        walkD(p, [&](const WalkSample& s) {
            const float d = s.r - s.t, gx = s.rdx, gy = s.rdy;
            sample(s, V4{gx, gx, gy, d} * V4{gx, gy, gy, gx}, d);
        });
    }
    fold(cx);

    // Ea as (ex, ey)[a][k]; the non-zero entries per warp type.
    double ex[3][N] = {}, ey[3][N] = {};
    const double sn = w.s, cs = w.c, m = w.m;
    if constexpr (Kind == 3) {
        ex[1][0] = 1; ey[1][1] = 1; ex[2][2] = 1; ey[2][3] = 1; ex[0][4] = 1; ey[0][5] = 1;
    } else {
        ex[0][0] = 1; ey[0][1] = 1;
    }
    if constexpr (Kind == 1 || Kind == 2) {
        const double f2 = Kind == 2 ? m : 1.0;
        ex[1][2] = -f2 * sn; ey[1][2] = -f2 * cs;
        ex[2][2] = f2 * cs;  ey[2][2] = -f2 * sn;
    }
    if constexpr (Kind == 2) {
        ex[1][3] = cs; ey[1][3] = -sn;
        ex[2][3] = sn; ey[2][3] = cs;
    }
    const V4* T[3][3] = {{&t00, &t01, &t02}, {&t01, &t11, &t12}, {&t02, &t12, &t22}};
    double Hd[N][N];
    for (int k = 0; k < N; ++k)
        for (int i = 0; i <= k; ++i) {
            double h = 0;
            for (int a = 0; a < 3; ++a) {
                if (!XY && a > 0) break;
                for (int b = 0; b < 3; ++b) {
                    if (!XY && b > 0) break;
                    const V4& t = *T[a][b];
                    h += ex[a][i] * ex[b][k] * t[0] + (ex[a][i] * ey[b][k] + ey[a][i] * ex[b][k]) * t[1] +
                         ey[a][i] * ey[b][k] * t[2];
                }
            }
            Hd[i][k] = h;
        }
    if constexpr (KT) {
        // d (gx d2x'/dp dp' + gy d2y'/dp dp'), linear in (x, y): from sums of x d g, y d g.
        const double gxX = t01[3], gxY = t02[3], gyX = ux, gyY = uy;
        const double k22 = -cs * gxX - sn * gxY + sn * gyX - cs * gyY;
        Hd[2][2] += Kind == 2 ? m * k22 : k22;
        if constexpr (Kind == 2) Hd[2][3] += -sn * gxX + cs * gxY - cs * gyX - sn * gyY;
    }
    const float f = 2.f / nSamples;
    float gv[4 * NV], hv[N * N];
    for (int k = 0; k < 4 * NV; ++k) gv[k] = gacc[k / 4][k % 4];
    for (int k = 0; k < N; ++k)
        for (int i = 0; i <= k; ++i) hv[i + k * N] = hv[k + i * N] = (float)Hd[i][k];
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
