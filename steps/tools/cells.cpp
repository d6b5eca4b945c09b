#include "steps/tools/cells.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "similarity/smooth.h"
#include "steps/tools/hist.h"

void CellTable::open(unsigned w, unsigned h, int d, size_t most)
{
    width = w;
    height = h;
    depth = d;
    std::vector<unsigned>().swap(x);
    std::vector<double>().swap(v);
    x.reserve(most);
    v.reserve(most * size_t(d));
    row.assign(size_t(h) + 1, 0);
    open_ = 0;
}

double* CellTable::pushRow(unsigned y, const unsigned* xs, const double* vals, size_t n)
{
    while (open_ < y) row[++open_] = x.size();
    x.insert(x.end(), xs, xs + n);
    const size_t at = v.size();
    v.insert(v.end(), vals, vals + n * size_t(depth));
    row[y + 1] = x.size();
    return v.data() + at;
}

void CellTable::close()
{
    while (open_ < height) {
        ++open_;
        row[open_] = std::max(row[open_], row[open_ - 1]);
    }
}

void JointCells(unsigned width, unsigned height, std::vector<int>& cell, double inc, bool places,
                CellTable& t)
{
    const size_t n = cell.size(), cells = size_t(width) * height;
    std::vector<unsigned> cols;
    std::vector<double> vals;
    if (cells <= 8 * n + 65536) {
        // Small table: dense, read in scan order.
        std::vector<double> H(cells, 0.0);
        for (int c : cell)
            if (c >= 0) H[size_t(c)] += inc;
        size_t held = 0;
        for (double v : H) held += v != 0;
        t.open(width, height, 1, held);
        std::vector<int> place(places ? cells : 0);
        int next = 0;
        for (unsigned y = 0; y < height; ++y) {
            cols.clear();
            vals.clear();
            const size_t base = size_t(width) * y;
            for (unsigned cx = 0; cx < width; ++cx) {
                if (H[base + cx] == 0) continue;
                cols.push_back(cx);
                vals.push_back(H[base + cx]);
                if (places) place[base + cx] = next++;
            }
            if (!cols.empty()) t.pushRow(y, cols.data(), vals.data(), cols.size());
        }
        if (places)
            for (int& c : cell)
                if (c >= 0) c = place[size_t(c)];
        t.close();
        return;
    }
    // Large table: the pixels by row (a stable counting sort), then each row's columns.
    std::vector<size_t> start(size_t(height) + 1, 0);
    for (int c : cell)
        if (c >= 0) ++start[size_t(c) / width + 1];
    for (unsigned y = 0; y < height; ++y) start[y + 1] += start[y];
    std::vector<size_t> byRow(start[height]);
    {
        std::vector<size_t> fill(start.begin(), start.end() - 1);
        for (size_t k = 0; k < n; ++k)
            if (cell[k] >= 0) byRow[fill[size_t(cell[k]) / width]++] = k;
    }
    t.open(width, height, 1, std::min(byRow.size(), cells));
    std::vector<double> acc(width, 0.0);
    std::vector<int> place(places ? width : 0);
    int next = 0;
    for (unsigned y = 0; y < height; ++y) {
        if (start[y] == start[y + 1]) continue;
        const size_t base = size_t(width) * y;
        cols.clear();
        for (size_t k = start[y]; k < start[y + 1]; ++k) {
            const unsigned cx = unsigned(size_t(cell[byRow[k]]) - base);
            if (acc[cx] == 0) cols.push_back(cx);
            acc[cx] += inc;
        }
        std::sort(cols.begin(), cols.end());
        vals.clear();
        for (unsigned cx : cols) {
            vals.push_back(acc[cx]);
            acc[cx] = 0;
            if (places) place[cx] = next++;
        }
        t.pushRow(y, cols.data(), vals.data(), cols.size());
        if (places)
            for (size_t k = start[y]; k < start[y + 1]; ++k) {
                int& c = cell[byRow[k]];
                c = place[unsigned(size_t(c) - base)];
            }
    }
    t.close();
}

