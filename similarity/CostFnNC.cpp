#include "similarity/CostFnNC.h"

#include <cmath>
#include <cstddef>

#include "similarity/inlining.h"

namespace {

// Per-sample products gathered by the walk, in the order of the evaluation that needs them:
//   value:  rr, tt, rt
//   first:  r gx, r gy, t gx, t gy, rr, tt, rt
//   second: r gx, r gy, t gx, t gy, r gxx, r gxy, r gyy, t gxx, t gxy, t gyy,
//           gx gx, gx gy, gy gy, rr, tt, rt
enum { kRgx = 0, kRgy, kTgx, kTgy, kRgxx, kRgxy, kRgyy, kTgxx, kTgxy, kTgyy, kGxx, kGxy, kGyy };
enum { kOne = 0, kX, kY, kXX, kXY, kYY };   // monomials of the centred coordinates

// Coefficients over (1, x, y, x^2, xy, y^2) of the product of two affine functions
// u0 + u1 x + u2 y and v0 + v1 x + v2 y.
inline void polyProduct(const double* u, const double* v, double* c)
{
    c[kOne] = u[0] * v[0];
    c[kX] = u[0] * v[1] + u[1] * v[0];
    c[kY] = u[0] * v[2] + u[2] * v[0];
    c[kXX] = u[1] * v[1];
    c[kXY] = u[1] * v[2] + u[2] * v[1];
    c[kYY] = u[2] * v[2];
}

// The quadratic over the six monomials of ui' Q uk for two Jacobian rows ui = (uxi, uyi),
// uk = (uxk, uyk) (each affine in x, y) and Q = [qxx qxy; qxy qyy]: its coefficients per
// entry of Q, and the sum over the samples with the products qxx, qxy, qyy for Q.
struct RowPair {
    double xx[6], xy[6], yy[6];
    RowPair(const double* ui, const double* uk)
    {
        double yx[6];
        polyProduct(ui, uk, xx);
        polyProduct(ui, uk + 3, xy);
        polyProduct(ui + 3, uk, yx);
        polyProduct(ui + 3, uk + 3, yy);
        for (int u = 0; u < 6; ++u) xy[u] += yx[u];
    }
    template <class Moments>
    double sum(const Moments& m, int qxx, int qxy, int qyy) const
    {
        return m.quad(qxx, xx) + m.quad(qxy, xy) + m.quad(qyy, yy);
    }
};

}  // namespace

// Moments over the template coordinates: M[u][q] = sum of product q times monomial u.
// Columns are summed in float by the walk (x is constant down a column) and added here in
// double once per column.
struct CCostFnNC::Moments {
    double M[6][16] = {};
    int iRR = 0;   // index of rr; tt and rt follow

    template <int Q, int Q1>
    void flush(float x, const float* a0, const float* a1, const float* a2, bool second)
    {
        const double xd = x, x2 = xd * xd;
        for (int e = 0; e < Q; ++e) {
            M[kOne][e] += a0[e];
            M[kX][e] += xd * a0[e];
            M[kXX][e] += x2 * a0[e];
        }
        for (int e = 0; e < Q1; ++e) {
            M[kY][e] += a1[e];
            M[kXY][e] += xd * a1[e];
        }
        if (second)
            for (int e = kRgxx; e < 16; ++e) M[kYY][e] += a2[e];
    }
    double rr() const { return M[kOne][iRR]; }
    double tt() const { return M[kOne][iRR + 1]; }
    double rt() const { return M[kOne][iRR + 2]; }
    // sum q times the affine function c0 + c1 x + c2 y
    double lin(int q, const double* c) const { return c[0] * M[kOne][q] + c[1] * M[kX][q] + c[2] * M[kY][q]; }
    // sum q times the quadratic with coefficients c over the six monomials
    double quad(int q, const double* c) const
    {
        double s = 0.0;
        for (int u = 0; u < 6; ++u) s += c[u] * M[u][q];
        return s;
    }
};

