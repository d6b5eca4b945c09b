#include "similarity/CostFnMIpv.h"

// The per-sample bodies belong inlined into the walk (one instantiation per sampler).
#if defined(__GNUC__)
#define PV_INLINE __attribute__((always_inline))
#else
#define PV_INLINE
#endif

namespace {

typedef CImgI<float> Img;

// Neighbourhood reader of a footprint size, clamped or `_nb`.
template <int Taps, bool Nb> struct Nbhd;
// read: the intensities truncated to integers (nbhdBins); readF: the pixel values, which
// CCostFnMI::binOf turns into the same bins clamped into the table, without a branch.
#define PV_READER(TAPS, NB, FN)                                                              \
    template <> struct Nbhd<TAPS, NB> {                                                       \
        static PV_INLINE void read(Img& I, float x, float y, int* o, float& dx, float& dy) {  \
            I.template FN<int>(x, y, o, dx, dy);                                              \
        }                                                                                     \
        static PV_INLINE void readF(Img& I, float x, float y, float* o, float& dx, float& dy) { \
            I.template FN<float>(x, y, o, dx, dy);                                            \
        }                                                                                     \
    };
PV_READER(1, false, nNeighbourhood1)
PV_READER(1, true, nNeighbourhood1_nb)
PV_READER(4, false, nNeighbourhood4)
PV_READER(4, true, nNeighbourhood4_nb)
PV_READER(9, false, nNeighbourhood9)
PV_READER(9, true, nNeighbourhood9_nb)
PV_READER(16, false, nNeighbourhood16)
PV_READER(16, true, nNeighbourhood16_nb)
#undef PV_READER

// B-spline weights of the footprint: value, derivative along b (the x offset) and along a
// (the y offset).
template <int Taps> struct Wts;
#define PV_WEIGHTS(TAPS, V, DB, DA)                                                           \
    template <> struct Wts<TAPS> {                                                            \
        static float* val(C2dBspline& b, float a, float c) { return b.V(a, c); }             \
        static float* dB(C2dBspline& b, float a, float c, float*& o) { return b.DB(a, c, o); } \
        static float* dA(C2dBspline& b, float a, float c, float*& o) { return b.DA(a, c, o); } \
    };
PV_WEIGHTS(1, zeroSample, zDzSample, DzzSample)
PV_WEIGHTS(4, linearSample, lDlSample, DllSample)
PV_WEIGHTS(9, quadSample, qDqSample, DqqSample)
PV_WEIGHTS(16, cubicSample, cDcSample, DccSample)
#undef PV_WEIGHTS

}  // namespace

CCostFnMIpv::CCostFnMIpv(CImgI<float>& r, CImgI<float>& t, int code, CImg<float> Z)
    : CCostFnMI(r, t, code, Z)
{
    for (int k = 0; k < 16; ++k) nbhdBins[k] = 0;
}

CCostFnMIpv::~CCostFnMIpv() {}

void CCostFnMIpv::setInterpAndOrder(int in, int ord, bool bnd)
{
    CCostFnMI::setInterpAndOrder(in, ord, bnd);
    // The loops visit the pixels the reader writes: orders outside 0 .. 3 read 2 x 2 pixels
    // with linear weights, whatever nTaps2 says.
    switch (order) {
    case 0:
        taps_ = 1;
        nbhdReader = bounded ? &Img::nNeighbourhood1<int> : &Img::nNeighbourhood1_nb<int>;
        break;
    case 2:
        taps_ = 9;
        nbhdReader = bounded ? &Img::nNeighbourhood9<int> : &Img::nNeighbourhood9_nb<int>;
        break;
    case 3:
        taps_ = 16;
        nbhdReader = bounded ? &Img::nNeighbourhood16<int> : &Img::nNeighbourhood16_nb<int>;
        break;
    default:
        taps_ = 4;
        nbhdReader = bounded ? &Img::nNeighbourhood4<int> : &Img::nNeighbourhood4_nb<int>;
        break;
    }
}

void CCostFnMIpv::refFootprint(int& lo, int& hi) const
{
    CCostFn::refFootprint(lo, hi);
    const int rlo = taps_ >= 9 ? 1 : 0, rhi = taps_ >= 9 ? 2 : 1;
    if (rlo > lo) lo = rlo;
    if (rhi > hi) hi = rhi;
}

bool CCostFnMIpv::averages() const { return interp == 0; }

float CCostFnMIpv::Alpha() { return interp != 0 ? 1.f : 2.f; }