namespace {

bool allFinite(const CImg<double>& m)
{
    for (const double *p = m.data(), *e = m.end(); p < e; ++p)
        if (!std::isfinite(*p)) return false;
    return true;
}

// The dense table of `in`, one channel per value.
CImg<double> dense(const CellTable& in)
{
    CImg<double> D(in.width, in.height, 1, in.depth, 0.0);
    const size_t plane = size_t(in.width) * in.height;
    for (unsigned y = 0; y < in.height; ++y)
        for (size_t c = in.row[y], e = in.row[y + 1]; c < e; ++c)
            for (int k = 0; k < in.depth; ++k) D[in.x[c] + size_t(in.width) * y + plane * k] = in.at(c)[k];
    return D;
}

// The rows of a dense table (one channel per value): the cells with a value that is not 0
// (a NaN is not 0).
void denseRows(const CImg<double>& D, const CellRow& emit)
{
    const unsigned w = D.width(), h = D.height();
    const int d = D.spectrum();
    const size_t plane = size_t(w) * h;
    std::vector<unsigned> xs;
    std::vector<double> vals;
    for (unsigned y = 0; y < h; ++y) {
        xs.clear();
        vals.clear();
        for (unsigned cx = 0; cx < w; ++cx) {
            const double* p = D.data() + cx + size_t(w) * y;
            bool held = false;
            for (int k = 0; k < d; ++k) held |= p[plane * k] != 0;
            if (!held) continue;
            xs.push_back(cx);
            for (int k = 0; k < d; ++k) vals.push_back(p[plane * k]);
        }
        if (!xs.empty()) emit(y, xs.data(), vals.data(), xs.size());
    }
}

// The terms of a finite mask of more than one element in the library's order (a mask of up
// to 27 elements reversed, a larger one in storage order; the planes other than the middle
// one meet only the zero border), in runs of one mask row each: out(x + dx, y + dy) +=
// K in(x, y) with dx = dx0 + step j for the run's j-th term (step -1 when reversed, else 1).
struct Terms {
    std::vector<double> K;
    struct Run {
        int dy, dx0;
        size_t first;  // K[first .. first + length - 1]
    };
    std::vector<Run> runs;
    int length, step, dxLo, dxHi, dyLo, dyHi;