CCostFnNC::CCostFnNC(CImgI<float>& r, CImgI<float>& t, int code)
    : CCostFn(r, t, code)
{
    const int n = nParams;
    sumRJ.assign(n, 1, 1, 1, 0.f);
    sumTJ.assign(n, 1, 1, 1, 0.f);
    sumRHessImg.assign(n, n, 1, 1, 0.f);
    sumRHessWarp.assign(n, n, 1, 1, 0.f);
    sumTHessImg.assign(n, n, 1, 1, 0.f);
    sumTHessWarp.assign(n, n, 1, 1, 0.f);
    sumJJ.assign(n, n, 1, 1, 0.f);
    hessWarp.assign(n, n, 1, 1, 0.f);
    hessImg.assign(n, n, 1, 1, 0.f);
    rows_.assign(14 * (n > 0 ? n : 1), 1, 1, 1, 0.0);
    warpK_.assign(6 * (n > 0 ? n * n : 1), 1, 1, 1, 0.0);
    // columns and rows of the walk at rate 1; 48 sums per column for the Hessian walk
    reserveColumns(tmpW > 0.f ? int(tmpW) : 1, tmpH > 0.f ? int(tmpH) : 1, 48);
}

CCostFnNC::~CCostFnNC() {}

// Room for the column sums of a walk (`sums` per column, as a sums x cols image so that
// its size cannot overflow), the columns' x, and one column of samples.
void CCostFnNC::reserveColumns(int cols, int rows, int sums)
{
    // Grows only after a change of the sampling rate.
    if (std::size_t(colSums_.size()) < std::size_t(sums) * std::size_t(cols))
        colSums_.assign(sums, cols, 1, 1, 0.f);
    if (std::size_t(colX_.size()) < std::size_t(cols)) colX_.assign(cols, 1, 1, 1, 0.f);
    if (std::size_t(colY_.size()) < std::size_t(rows)) {
        colBuf_.assign(16, rows, 1, 1, 0.f);
        colY_.assign(rows, 1, 1, 1, 0.f);
    }
}

// Value and gradient walks: the sums of a column stay in registers and are stored once per
// column (the per-sample body stays small enough to be inlined into the walk); the columns
// are folded into the moments after the walk.
template <int Deriv>
void CCostFnNC::gather(const CImg<float>& p, Moments& m)
{
    static_assert(Deriv == 0 || Deriv == 1, "second-derivative walk: gatherDD");
    initRxyIterator(p);
    const int rows = walkRows, cols = walkCols;
    reserveColumns(cols, rows, 16);
    float* out = colSums_.data();
    float* xs = colX_.data();
    int k = 0;
    float rr = 0.f, tt = 0.f, rt = 0.f;
    float rgx = 0.f, rgy = 0.f, tgx = 0.f, tgy = 0.f;       // column sums
    float rgxY = 0.f, rgyY = 0.f, tgxY = 0.f, tgyY = 0.f;   // the same weighted by y
    auto body = [&](const WalkSample& s) IMGALIGN_INLINE {
        const float r = s.r, t = s.t;
        rr += r * r;
        tt += t * t;
        rt += r * t;
        if constexpr (Deriv == 1) {
            const float y = s.y;
            const float a = r * s.rdx, b = r * s.rdy, c = t * s.rdx, d = t * s.rdy;
            rgx += a; rgy += b; tgx += c; tgy += d;
            rgxY += a * y; rgyY += b * y; tgxY += c * y; tgyY += d * y;
        }
        if (++k == rows) {
            k = 0;
            *xs++ = s.x;
            out[0] = rr; out[1] = tt; out[2] = rt;
            rr = tt = rt = 0.f;
            if constexpr (Deriv == 1) {
                out[3] = rgx; out[4] = rgy; out[5] = tgx; out[6] = tgy;
                out[7] = rgxY; out[8] = rgyY; out[9] = tgxY; out[10] = tgyY;
                rgx = rgy = tgx = tgy = rgxY = rgyY = tgxY = tgyY = 0.f;
            }
            out += 16;
        }
    };
    if constexpr (Deriv == 0) walkValue(p, body);
    else walkD(p, body);

    const std::ptrdiff_t done = xs - colX_.data();
    const float zero[8] = {};
    for (std::ptrdiff_t c = 0; c < done; ++c) {
        const float* v = colSums_.data() + 16 * c;
        // moments order: r gx, r gy, t gx, t gy, rr, tt, rt
        const float a0[8] = {v[3], v[4], v[5], v[6], v[0], v[1], v[2], 0.f};
        const float a1[8] = {v[7], v[8], v[9], v[10], 0.f, 0.f, 0.f, 0.f};
        if constexpr (Deriv == 0) m.flush<3, 0>(colX_[c], a0 + 4, zero, zero, false);
        else m.flush<7, 4>(colX_[c], a0, a1, zero, false);
    }
    m.iRR = Deriv == 0 ? 0 : 4;
}

