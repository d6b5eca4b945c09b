#include "steps/tools/mistep.h"

#include <cmath>
#include <initializer_list>
#include <vector>

#include "similarity/smooth.h"
#include "steps/tools/cells.h"
#include "steps/tools/hist.h"
#include "steps/tools/moments.h"
#include "steps/tools/pointwise.h"

namespace {

using Img = CImg<double>;

Img smooth(const Img& table, const Img& mask) { return smoothTable(table, mask); }

// A mask along the side's bins: horizontal (n x 1) for the template, vertical (1 x n) for the
// image.
Img along(StepSide side, std::initializer_list<double> v)
{
    const unsigned n = unsigned(v.size());
    Img m = side == StepSide::Template ? Img(n, 1, 1, 1) : Img(1, n, 1, 1);
    double* d = m.data();
    for (double x : v) *d++ = x;
    return m;
}

// K on a zero canvas `extra` bins longer along the side's bins, starting one bin in.
Img padded(StepSide side, const Img& K, int extra)
{
    if (side == StepSide::Template)
        return Img(K.width() + extra, K.height(), 1, 1, 0.0).draw_image(1, 0, K);
    return Img(K.width(), K.height() + extra, 1, 1, 0.0).draw_image(0, 1, K);
}

// Adds v[0..N-1] to row `row` of a table whose rows hold N interleaved columns (one row per
// cell or bin): a pixel's additions to all the columns touch one place.
template <int N>
inline void addRow(double* table, long row, const double* v)
{
    double* r = table + row * N;
    for (int k = 0; k < N; ++k) r[k] += v[k];
}

// Column q of an interleaved table (a row per cell) as a w x h table.
Img column(const Img& inter, int q, unsigned w, unsigned h)
{
    Img t(w, h, 1, 1);
    const int n = inter.width();
    for (size_t c = 0; c < t.size(); ++c) t[c] = inter[c * n + q];
    return t;
}

// Index of the pair (r, s), r <= s, among the 21 pairs of six: the upper triangle by columns.
inline int upper(int r, int s) { return r <= s ? r + s * (s + 1) / 2 : s + r * (r + 1) / 2; }

// What the pass over the pixels fills: the weighted joint tables of the six steepest-descent
// images at the cells of the joint table (dP, six values per cell); the template side's
// weighted marginals dpT of them and SS of their 21 products (pair (r, s) at upper(r, s)), for
// the third output; and for the last output the moment sums of
//   w2 g_a g_b + w1 Hg(a, b)  at a + 2 b
// (moments.h), w2 and w1 the K2 and K1 weights of the pixel's cell. The marginals hold their
// columns interleaved (width 6 or 21, a row per bin).
struct Tables {
    std::vector<double> dP;
    CImg<double> dpT, SS;
    GridMoments<4> M;
};

struct DerivativePass {
    const CImg<double>& T;
    const CImg<double>& I;
    const AffineMap& map;
    int w, h, x0, y0, oT;
    unsigned nT;
    const std::vector<int>& cells;  // each pixel's joint cell (its place), -1 outside the table
    const std::vector<double>& W2;  // per cell
    const std::vector<double>& W1;