    explicit Terms(const CImg<double>& mask)
    {
        const int mw = mask.width(), mh = mask.height(), md = mask.depth();
        const int cx = mw / 2, cy = mh / 2, cz = md / 2;
        const long N = long(mw) * mh * md, plane = long(mw) * mh;
        for (long n = 0; n < N; ++n) {
            const long e = N <= 27 ? N - 1 - n : n;
            if (e / plane != cz) continue;
            if (e % mw == (N <= 27 ? mw - 1 : 0))
                runs.push_back({int((e / mw) % mh) - cy, int(e % mw) - cx, K.size()});
            K.push_back(mask[e]);
        }
        length = mw;
        step = N <= 27 ? -1 : 1;
        dxLo = -cx, dxHi = mw - 1 - cx, dyLo = -cy, dyHi = mh - 1 - cy;
    }
};

// d[j stride + q] += K[j] v[q] for j < n, q < D (DEPTH, or D when DEPTH is 0).
template <int DEPTH>
inline void addRun(double* d, long stride, const double* K, long n, const double* v, int D)
{
    if (DEPTH == 1) {
        const double v0 = v[0];
        for (long j = 0; j < n; ++j, d += stride) d[0] += K[j] * v0;
    } else if (DEPTH == 6) {
        const double v0 = v[0], v1 = v[1], v2 = v[2], v3 = v[3], v4 = v[4], v5 = v[5];
        for (long j = 0; j < n; ++j, d += stride) {
            const double k = K[j];
            d[0] += k * v0;
            d[1] += k * v1;
            d[2] += k * v2;
            d[3] += k * v3;
            d[4] += k * v4;
            d[5] += k * v5;
        }
    } else {
        for (long j = 0; j < n; ++j, d += stride)
            for (int q = 0; q < D; ++q) d[q] += K[j] * v[q];
    }
}

// The convolution of `in` by `t`, D values per cell (0: in.depth), one output row at a time.
// The cells of an output row are those some term reaches from a held cell (a coverage count
// over the row); with Values, their sums, handed to emit; without, only their number, added
// to `count`.
template <int DEPTH, bool Values>
void scatter(const CellTable& in, const Terms& t, const CellRow* emit, size_t* count)
{
    const int D = DEPTH ? DEPTH : in.depth;
    const long W = in.width, H = in.height;
    if (!in.size()) return;
    long yFirst = 0, yLast = H - 1;
    while (in.row[yFirst] == in.row[yFirst + 1]) ++yFirst;
    while (in.row[yLast] == in.row[yLast + 1]) --yLast;
    std::vector<int> cover(size_t(W) + 1, 0);
    std::vector<double> buf(Values ? size_t(W) * D : 0, 0.0), vals(Values ? size_t(W) * D : 0);
    std::vector<unsigned> xs(Values ? W : 0);
    const unsigned* ix = in.x.data();
    const double* iv = in.v.data();
    for (long oy = std::max(0L, yFirst + t.dyLo), oyEnd = std::min(H - 1, yLast + t.dyHi); oy <= oyEnd; ++oy) {
        // The row's cells: each held cell of a source row reaches dxLo .. dxHi about it.
        long lo = W, hi = -1;
        for (long iy = std::max(0L, oy - t.dyHi), iyEnd = std::min(H - 1, oy - t.dyLo); iy <= iyEnd; ++iy)
            for (size_t c = in.row[iy], e = in.row[iy + 1]; c < e; ++c) {
                const long a = std::max(0L, long(ix[c]) + t.dxLo), b = std::min(W - 1, long(ix[c]) + t.dxHi);
                if (a > b) continue;
                ++cover[a];
                --cover[b + 1];
                lo = std::min(lo, a);
                hi = std::max(hi, b);
            }
        if (hi < lo) continue;
        if (Values)
            for (const Terms::Run& r : t.runs) {
                const long iy = oy - r.dy;
                if (iy < 0 || iy >= H) continue;
                const size_t b = in.row[iy], e = in.row[iy + 1];
                if (b == e) continue;
                // Within a run an output cell gets one term per source cell of the row; the
                // library adds them in the run's order, which meets the source cells in
                // descending column order when dx rises along the run, ascending when it falls.
                const double* K = t.K.data() + r.first;
                const long len = t.length;
                for (size_t k = 0; k < e - b; ++k) {
                    const size_t c = t.step > 0 ? e - 1 - k : b + k;
                    const long o = long(ix[c]) + r.dx0;  // output column of the run's first term
                    const long j0 = t.step > 0 ? std::max(0L, -o) : std::max(0L, o - (W - 1));
                    const long j1 = t.step > 0 ? std::min(len, W - o) : std::min(len, o + 1);
                    if (j0 >= j1) continue;
                    addRun<DEPTH>(buf.data() + size_t(o + t.step * j0) * D, t.step * long(D), K + j0,
                                  j1 - j0, iv + c * size_t(D), D);
                }
            }
        size_t n = 0;
        int run = 0;
        for (long ox = lo; ox <= hi; ++ox) {
            run += cover[ox];
            cover[ox] = 0;
            if (!run) continue;
            if (Values) {
                xs[n] = unsigned(ox);
                double* d = buf.data() + size_t(ox) * D;
                double* o = vals.data() + n * D;
                for (int q = 0; q < D; ++q) o[q] = d[q], d[q] = 0.0;
            }
            ++n;
        }
        cover[hi + 1] = 0;
        if (Values) (*emit)(unsigned(oy), xs.data(), vals.data(), n);
        else *count += n;
    }
}

template <bool Values>
void scatterAny(const CellTable& in, const Terms& t, const CellRow* emit, size_t* count)
{
    if (in.depth == 1) scatter<1, Values>(in, t, emit, count);
    else if (in.depth == 6) scatter<6, Values>(in, t, emit, count);
    else scatter<0, Values>(in, t, emit, count);
}

bool oneByOne(const CImg<double>& mask) { return mask.width() == 1 && mask.height() == 1 && mask.depth() == 1; }

// The rows of `in` times the 1 x 1 mask K: the library scales a table by such a mask, and
// copies it for a mask of 1.
void scaledRows(const CellTable& in, double K, const CellRow& emit)
{
    std::vector<double> vals;
    for (unsigned y = 0; y < in.height; ++y) {
        const size_t b = in.row[y], e = in.row[y + 1];
        if (b == e) continue;
        vals.assign(in.at(b), in.at(e));
        if (K != 1)
            for (double& v : vals) v *= K;
        emit(y, in.x.data() + b, vals.data(), e - b);
    }
}

}  // namespace

void SmoothRows(const CellTable& in, const CImg<double>& mask, const CellRow& emit)
{
    checkMask(mask);
    if (!in.width || !in.height) return;
    if (!allFinite(mask)) return denseRows(smoothTable(dense(in), mask), emit);
    if (oneByOne(mask)) return scaledRows(in, mask[0], emit);
    scatterAny<true>(in, Terms(mask), &emit, nullptr);
}