// nbhdBins of the walk's last sample (the loops bin the pixel values directly).
void CCostFnMIpv::lastSample()
{
    float dx, dy;
    if (nbhdReader) (ref.*nbhdReader)(rxy[0], rxy[1], nbhdBins, dx, dy);
}

// Runs `bin`(access, rx, ry, x, y, t) for every sample: at once into a dense table, or,
// for large tables, recorded by the walk and binned one template bin (row) at a time.
template <int SC, class Bin>
void CCostFnMIpv::binSamples(const CImg<float>& p, int S, Bin&& bin)
{
    const int n = nBins, last = lastBin;
    if (denseCells(S)) {
        acc.setup(n, S, n, false);
        const DenseAccess<SC> A = DenseAccess<SC>::of(acc, S);
        walkPos(p, [&](const WalkSample& s) PV_INLINE { bin(A, s.rx, s.ry, s.x, s.y, binOf(s.t, last)); });
        acc.emitAll(cells);
        return;
    }
    const SampleGroups& G = groupSamples(p, false);
    recF.resize(std::size_t(G.samples) * 4);
    float* const F = recF.data();
    const int* const slot = G.slot.data();
    int k = 0;
    walkPos(p, [&](const WalkSample& s) PV_INLINE {
        float* const f = F + std::size_t(slot[k++]) * 4;
        f[0] = s.rx;
        f[1] = s.ry;
        f[2] = s.x;
        f[3] = s.y;
    });
    acc.setup(n, S, 1, true);
    const RowAccess<SC> A = RowAccess<SC>::of(acc, S);
    for (int y = 0; y < n; ++y) {
        for (int q = G.first[y], e = G.first[y + 1]; q < e; ++q) {
            const float* f = F + std::size_t(q) * 4;
            bin(A, f[0], f[1], f[2], f[3], y);
        }
        A.emit(y, cells);
    }
}

template <int Taps, bool Nb>
void CCostFnMIpv::pdfLoop(const CImg<float>& p)
{
    const int last = lastBin;
    binSamples<1>(p, 1, [&](const auto& A, float rx, float ry, float, float, int t) PV_INLINE {
        float dx, dy, v[Taps];
        Nbhd<Taps, Nb>::readF(ref, rx, ry, v, dx, dy);
        const auto row = A.rowOf(t);
        if constexpr (Taps == 4) {
            const float ya = 1.f + dy, yb = -dy, xa = 1.f + dx, xb = -dx;
            row.cell(binOf(v[0], last))[0] += ya * xa;
            row.cell(binOf(v[1], last))[0] += ya * xb;
            row.cell(binOf(v[2], last))[0] += yb * xa;
            row.cell(binOf(v[3], last))[0] += yb * xb;
        } else {
            const float* w = Wts<Taps>::val(bsplVal, dy, dx);
            for (int k = 0; k < Taps; ++k) row.cell(binOf(v[k], last))[0] += w[k];
        }
    });
    lastSample();
    curWts = bsplVal.wts2d;
}

void CCostFnMIpv::binPdf(const CImg<float>& p)
{
    cells.clear(nBins, 0, 0.f, mostCells(taps_));
    scaleOnEntry(false);
    const bool nb = !bounded;
    switch (taps_) {
    case 1: nb ? pdfLoop<1, true>(p) : pdfLoop<1, false>(p); break;
    case 9: nb ? pdfLoop<9, true>(p) : pdfLoop<9, false>(p); break;
    case 16: nb ? pdfLoop<16, true>(p) : pdfLoop<16, false>(p); break;
    default: nb ? pdfLoop<4, true>(p) : pdfLoop<4, false>(p); break;
    }
}

