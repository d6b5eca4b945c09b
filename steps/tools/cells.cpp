#include "steps/tools/cells.h"

#include <algorithm>
#include <cmath>

#include "similarity/smooth.h"

void CellTable::open(unsigned w, unsigned h, int d, size_t most)
{
    width = w;
    height = h;
    depth = d;
    x.clear();
    v.clear();
    x.reserve(most);
    v.reserve(most * size_t(d));
    row.assign(size_t(h) + 1, 0);
    open_ = 0;
}

void IndexCells(unsigned width, unsigned height, std::vector<int>& cell, CellTable& t)
{
    const size_t n = cell.size(), cells = size_t(width) * height;
    t.open(width, height, 1);
    if (cells <= 8 * n + 65536) {
        // Small table: a mark per cell, read in scan order.
        std::vector<int> place(cells, -1);
        for (int c : cell)
            if (c >= 0) place[size_t(c)] = 0;
        int next = 0;
        for (unsigned y = 0; y < height; ++y)
            for (unsigned cx = 0; cx < width; ++cx) {
                int& p = place[cx + size_t(width) * y];
                if (p < 0) continue;
                p = next++;
                t.push(y, cx)[0] = 0;
            }
        for (int& c : cell)
            if (c >= 0) c = place[size_t(c)];
        t.close();
        return;
    }
    // Large table: the pixels by row (counting sort), then each row's columns sorted.
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
    std::vector<int> place(width, -1);
    std::vector<unsigned> cols;
    int next = 0;
    for (unsigned y = 0; y < height; ++y) {
        if (start[y] == start[y + 1]) continue;
        cols.clear();
        const size_t base = size_t(width) * y;
        for (size_t r = start[y]; r < start[y + 1]; ++r) {
            const unsigned cx = unsigned(size_t(cell[byRow[r]]) - base);
            if (place[cx] < 0) {
                place[cx] = 0;
                cols.push_back(cx);
            }
        }
        std::sort(cols.begin(), cols.end());
        for (unsigned cx : cols) {
            place[cx] = next++;
            t.push(y, cx)[0] = 0;
        }
        for (size_t r = start[y]; r < start[y + 1]; ++r) {
            int& c = cell[byRow[r]];
            c = place[unsigned(size_t(c) - base)];
        }
        for (unsigned cx : cols) place[cx] = -1;
    }
    t.close();
}

namespace {

bool allFinite(const CImg<double>& m)
{
    for (const double* p = m.data(), *e = m.end(); p < e; ++p)
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

// The cells of a dense table (one channel per value) with a value that is not 0.
CellTable cellsOf(const CImg<double>& D)
{
    CellTable t;
    const unsigned w = D.width(), h = D.height();
    const int d = D.spectrum();
    const size_t plane = size_t(w) * h;
    t.open(w, h, d);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned cx = 0; cx < w; ++cx) {
            const double* p = D.data() + cx + size_t(w) * y;
            bool held = false;
            for (int k = 0; k < d; ++k) held |= p[plane * k] != 0;  // NaN too
            if (!held) continue;
            double* o = t.push(y, cx);
            for (int k = 0; k < d; ++k) o[k] = p[plane * k];
        }
    t.close();
    return t;
}

// One mask element as a term of the convolution: out(x + dx, y + dy) += K in(x, y).
struct Term {
    double K;
    int dx;
};

// The terms of one mask row (one dy), a run of the library's term order.
struct TermRow {
    int dy;
    size_t first, last;  // terms first .. last - 1
};

// The convolution of `in` by finite terms, DEPTH values per cell (0: in.depth).
template <int DEPTH>
void scatter(const CellTable& in, const std::vector<Term>& terms, const std::vector<TermRow>& rows,
             CellTable& out)
{
    const int D = DEPTH ? DEPTH : in.depth;
    const long W = in.width, H = in.height;
    out.open(in.width, in.height, D, in.size());
    if (!in.size() || rows.empty()) return out.close();
    int dyLo = rows[0].dy, dyHi = rows[0].dy;
    for (const TermRow& r : rows) dyLo = std::min(dyLo, r.dy), dyHi = std::max(dyHi, r.dy);
    long yFirst = 0, yLast = H - 1;
    while (in.row[yFirst] == in.row[yFirst + 1]) ++yFirst;
    while (in.row[yLast] == in.row[yLast + 1]) --yLast;
    std::vector<double> buf(size_t(W) * D, 0.0);
    const unsigned* xs = in.x.data();
    const double* vs = in.v.data();
    for (long oy = std::max(0L, yFirst + dyLo), oyEnd = std::min(H - 1, yLast + dyHi); oy <= oyEnd; ++oy) {
        long lo = W, hi = -1;
        for (const TermRow& r : rows) {
            const long iy = oy - r.dy;
            if (iy < 0 || iy >= H) continue;
            const size_t b = in.row[iy], e = in.row[iy + 1];
            if (b == e) continue;
            const long x0 = xs[b], x1 = xs[e - 1];
            for (size_t t = r.first; t < r.last; ++t) {
                const double K = terms[t].K;
                const long dx = terms[t].dx;
                if (x1 + dx < 0 || x0 + dx >= W) continue;
                lo = std::min(lo, std::max(0L, x0 + dx));
                hi = std::max(hi, std::min(W - 1, x1 + dx));
                for (size_t c = b; c < e; ++c) {
                    const long ox = long(xs[c]) + dx;
                    if (ox < 0 || ox >= W) continue;
                    double* d = buf.data() + size_t(ox) * D;
                    const double* s = vs + c * size_t(D);
                    for (int k = 0; k < D; ++k) d[k] += K * s[k];
                }
            }
        }
        for (long ox = lo; ox <= hi; ++ox) {
            double* d = buf.data() + size_t(ox) * D;
            bool held = false;
            for (int k = 0; k < D; ++k) held |= d[k] != 0;  // NaN too
            if (!held) continue;
            double* o = out.push(unsigned(oy), unsigned(ox));
            for (int k = 0; k < D; ++k) o[k] = d[k], d[k] = 0.0;
        }
    }
    out.close();
}

}  // namespace