CellTable SmoothCells(const CellTable& in, const CImg<double>& mask)
{
    checkMask(mask);
    CellTable out;
    const auto push = [&](unsigned y, const unsigned* xs, const double* vals, size_t n) {
        out.pushRow(y, xs, vals, n);
    };
    if (!in.width || !in.height) {
        out.open(in.width, in.height, in.depth);
    } else if (!allFinite(mask)) {
        const CImg<double> D = smoothTable(dense(in), mask);
        size_t most = 0;
        denseRows(D, [&](unsigned, const unsigned*, const double*, size_t n) { most += n; });
        out.open(in.width, in.height, in.depth, most);
        denseRows(D, push);
    } else if (oneByOne(mask)) {
        out.open(in.width, in.height, in.depth, in.size());
        scaledRows(in, mask[0], push);
    } else {
        const Terms t(mask);
        size_t most = 0;
        scatterAny<false>(in, t, nullptr, &most);
        out.open(in.width, in.height, in.depth, most);
        const CellRow emit = push;
        scatterAny<true>(in, t, &emit, nullptr);
    }
    out.close();
    return out;
}

CImg<double> SumDim(const CellTable& in, int d)
{
    CImg<double> S;
    if (d == 2) {
        S.assign(in.width, 1, 1, 1, 0.0);
        for (size_t c = 0; c < in.size(); ++c) S[in.x[c]] += in.v[c];
    } else {
        S.assign(1, in.height, 1, 1, 0.0);
        for (unsigned y = 0; y < in.height; ++y)
            for (size_t c = in.row[y], e = in.row[y + 1]; c < e; ++c) S[y] += in.v[c];
    }
    return S;
}

double entropy(const CellTable& P)
{
    double s = 0;
    for (double v : P.v)
        if (v > 0) s += v * std::log(v);
    return -s;
}

void ToMiWeights(CellTable& P, const CImg<double>& pA, const CImg<double>& pB)
{
    const bool hasA = !pA.is_empty();
    for (unsigned y = 0; y < P.height; ++y)
        for (size_t c = P.row[y], e = P.row[y + 1]; c < e; ++c)
            P.v[c] = MiWeight(P.v[c], hasA ? pA[P.x[c]] : 1.0, pB[y]);
}

void AdjointAt(const CellTable& L, const CImg<double>& A, const CImg<double>& B, const CellTable& at,
               std::vector<double>& RA, std::vector<double>& RB)
{
    const long W = L.width, H = L.height, mw = A.width(), mh = A.height();
    const long cx = mw / 2, cy = mh / 2;
    // With finite masks a position L does not hold adds zero products; otherwise every
    // position inside L is a term.
    const bool skip = allFinite(A) && allFinite(B);
    RA.assign(at.size(), 0.0);
    RB.assign(at.size(), 0.0);
    for (unsigned v = 0; v < at.height; ++v)
        for (size_t c = at.row[v], ce = at.row[v + 1]; c < ce; ++c) {
            const long u = at.x[c], x0 = u - cx;
            double sa = 0, sb = 0;
            for (long j = 0; j < mh; ++j) {
                const long y = long(v) - cy + j;
                if (y < 0 || y >= H) continue;
                const double* ma = A.data() + size_t(mw) * j;
                const double* mb = B.data() + size_t(mw) * j;
                const unsigned* rb = L.x.data() + L.row[y];
                const unsigned* re = L.x.data() + L.row[y + 1];
                const unsigned* q = std::lower_bound(rb, re, unsigned(std::max(0L, x0)));
                const double* lv = L.v.data() + (q - L.x.data());
                if (skip) {
                    for (; q < re && long(*q) < x0 + mw; ++q, ++lv) {
                        const long i = long(*q) - x0;
                        sa += ma[i] * *lv;
                        sb += mb[i] * *lv;
                    }
                    continue;
                }
                for (long xx = std::max(0L, x0), xe = std::min(W, x0 + mw); xx < xe; ++xx) {
                    double l = 0.0;
                    if (q < re && long(*q) == xx) l = *lv, ++q, ++lv;
                    sa += ma[xx - x0] * l;
                    sb += mb[xx - x0] * l;
                }
            }
            RA[c] = sa;
            RB[c] = sb;
        }
}
