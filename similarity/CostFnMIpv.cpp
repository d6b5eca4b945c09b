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

// What the partial-volume taps keep of a sample: the reference position and the centred
// point.
struct CCostFnMIpv::PosRecorder : TapsBase {
    static constexpr int kWalk = -1, kFloats = 4;
    int last;
    int row(const WalkSample& s) const { return binOf(s.t, last); }
    PV_INLINE void record(const WalkSample& s, int*, float* f) const
    {
        f[0] = s.rx;
        f[1] = s.ry;
        f[2] = s.x;
        f[3] = s.y;
    }
};

// What the partial-volume value and derivative taps keep of a sample: the bins of its
// footprint's pixels and the footprint's offset (dx, dy), with (Deriv) the centred point; the
// walk reads the reference in its own order.
template <int Taps, bool Nb, bool Deriv>
struct CCostFnMIpv::FootRecorder : TapsBase {
    static constexpr int kWalk = -1, kInts = Taps, kFloats = Deriv ? 4 : 2;
    CCostFnMIpv& m;
    int last;
    int row(const WalkSample& s) const { return binOf(s.t, last); }
    PV_INLINE void record(const WalkSample& s, int* bins, float* f) const
    {
        float v[Taps];
        Nbhd<Taps, Nb>::readF(m.ref, s.rx, s.ry, v, f[0], f[1]);
        for (int k = 0; k < Taps; ++k) bins[k] = binOf(v[k], last);
        if constexpr (Deriv) {
            f[2] = s.x;
            f[3] = s.y;
        }
    }
};

// Partial-volume value taps: the footprint's pixels, each with its weight, in the sample's
// template row.
template <int Taps, bool Nb>
struct CCostFnMIpv::ValueTaps : FootRecorder<Taps, Nb, false> {
    using Recorder = FootRecorder<Taps, Nb, false>;
    static constexpr int kSlots = 1;
    CellForm form() const { return CellForm{0, false, true, false, Taps}; }
    template <class A> PV_INLINE void bin(const A& acc, const int* v, const float* f, int t) const
    {
        const float dx = f[0], dy = f[1];
        const auto row = acc.rowOf(t);
        if constexpr (Taps == 4) {
            const float ya = 1.f + dy, yb = -dy, xa = 1.f + dx, xb = -dx;
            row.cell(v[0])[0] += ya * xa;
            row.cell(v[1])[0] += ya * xb;
            row.cell(v[2])[0] += yb * xa;
            row.cell(v[3])[0] += yb * xb;
        } else {
            const float* w = Wts<Taps>::val(this->m.bsplVal, dy, dx);
            for (int k = 0; k < Taps; ++k) row.cell(v[k])[0] += w[k];
        }
    }
};

// Partial-volume derivative taps for the warps of 2, 3 (S = 4) or 4, 6 (S = 8) parameters:
// each cell holds its weight and its np derivatives side by side (S floats: weight,
// derivatives, zero padding), so every tap is one short fixed-length update; the planes are
// scaled by -1 / N as they are handed over.
template <int Taps, bool Nb, int S>
struct CCostFnMIpv::DerivTaps : FootRecorder<Taps, Nb, true> {
    using Recorder = FootRecorder<Taps, Nb, true>;
    static constexpr int kSlots = S;
    int np;
    float coef[6][S];   // per cell slot e: Jacobian row coefficients (0 for the weight slot)
    DerivTaps(CCostFnMIpv& f, const CImg<float>& p, int n) : Recorder{{}, f, f.lastBin}, np(n) { f.cellCoefs<S>(p, n, coef); }
    CellForm form() const { return CellForm{np, false, true, true, Taps}; }   // (no padding slots kept)
    template <class A> PV_INLINE void bin(const A& acc, const int* v, const float* f, int t) const
    {
        CCostFnMIpv& m = this->m;
        const float dx = f[0], dy = f[1], x = f[2], y = f[3];
        const float unit[S] = {1.f};   // local: the cells cannot alias it
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
                float* __restrict a = acc.cell(v[0], t);
                for (int e = 0; e < S; ++e) a[e] += w0 * unit[e] + U[e] + X[e];
            }
            {
                float* __restrict a = acc.cell(v[1], t);
                for (int e = 0; e < S; ++e) a[e] += w1 * unit[e] - U[e] + Y[e];
            }
            {
                float* __restrict a = acc.cell(v[2], t);
                for (int e = 0; e < S; ++e) a[e] += w2 * unit[e] + V[e] - X[e];
            }
            {
                float* __restrict a = acc.cell(v[3], t);
                for (int e = 0; e < S; ++e) a[e] += w3 * unit[e] - V[e] - Y[e];
            }
        } else {
            Wts<Taps>::dB(m.bsplDx, dy, dx, m.curDWx);
            const float* w = Wts<Taps>::dA(m.bsplDy, dy, dx, m.curDWy);
            for (int k = 0; k < Taps; ++k) {
                float* __restrict a = acc.cell(v[k], t);
                const float wk = w[k], gx = m.curDWx[k], gy = m.curDWy[k];
                for (int e = 0; e < S; ++e) a[e] += wk * unit[e] + gx * wx[e] + gy * wy[e];
            }
        }
    }
};