// Sums of one column of second-derivative products, stored for the fold after the walk
// (kept out of the walk, whose per-sample body is inlined).
IMGALIGN_NOINLINE void CCostFnNC::sumColumn(int rows, float x, float* out)
{
    const float* B = colBuf_.data();
    const float* Y = colY_.data();
    float a0[16] = {}, a1[16] = {}, a2[16] = {};
    for (int j = 0; j < rows; ++j) {
        const float* v = B + 16 * j;
        const float y = Y[j], y2 = y * y;
        for (int e = 0; e < 16; ++e) {
            a0[e] += v[e];
            a1[e] += v[e] * y;
            a2[e] += v[e] * y2;
        }
    }
    (void)x;
    for (int e = 0; e < 16; ++e) {
        out[e] = a0[e];
        out[16 + e] = a1[e];
        out[32 + e] = a2[e];
    }
}

// Second-derivative walk: the sixteen products of each sample go to a column buffer, which
// is summed (with the weights y and y^2) once per column.
void CCostFnNC::gatherDD(const CImg<float>& p, Moments& m)
{
    initRxyIterator(p);
    const int rows = walkRows, cols = walkCols;
    reserveColumns(cols, rows, 48);
    float* const B = colBuf_.data();
    float* const Y = colY_.data();
    float* out = colSums_.data();
    float* xs = colX_.data();
    int k = 0;
    walkDD(p, [&](const WalkSample& s) IMGALIGN_INLINE {
        const float r = s.r, t = s.t, gx = s.rdx, gy = s.rdy;
        const float gxx = s.rdxx, gxy = s.rdxy, gyy = s.rdyy;
        float* q = B + 16 * k;
        q[kRgx] = r * gx; q[kRgy] = r * gy; q[kTgx] = t * gx; q[kTgy] = t * gy;
        q[kRgxx] = r * gxx; q[kRgxy] = r * gxy; q[kRgyy] = r * gyy;
        q[kTgxx] = t * gxx; q[kTgxy] = t * gxy; q[kTgyy] = t * gyy;
        q[kGxx] = gx * gx; q[kGxy] = gx * gy; q[kGyy] = gy * gy;
        q[13] = r * r; q[14] = t * t; q[15] = r * t;
        Y[k] = s.y;
        if (++k == rows) {
            k = 0;
            *xs++ = s.x;
            sumColumn(rows, s.x, out);
            out += 48;
        }
    });
    const std::ptrdiff_t done = xs - colX_.data();
    for (std::ptrdiff_t c = 0; c < done; ++c) {
        const float* v = colSums_.data() + 48 * c;
        m.flush<16, 13>(colX_[c], v, v + 16, v + 32, true);
    }
    m.iRR = 13;
}

// sum r J and sum t J from the moments, into sums[0 .. n - 1] and sums[n .. 2n - 1] in double
// and into sumRJ, sumTJ; g becomes the n x 1 gradient.
void CCostFnNC::gradient(const Moments& m, const double* rowsJ, double* sums, CImg<float>& g)
{
    const int n = nParams;
    const double Srr = m.rr(), Stt = m.tt(), Srt = m.rt();
    const double f1 = 1.0 / (Srr * std::sqrt(Srr) * std::sqrt(Stt));
    double* a = sums;
    double* b = sums + n;
    g.assign(n, 1, 1, 1);
    for (int i = 0; i < n; ++i) {
        const double* w = rowsJ + 6 * i;
        a[i] = m.lin(kRgx, w) + m.lin(kRgy, w + 3);
        b[i] = m.lin(kTgx, w) + m.lin(kTgy, w + 3);
        sumRJ[i] = float(a[i]);
        sumTJ[i] = float(b[i]);
        g[i] = float((Srt * a[i] - Srr * b[i]) * f1);
    }
}

void CCostFnNC::jacobianRows(const CImg<float>& p, double* rowsJ, double* rowsC)
{
    const int n = nParams;
    warp.jacobianCoefs(p, n, rowsJ);
    // The image-curvature term reads the rows CalcJcHs puts into the warp's `jacobian`: the
    // same rows where it fills them, its fixed contents elsewhere.
    const int fill = warp.jacobianFillRows(), nw = warp.jacobian.height();
    for (int i = 0; i < n; ++i)
        for (int a = 0; a < 2; ++a) {
            double* o = rowsC + 6 * i + 3 * a;
            if (i < fill) {
                const double* j = rowsJ + 6 * i + 3 * a;
                o[0] = j[0]; o[1] = j[1]; o[2] = j[2];
            } else {
                o[0] = i < nw ? double(warp.jacobian(a, i)) : 0.0;
                o[1] = o[2] = 0.0;
            }
        }
}