    // OnT: differences of T (else of I, warped); Marginal: the marginal tables; Second: the
    // moment sums.
    template <bool OnT, bool Marginal, bool Second>
    void run(Tables& tb) const
    {
        const double* t = T.data();
        const PlaneAt tAt{t, w, double(oT)};
        const size_t n0 = size_t(w) * h, N = T.size();
        const auto tBin = [&](size_t k) { return BinOf(oT ? t[k] + double(oT) : t[k], nT); };
        double* const dP = tb.dP.data();
        double* const dpT = tb.dpT.data();
        double* const SS = tb.SS.data();
        for (int j = 0; j < h; ++j) {
            const double Y = double(j - h / 2);
            for (int i = 0; i < w; ++i) {
                const size_t k = i + size_t(w) * j;
                double g[2], H[4] = {0, 0, 0, 0};
                if (OnT) {
                    Gradient(tAt, i, j, w, h, g);
                    if (Second) SecondDiffs(tAt, i, j, w, h, g, H);
                } else {
                    CellSample s;
                    const WarpCell c = CellAt(map.mapX(x0 + i, y0 + j), map.mapY(x0 + i, y0 + j),
                                              I.width(), I.height());
                    SampleCell<Second ? 2 : 1>(I, c, s);
                    g[0] = s.g[0], g[1] = s.g[1];
                    if (Second)
                        for (int a = 0; a < 4; ++a) H[a] = s.H[a];
                }
                const double X = double(i - w / 2);
                const double SD[6] = {X * g[0], X * g[1], Y * g[0], Y * g[1], g[0], g[1]};
                const int c = cells[k];
                if (c >= 0) addRow<6>(dP, c, SD);
                if (Marginal) {
                    const long a = tBin(k);
                    if (a >= 0) {
                        double ss[21];  // pair (r, s) at upper(r, s)
                        int n = 0;
                        for (int s = 0; s < 6; ++s)
                            for (int r = 0; r <= s; ++r) ss[n++] = SD[r] * SD[s];
                        addRow<6>(dpT, a, SD);
                        addRow<21>(SS, a, ss);
                    }
                }
                if (Second && c >= 0) {
                    const double w2 = W2[c], w1 = W1[c], gxy = w2 * (g[0] * g[1]);
                    const double v[4] = {w2 * (g[0] * g[0]) + w1 * H[0], gxy + w1 * H[1],
                                         gxy + w1 * H[2], w2 * (g[1] * g[1]) + w1 * H[3]};
                    tb.M.add(v, X);
                }
            }
            if (Second) tb.M.endRow(Y);
        }
        // Further planes of the template: their plain differences weigh entries 4 and 5 (the
        // image side's warped differences are 0 there).
        if (OnT)
            for (size_t k = n0; k < N; ++k) {
                const size_t at = k % n0;
                double g[2];
                Gradient(PlaneAt{t + (k - at), w, double(oT)}, int(at % w), int(at / w), w, h, g);
                const double SD[6] = {0, 0, 0, 0, g[0], g[1]};  // adding 0 leaves a sum as it is
                if (cells[k] >= 0)
                    for (int q = 4; q < 6; ++q) dP[size_t(cells[k]) * 6 + q] += SD[q];
                const long a = tBin(k);
                if (Marginal && a >= 0) addRow<6>(dpT, a, SD);
            }
    }
};

// Sums over the joint table of the smoothed weighted tables dP (six values per cell) handed
// over row by row: G_q = sum over all cells of dP_q L1 (L1 the weights of P1, as SumProduct
// over the dense tables) and, withPairs, over the cells with P1 != 0 the sums of
// dP_r dP_s times 1 / P1 (template side, divided) or 1 / P1 - 1 / pI1 (image side), pair
// (r, s) at upper(r, s). Every cell either table holds is visited in scan order; a missing
// value is 0.
struct JointSums {
    const CellTable& P1;
    const CImg<double> pT1, pI1;  // pT1 empty on the image side
    bool onT, withPairs;
    double G[6] = {}, pairs[21] = {};
    unsigned next = 0;  // rows of P1 before `next` are done

    // The cell (y, P1's cell c or -1) with the values d (null: 0).
    void cell(unsigned y, long c, const double* d)
    {
        static const double zero[6] = {0, 0, 0, 0, 0, 0};
        if (!d) d = zero;
        const double v = c >= 0 ? P1.v[size_t(c)] : 0.0;
        const double l = c >= 0 ? MiWeight(v, onT ? pT1[P1.x[size_t(c)]] : 1.0, pI1[y]) : 0.0;
        for (int q = 0; q < 6; ++q) G[q] += d[q] * l;
        if (!withPairs || v == 0) return;
        double dd[21];  // d_a d_b at upper(a, b)
        for (int b = 0, i = 0; b < 6; ++b)
            for (int a = 0; a <= b; ++a) dd[i++] = d[a] * d[b];
        if (onT) {
            for (int i = 0; i < 21; ++i) pairs[i] += dd[i] / v;
        } else {
            const double r = 1 / v - 1 / pI1[y];
            for (int i = 0; i < 21; ++i) pairs[i] += dd[i] * r;
        }
    }
    void rowOfP1(unsigned y)
    {
        for (size_t c = P1.row[y], e = P1.row[y + 1]; c < e; ++c) cell(y, long(c), nullptr);
    }
    void row(unsigned y, const unsigned* xs, const double* vals, size_t n)
    {
        while (next < y) rowOfP1(next++);
        size_t c = P1.row[y], k = 0;
        const size_t e = P1.row[y + 1];
        while (c < e || k < n) {
            const unsigned xp = c < e ? P1.x[c] : ~0u, xd = k < n ? xs[k] : ~0u;
            cell(y, xp <= xd ? long(c) : -1L, xd <= xp ? vals + 6 * k : nullptr);
            if (xp <= xd) ++c;
            if (xd <= xp) ++k;
        }
        next = y + 1;
    }
    void finish()
    {
        while (next < P1.height) rowOfP1(next++);
    }
};

}  // namespace