// NP > 0: NP parameters; each cell holds its weight and its NP derivatives side by side (S
// floats: weight, derivatives, zero padding), so every tap is one short fixed-length
// update. NP = 0: any parameter count, through CWarp::CalcJcbn per tap.
template <int Taps, bool Nb, int NP>
void CCostFnMIpv::dpdfLoop(const CImg<float>& p)
{
    const int last = lastBin, np = NP > 0 ? NP : nParams;
    float xy[2];
    warp.Warp(p, 0.f, 0.f, xy[0], xy[1]);   // the derivative operations read the warp's state at p
    jcbn.fill(0.f);
    if constexpr (NP > 0) {
        constexpr int S = cellSlots(NP);
        cells.clear(nBins, NP, 0.f, mostCells(Taps));   // (the padding slots are not kept)
        scaleOnEntry(true);
        float coef[6][S];   // per cell slot e: Jacobian row coefficients (0 for the weight slot)
        cellCoefs<NP>(p, coef);
        binSamples<S>(p, S, [&](const auto& A, float rx, float ry, float x, float y, int t) PV_INLINE {
            const float unit[S] = {1.f};   // local: the cells cannot alias it
            float dx, dy, v[Taps];
            Nbhd<Taps, Nb>::readF(ref, rx, ry, v, dx, dy);
            float wx[S], wy[S];
            for (int e = 0; e < S; ++e) {
                wx[e] = coef[0][e] + coef[1][e] * x + coef[2][e] * y;
                wy[e] = coef[3][e] + coef[4][e] * x + coef[5][e] * y;
            }
            if constexpr (Taps == 4) {
                // linear weights of the offsets (rows along dy, columns along dx); their
                // derivatives along dx are (ya, -ya, yb, -yb), along dy (xa, xb, -xa, -xb),
                // so the four taps share the products U, V (x) and X, Y (y)
                const float ya = 1.f + dy, yb = -dy, xa = 1.f + dx, xb = -dx;
                const float w0 = ya * xa, w1 = ya * xb, w2 = yb * xa, w3 = yb * xb;
                float U[S], V[S], X[S], Y[S];
                for (int e = 0; e < S; ++e) {
                    U[e] = ya * wx[e]; V[e] = yb * wx[e];
                    X[e] = xa * wy[e]; Y[e] = xb * wy[e];
                }
                // (each cell through its own pointer, in its own block: taps may share a cell)
                {
                    float* __restrict a = A.cell(binOf(v[0], last), t);
                    for (int e = 0; e < S; ++e) a[e] += w0 * unit[e] + U[e] + X[e];
                }
                {
                    float* __restrict a = A.cell(binOf(v[1], last), t);
                    for (int e = 0; e < S; ++e) a[e] += w1 * unit[e] - U[e] + Y[e];
                }
                {
                    float* __restrict a = A.cell(binOf(v[2], last), t);
                    for (int e = 0; e < S; ++e) a[e] += w2 * unit[e] + V[e] - X[e];
                }
                {
                    float* __restrict a = A.cell(binOf(v[3], last), t);
                    for (int e = 0; e < S; ++e) a[e] += w3 * unit[e] - V[e] - Y[e];
                }
            } else {
                Wts<Taps>::dB(bsplDx, dy, dx, curDWx);
                const float* w = Wts<Taps>::dA(bsplDy, dy, dx, curDWy);
                for (int k = 0; k < Taps; ++k) {
                    float* __restrict a = A.cell(binOf(v[k], last), t);
                    const float wk = w[k], gx = curDWx[k], gy = curDWy[k];
                    for (int e = 0; e < S; ++e) a[e] += wk * unit[e] + gx * wx[e] + gy * wy[e];
                }
            }
        });
    } else {
        cells.clear(nBins, np, 0.f, mostCells(Taps));
        scaleOnEntry(true);
        binSamples<0>(p, 1 + np, [&](const auto& A, float rx, float ry, float x, float y, int t) PV_INLINE {
            float dx, dy;
            Nbhd<Taps, Nb>::read(ref, rx, ry, nbhdBins, dx, dy);
            Wts<Taps>::dB(bsplDx, dy, dx, curDWx);
            const float* w = Wts<Taps>::dA(bsplDy, dy, dx, curDWy);
            for (int k = 0; k < Taps; ++k) {
                float* a = A.cell(clampBin(nbhdBins[k], last), t);
                a[0] += w[k];
                warp.CalcJcbn(jcbn, p, x, y, curDWx[k], curDWy[k]);
                for (int m = 0; m < np; ++m) a[1 + m] += jcbn[m];
            }
        });
    }
    lastSample();
    curWts = bsplDy.wts2d;
}

template <int Taps, bool Nb>
void CCostFnMIpv::dpdfByParams(const CImg<float>& p)
{
    withParamCount(nParams, [&](auto NP) { dpdfLoop<Taps, Nb, decltype(NP)::value>(p); });
}

void CCostFnMIpv::binDPdf(const CImg<float>& p)
{
    const bool nb = !bounded;
    switch (taps_) {
    case 1: nb ? dpdfByParams<1, true>(p) : dpdfByParams<1, false>(p); break;
    case 9: nb ? dpdfByParams<9, true>(p) : dpdfByParams<9, false>(p); break;
    case 16: nb ? dpdfByParams<16, true>(p) : dpdfByParams<16, false>(p); break;
    default: nb ? dpdfByParams<4, true>(p) : dpdfByParams<4, false>(p); break;
    }
}