// Partial-volume derivative taps for any parameter count, through CWarp::CalcJcbn per tap.
template <int Taps, bool Nb>
struct CCostFnMIpv::AnyTaps : PosRecorder {
    using Recorder = PosRecorder;
    static constexpr int kSlots = 0;
    CCostFnMIpv& m;
    const CImg<float>& p;
    int np;
    int slots() const { return 1 + np; }
    CellForm form() const { return CellForm{np, false, true, true, Taps}; }
    template <class A> void bin(const A& acc, const int*, const float* f, int t) const
    {
        float dx, dy;
        Nbhd<Taps, Nb>::read(m.ref, f[0], f[1], m.nbhdBins, dx, dy);
        Wts<Taps>::dB(m.bsplDx, dy, dx, m.curDWx);
        const float* w = Wts<Taps>::dA(m.bsplDy, dy, dx, m.curDWy);
        for (int k = 0; k < Taps; ++k) {
            float* a = acc.cell(clampBin(m.nbhdBins[k], last), t);
            a[0] += w[k];
            m.warp.CalcJcbn(m.jcbn, p, f[2], f[3], m.curDWx[k], m.curDWy[k]);
            for (int e = 0; e < np; ++e) a[1 + e] += m.jcbn[e];
        }
    }
};

CCostFnMI::TapsInfo CCostFnMIpv::tapsOf(Tables t, int np, int order, int)
{
    const int T = order == 0 ? 1 : order == 2 ? 9 : order == 3 ? 16 : 4;   // (the readers)
    if (t == Tables::kPdf) return TapsInfo{1, false, T, T, 2, false, 1};
    if (np == 2 || np == 3 || np == 4 || np == 6) return TapsInfo{cellSlots(np), false, T, T, 4, false, 1};
    return TapsInfo{1 + np, false, T, 0, 4, false, 1};
}

void CCostFnMIpv::bin(const CImg<float>& p, const Plan& pl)
{
    const bool nb = !bounded;
    // f(integral_constant<taps>, integral_constant<nb>) for the reader of the order
    auto withReader = [&](auto&& f) {
        using std::integral_constant;
        switch (taps_) {
        case 1: nb ? f(integral_constant<int, 1>(), std::true_type()) : f(integral_constant<int, 1>(), std::false_type()); break;
        case 9: nb ? f(integral_constant<int, 9>(), std::true_type()) : f(integral_constant<int, 9>(), std::false_type()); break;
        case 16: nb ? f(integral_constant<int, 16>(), std::true_type()) : f(integral_constant<int, 16>(), std::false_type()); break;
        default: nb ? f(integral_constant<int, 4>(), std::true_type()) : f(integral_constant<int, 4>(), std::false_type()); break;
        }
    };
    if (pl.tables == Tables::kPdf) {
        withReader([&](auto T, auto Nb) {
            binSamples(p, pl, ValueTaps<decltype(T)::value, decltype(Nb)::value>{{{}, *this, lastBin}});
        });
        lastSample();
        curWts = bsplVal.wts2d;
        return;
    }
    float xy[2];
    warp.Warp(p, 0.f, 0.f, xy[0], xy[1]);   // the derivative operations read the warp's state at p
    jcbn.fill(0.f);
    const int np = nParams;
    withReader([&](auto T, auto Nb) {
        constexpr int Taps = decltype(T)::value;
        constexpr bool NB = decltype(Nb)::value;
        if (np == 2 || np == 3) binSamples(p, pl, DerivTaps<Taps, NB, 4>(*this, p, np));
        else if (np == 4 || np == 6) binSamples(p, pl, DerivTaps<Taps, NB, 8>(*this, p, np));
        else binSamples(p, pl, AnyTaps<Taps, NB>{{{}, lastBin}, *this, p, np});
    });
    lastSample();
    curWts = bsplDy.wts2d;
}
