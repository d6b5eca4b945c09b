#include "steps/tools/hist.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// trunc(max A) + 1, or 0 when A holds no usable maximum; throws on an empty A.
unsigned autoBins(const CImg<double>& A)
{
    const double m = A.max();
    if (!(m >= 0)) return 0;  // negative or NaN: no bin can be valid
    const double n = std::trunc(m) + 1;
    return n > double(std::numeric_limits<unsigned>::max()) ? std::numeric_limits<unsigned>::max()
                                                            : unsigned(n);
}

// Accumulates w(k) at the joint bin of (A_k, B_k) over A's elements.
template <class Weight>
CImg<double> joint(const CImg<double>& A, const CImg<double>& B, unsigned nA, unsigned nB,
                   size_t count, Weight w)
{
    if (!nA) nA = autoBins(A);
    if (!nB) nB = autoBins(B);
    CImg<double> H(nA, nB, 1, 1, 0.0);
    const double* a = A.data();
    const double* b = B.data();
    double* h = H.data();
    for (size_t k = 0; k < count; ++k) {
        const long i = BinOf(a[k], nA), j = BinOf(b[k], nB);
        if (i >= 0 && j >= 0) h[size_t(i) + size_t(nA) * size_t(j)] += w(k);
    }
    return H;
}

template <class Weight>
CImg<double> marginal(const CImg<double>& A, unsigned n, size_t count, Weight w)
{
    if (!n) n = autoBins(A);
    CImg<double> h(n, 1, 1, 1, 0.0);
    const double* a = A.data();
    double* ph = h.data();
    for (size_t k = 0; k < count; ++k) {
        const long i = BinOf(a[k], n);
        if (i >= 0) ph[i] += w(k);
    }
    return h;
}

}  // namespace

CImg<double> HistJnt(const CImg<double>& A, const CImg<double>& B, unsigned nA, unsigned nB)
{
    const double inc = 1.0 / double(A.size());
    return joint(A, B, nA, nB, std::min(A.size(), B.size()), [inc](size_t) { return inc; });
}

CImg<double> HistJntWt(const CImg<double>& A, const CImg<double>& B, const CImg<double>& W,
                       unsigned nA, unsigned nB)
{
    const double* pw = W.data();
    CImg<double> H = joint(A, B, nA, nB, std::min({A.size(), B.size(), W.size()}),
                           [pw](size_t k) { return pw[k]; });
    if (A.size()) H /= double(A.size());
    return H;
}

CImg<double> HistMrg(const CImg<double>& A, unsigned n)
{
    const double inc = 1.0 / double(A.size());
    return marginal(A, n, A.size(), [inc](size_t) { return inc; });
}

CImg<double> HistMrgWt(const CImg<double>& A, const CImg<double>& W, unsigned n)
{
    const double* pw = W.data();
    CImg<double> h = marginal(A, n, std::min(A.size(), W.size()), [pw](size_t k) { return pw[k]; });
    if (A.size()) h /= double(A.size());
    return h;
}

CImg<double> SumDim(const CImg<double>& A, int d)
{
    if (d < 1 || d > 4) d = 1;
    const unsigned dims[4] = {A._width, A._height, A._depth, A._spectrum};
    unsigned out[4] = {dims[0], dims[1], dims[2], dims[3]};
    out[d - 1] = 1;
    CImg<double> S(out[0], out[1], out[2], out[3], 0.0);
    if (A.is_empty()) return S;
    // Element (x, y, z, c) lands at the same position with coordinate d set to 0. A's storage
    // order, with `inner` the elements before dimension d and `outer` the blocks after it.
    size_t inner = 1, outer = 1;
    for (int a = 0; a < d - 1; ++a) inner *= dims[a];
    for (int a = d; a < 4; ++a) outer *= dims[a];
    const size_t n = dims[d - 1];
    const double* pa = A.data();
    for (size_t o = 0; o < outer; ++o) {
        double* ps = S.data() + inner * o;
        for (size_t j = 0; j < n; ++j)
            for (size_t i = 0; i < inner; ++i) ps[i] += *pa++;
    }
    return S;
}

double entropy(const CImg<double>& P)
{
    double s = 0;
    const double* p = P.data();
    const size_t n = P.size();
    for (size_t k = 0; k < n; ++k)
        if (p[k] > 0) s += p[k] * std::log(p[k]);
    return -s;
}

bool ValidBins(const CImg<double>& A, double& max)
{
    const double* a = A.data();
    const size_t n = A.size();
    bool ok = true;
    double m = n ? a[0] : 0.0;
    for (size_t k = 0; k < n; ++k) {
        const double v = a[k];
        ok &= v >= 0 && v <= std::numeric_limits<double>::max();  // false for NaN
        m = v > m ? v : m;
    }
    max = m;
    return ok;
}

CImg<double> MiWeights(const CImg<double>& P, const CImg<double>& pA, const CImg<double>& pB)
{
    CImg<double> L(P.width(), P.height(), 1, 1, 0.0);
    const bool hasA = !pA.is_empty();
    cimg_forXY(L, x, y) L(x, y) = MiWeight(P(x, y), hasA ? pA[x] : 1.0, pB[y]);
    return L;
}

double SumProduct(const CImg<double>& A, const CImg<double>& L)
{
    const size_t n = std::min(A.size(), L.size());
    const double* a = A.data();
    const double* l = L.data();
    double s = 0;
    for (size_t k = 0; k < n; ++k) s += a[k] * l[k];
    return s;
}