CellTable SmoothCells(const CellTable& in, const CImg<double>& mask)
{
    checkMask(mask);
    CellTable out;
    if (!in.width || !in.height) {
        out.open(in.width, in.height, in.depth);
        out.close();
        return out;
    }
    if (!allFinite(mask)) return cellsOf(smoothTable(dense(in), mask));
    const int mw = mask.width(), mh = mask.height(), md = mask.depth();
    if (mw == 1 && mh == 1 && md == 1) {
        // The library scales the table by a 1 x 1 mask, and copies it for a mask of 1.
        const double K = mask[0];
        out = in;
        if (K != 1)
            for (double& v : out.v) v *= K;
        return out;
    }
    // The library's order: a mask of up to 27 elements reversed, a larger one in storage
    // order; the planes other than the middle one read only the zero border.
    const int cx = mw / 2, cy = mh / 2, cz = md / 2;
    const long N = long(mw) * mh * md, plane = long(mw) * mh;
    std::vector<Term> terms;
    std::vector<TermRow> rows;
    for (long step = 0; step < N; ++step) {
        const long e = N <= 27 ? N - 1 - step : step;
        if (e / plane != cz) continue;
        const int dy = int((e / mw) % mh) - cy;
        if (rows.empty() || rows.back().dy != dy) rows.push_back({dy, terms.size(), terms.size()});
        terms.push_back({mask[e], int(e % mw) - cx});
        rows.back().last = terms.size();
    }
    if (in.depth == 1) scatter<1>(in, terms, rows, out);
    else if (in.depth == 6) scatter<6>(in, terms, rows, out);
    else scatter<0>(in, terms, rows, out);
    return out;
}

CImg<double> SumDim(const CellTable& in, int d)
{
    const bool overX = d != 2;
    CImg<double> S(overX ? 1 : in.width, overX ? in.height : 1, 1, 1, 0.0);
    for (unsigned y = 0; y < in.height; ++y)
        for (size_t c = in.row[y], e = in.row[y + 1]; c < e; ++c) S[overX ? y : in.x[c]] += in.v[c];
    return S;
}

double entropy(const CellTable& P)
{
    double s = 0;
    for (double v : P.v)
        if (v > 0) s += v * std::log(v);
    return -s;
}

CellTable MiWeights(const CellTable& P, const CImg<double>& pA, const CImg<double>& pB)
{
    CellTable L = P;
    const bool hasA = !pA.is_empty();
    for (unsigned y = 0; y < P.height; ++y)
        for (size_t c = P.row[y], e = P.row[y + 1]; c < e; ++c) {
            const double v = P.v[c];
            L.v[c] = v != 0 ? std::log(v / ((hasA ? pA[P.x[c]] : 1.0) * pB[y])) + 1 : 0.0;
        }
    return L;
}

void SumProducts(const CellTable& A, const CellTable& L, double s[])
{
    const int D = A.depth;
    for (int q = 0; q < D; ++q) s[q] = 0;
    // Over the cells either table holds, in scan order; a cell only one holds gives 0 times
    // the other's value (a NaN or an infinity there makes the sum NaN, as densely).
    for (unsigned y = 0; y < A.height; ++y) {
        size_t a = A.row[y], l = L.row[y];
        const size_t ae = A.row[y + 1], le = L.row[y + 1];
        while (a < ae || l < le) {
            const unsigned xa = a < ae ? A.x[a] : ~0u, xl = l < le ? L.x[l] : ~0u;
            const double* va = xa <= xl ? A.at(a) : nullptr;
            const double vl = xl <= xa ? L.v[l] : 0.0;
            for (int q = 0; q < D; ++q) s[q] += (va ? va[q] : 0.0) * vl;
            if (xa <= xl) ++a;
            if (xl <= xa) ++l;
        }
    }
}

std::vector<double> AdjointAt(const CellTable& L, const CImg<double>& mask, const CellTable& at)
{
    const long W = L.width, H = L.height, mw = mask.width(), mh = mask.height();
    const long cx = mw / 2, cy = mh / 2;
    // With a finite mask a position L does not hold adds a zero product; otherwise every
    // position inside L is a term.
    const bool skip = allFinite(mask);
    std::vector<double> R(at.size(), 0.0);
    for (unsigned v = 0; v < at.height; ++v)
        for (size_t c = at.row[v], ce = at.row[v + 1]; c < ce; ++c) {
            const long u = at.x[c], x0 = u - cx;
            double s = 0;
            for (long j = 0; j < mh; ++j) {
                const long y = long(v) - cy + j;
                if (y < 0 || y >= H) continue;
                const double* m = mask.data() + size_t(mw) * j;
                const unsigned* rb = L.x.data() + L.row[y];
                const unsigned* re = L.x.data() + L.row[y + 1];
                const unsigned* q = std::lower_bound(rb, re, unsigned(std::max(0L, x0)));
                const double* lv = L.v.data() + (q - L.x.data());
                if (skip) {
                    for (; q < re && long(*q) < x0 + mw; ++q, ++lv) s += m[long(*q) - x0] * *lv;
                    continue;
                }
                for (long i = 0; i < mw; ++i) {
                    const long xx = x0 + i;
                    if (xx < 0 || xx >= W) continue;
                    double l = 0.0;
                    if (q < re && long(*q) == xx) l = *lv, ++q, ++lv;
                    s += m[i] * l;
                }
            }
            R[c] = s;
        }
    return R;
}