MiBins MiTableBins(StepSide side, const CImg<double>& K, double maxT, double maxI)
{
    const bool onT = side == StepSide::Template;
    return {std::trunc(maxT) + K.width() + (onT ? 2 : 0),
            std::trunc(maxI) + K.height() + (onT ? 0 : 2)};
}

void MiStep(StepSide side, const CImg<double>& T, const CImg<double>& I, const CImg<double>& p,
            const CImg<double>& K, double maxT, double maxI, int count, CImg<double> out[])
{
    const bool onT = side == StepSide::Template;
    const MiBins bins = MiTableBins(side, K, maxT, maxI);
    const unsigned nT = unsigned(bins.nT), nI = unsigned(bins.nI);
    // Bin offsets: the kernel's half width, one more along the side's bins.
    const int Kw = K.width(), Kh = K.height();
    const int oT = onT ? (Kw + 1) / 2 : (Kw - 1) / 2;
    const double oI = onT ? (Kh - 1) / 2 : (Kh + 1) / 2;

    const int w = T.width(), h = T.height();
    const size_t n0 = size_t(w) * h, N = T.size();
    const int x0 = -((w - 1) / 2), y0 = -((h - 1) / 2);
    const AffineMap map(p);
    const double* t = T.data();
    // The template as bin numbers (T + oT), and the warped image's: I's sample plus oI on the
    // first plane, oI on further planes (the warp writes only the first).
    const auto tBin = [&](size_t k) { return BinOf(oT ? t[k] + double(oT) : t[k], nT); };

    // Joint table P (at the cells the pixels reach), and the template's marginal table for
    // the third output.
    const bool marginal = onT && count >= 3;
    const double inc = 1.0 / double(N);
    std::vector<int> cells(N);  // joint cell of each pixel, -1 outside the table
    Img histT;
    if (marginal) histT.assign(nT, 1, 1, 1, 0.0);
    const auto bin = [&](size_t k, double iw) {
        const long a = tBin(k), b = BinOf(iw + oI, nI);
        cells[k] = a >= 0 && b >= 0 ? int(a + long(nT) * b) : -1;
        if (marginal && a >= 0) histT[a] += inc;
    };
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i)
            bin(i + size_t(w) * j, SampleAt(I, map.mapX(x0 + i, y0 + j), map.mapY(x0 + i, y0 + j)));
    for (size_t k = n0; k < N; ++k) bin(k, 0.0);
    CellTable hist;
    JointCells(nT, nI, cells, inc, count >= 2, hist);  // cells[k] now the place of its cell in hist
    CellTable P = SmoothCells(hist, K);
    out[0].assign(1, 1, 1, 1, entropy(SumDim(P, 2)) + entropy(SumDim(P, 1)) - entropy(P));
    if (count < 2) return;

    // The last output sums the tables of SD SD' and J' Hg J smoothed by K2 and K1 against L2:
    // the same sums as those of the pixels' values against L2 smoothed back to the cells.
    const int last = MiStepOutputs(side) - 1;
    const bool second = count > last;
    std::vector<double> W2, W1;
    if (second) {
        const Img canvas = padded(side, K, 2);
        CellTable L2 = SmoothCells(P, along(side, {0.25, 0.5, 0.25}));  // P2, then its weights
        ToMiWeights(L2, onT ? SumDim(L2, 2) : Img(), SumDim(L2, 1));
        AdjointAt(L2, smooth(canvas, along(side, {-1, 2, -1})), smooth(canvas, along(side, {-0.5, 0, 0.5})),
                  hist, W2, W1);
    }

    // One pass over the pixels: the weighted joint tables of the steepest-descent images, the
    // template's weighted marginals, and the moment sums of the last output.
    const DerivativePass d{T, I, map, w, h, x0, y0, oT, nT, cells, W2, W1};
    Tables tables;
    tables.dP.assign(hist.size() * 6, 0.0);
    if (marginal) {
        tables.dpT.assign(6, nT, 1, 1, 0.0);
        tables.SS.assign(21, nT, 1, 1, 0.0);
    }
    if (onT) {
        if (second) d.run<true, true, true>(tables);
        else if (marginal) d.run<true, true, false>(tables);
        else d.run<true, false, false>(tables);
    } else {
        if (second) d.run<false, false, true>(tables);
        else d.run<false, false, false>(tables);
    }
    std::vector<double>().swap(W2);
    std::vector<double>().swap(W1);
    std::vector<int>().swap(cells);

    // Gradient, and the sums over the joint cells of the third (image side) or fourth output,
    // from the rows of the weighted tables smoothed by Kd as they are made.
    CellTable dH;  // the weighted tables at the cells of the joint table, six values each
    dH.width = hist.width, dH.height = hist.height, dH.depth = 6;
    dH.x.swap(hist.x);
    dH.row.swap(hist.row);
    dH.v.swap(tables.dP);
    for (double& v : dH.v) v /= double(N);
    hist = CellTable();
    const CellTable P1 = SmoothCells(P, along(side, {0.5, 0.5}));
    P = CellTable();
    JointSums sums{P1, onT ? SumDim(P1, 2) : Img(), SumDim(P1, 1), onT, count > (onT ? 3 : 2)};
    SmoothRows(dH, smooth(padded(side, K, 1), along(side, {-1, 1})),
               [&](unsigned y, const unsigned* xs, const double* vals, size_t n) { sums.row(y, xs, vals, n); });
    sums.finish();
    out[1].assign(1, 6);
    for (int q = 0; q < 6; ++q) out[1][q] = sums.G[q];
    if (count < 3) return;
    const auto jointPairs = [&](Img& o) {
        o.assign(6, 6);
        for (int n = 0; n < 6; ++n)
            for (int m = 0; m < 6; ++m) o(m, n) = sums.pairs[upper(m, n)];
    };

    int next = 2;
    if (onT) {
        // Second-order term of the template marginal.
        const Img canvas = padded(side, SumDim(K, 2), 2);
        const Img Km2 = smooth(canvas, along(side, {-1, 2, -1}));
        const Img Km1 = smooth(canvas, along(side, {-0.5, 0, 0.5}));
        const Img pTs = smooth(histT, along(side, {0.25, 0.5, 0.25}));
        Img dpT[6];
        for (int q = 0; q < 6; ++q) dpT[q] = smooth(column(tables.dpT, q, nT, 1) /= double(N), Km1);
        out[2].assign(6, 6);
        for (int b = 0; b < 6; ++b)
            for (int a = 0; a <= b; ++a) {
                const Img B = smooth(column(tables.SS, upper(a, b), nT, 1) /= double(N), Km2);
                double s = 0;
                for (unsigned x = 0; x < nT; ++x)
                    if (pTs[x] != 0) s += dpT[a][x] * dpT[b][x] / pTs[x] + 2 * B[x];
                out[2](a, b) = out[2](b, a) = -s;
            }
        if (count < 4) return;
        jointPairs(out[3]);  // second-order term of the joint table
        next = 4;
    } else {
        jointPairs(out[2]);  // of the joint table, with the image marginal's share
        next = 3;
    }
    if (count <= next) return;

    // Second-order term of the side's second derivatives: entry (m, n) weighs
    // SD_m SD_n = u_(m/2) u_(n/2) g_(m%2) g_(n%2) by K2's weights and
    // (J' Hg J)_(m, n) = u_(m/2) Hg(m%2, n%2) u_(n/2) by K1's.
    out[next].assign(6, 6);
    for (int n = 0; n < 6; ++n)
        for (int m = 0; m < 6; ++m) {
            const int a = m % 2, b = n % 2;
            out[next](m, n) = tables.M.pair(a + 2 * b, m / 2, n / 2) / double(N);
        }
}