float CCostFnNC::eval(const CImg<float>& p)
{
    switchSamplers(p);
    Moments m;
    gather<0>(p, m);
    return float(-m.rt() / std::sqrt(m.rr() * m.tt()));
}

float CCostFnNC::evalD(const CImg<float>& p, CImg<float>& g)
{
    switchSamplers(p);
    const int n = nParams;
    jcbn.fill(0.f);
    Moments m;
    gather<1>(p, m);
    double* rowsJ = rows_.data();
    double* rowsC = rowsJ + 6 * n;
    jacobianRows(p, rowsJ, rowsC);
    gradient(m, rowsJ, rowsC + 6 * n, g);
    return float(-m.rt() / std::sqrt(m.rr() * m.tt()));
}

float CCostFnNC::evalDD(const CImg<float>& p, CImg<float>& g, CImgE<float>& H)
{
    switchSamplers(p);
    const int n = nParams;
    jcbn.fill(0.f);
    Moments m;
    gatherDD(p, m);
    double* rowsJ = rows_.data();
    double* rowsC = rowsJ + 6 * n;
    jacobianRows(p, rowsJ, rowsC);

    // Warp curvature: K is linear in the gradient and affine in (x, y) as well.
    // warpK_[(3 a + c) n^2 + i + k n]: coefficient c of the gx (a = 0) or gy (a = 1) part.
    double* K = warpK_.data();
    const long nn = (long)n * n;
    {
        const float px[3] = {0.f, 1.f, 0.f}, py[3] = {0.f, 0.f, 1.f};
        for (int a = 0; a < 2; ++a)
            for (int c = 0; c < 3; ++c) {
                warp.CalcHess(hessWarp, p, px[c], py[c], a == 0 ? 1.f : 0.f, a == 0 ? 0.f : 1.f);
                double* d = K + (3 * a + c) * nn;
                for (long e = 0; e < nn; ++e) d[e] = hessWarp[e];
            }
        for (int a = 0; a < 2; ++a) {
            double* k0 = K + (3 * a) * nn;
            for (int c = 1; c < 3; ++c) {
                double* kc = K + (3 * a + c) * nn;
                for (long e = 0; e < nn; ++e) kc[e] -= k0[e];
            }
        }
    }

    double* a = rowsC + 6 * n;   // sum r J, sum t J in double
    double* b = a + n;
    gradient(m, rowsJ, a, g);
    const double Srr = m.rr(), Stt = m.tt(), Srt = m.rt();
    const double f2 = -1.0 / (Srr * Srr * std::sqrt(Srr) * std::sqrt(Stt));
    H.assign(n, n, 1, 1);
    for (int k = 0; k < n; ++k)
        for (int i = 0; i < n; ++i) {
            const long e = i + (long)k * n;
            // image curvature C(i, k) = wx_i (gxx wx_k + gxy wy_k) + wy_i (gxy wx_k + gyy wy_k)
            const RowPair c(rowsC + 6 * i, rowsC + 6 * k);
            const double rC = c.sum(m, kRgxx, kRgxy, kRgyy);
            const double tC = c.sum(m, kTgxx, kTgxy, kTgyy);
            // J_i J_k with J = gx wx + gy wy
            const double JJ = RowPair(rowsJ + 6 * i, rowsJ + 6 * k).sum(m, kGxx, kGxy, kGyy);
            // warp curvature K(i, k), linear in the gradient
            double kx[3], ky[3];
            for (int c = 0; c < 3; ++c) {
                kx[c] = K[c * nn + e];
                ky[c] = K[(3 + c) * nn + e];
            }
            const double rK = m.lin(kRgx, kx) + m.lin(kRgy, ky);
            const double tK = m.lin(kTgx, kx) + m.lin(kTgy, ky);
            sumRHessImg[e] = float(rC);
            sumTHessImg[e] = float(tC);
            sumRHessWarp[e] = float(rK);
            sumTHessWarp[e] = float(tK);
            sumJJ[e] = float(JJ);
            H[e] = float(f2 * (3.0 * Srt * a[i] * a[k] - Srr * (a[i] * b[k] + b[i] * a[k]) +
                               Srr * Srr * (tC + tK) - Srr * Srt * (JJ + rC + rK)));
        }
    return float(-Srt / std::sqrt(Srr * Stt));
}
