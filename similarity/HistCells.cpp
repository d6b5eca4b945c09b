#include "similarity/HistCells.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// ---- HistCells -------------------------------------------------------------------------

void HistCells::clear(int n, int planes, float countWeight, std::size_t most)
{
    p_.reserve(most);
    d_.reserve(most * std::size_t(planes));
    if (countWeight != 0.f) c_.reserve(most);
    x_.reserve(most);
    w_ = countWeight;
    n_ = n;
    D_ = planes;
    p_.clear();
    d_.clear();
    c_.clear();
    x_.clear();
    rowY_.clear();
    rowFirst_.clear();
    rowsValid_ = false;
    maxCount_ = 0;
    sp_ = sd_ = 1.f;
}

int HistCells::extend(int y, int k)
{
    const int first = size();
    p_.extend(k);
    d_.extend(std::size_t(k) * D_);
    if (counted()) c_.extend(k);
    x_.extend(k);
    if (rowY_.empty() || rowY_.back() != y) {
        rowY_.push_back(y);
        rowFirst_.push_back(first);
    }
    rowsValid_ = false;
    return first;
}

void HistCells::rows() const
{
    if (rowsValid_) return;
    rowStart_.assign(std::size_t(n_) + 1, 0);
    for (int r = 0, rows = rowCount(); r < rows; ++r) rowStart_[std::size_t(rowY_[r]) + 1] = rowFirst(r + 1) - rowFirst(r);
    for (int y = 0; y < n_; ++y) rowStart_[y + 1] += rowStart_[y];
    rowsValid_ = true;
}

void HistCells::toDense(CImg<float>& out, int first, int depth, int spectrum) const
{
    const int planes = depth * spectrum;
    out.assign(n_, n_, depth, spectrum, 0.f);
    const std::size_t plane = std::size_t(n_) * std::size_t(n_);
    for (int r = 0, rows = rowCount(); r < rows; ++r) {
        float* const row = out.data() + std::size_t(n_) * std::size_t(rowY_[r]);
        for (int i = rowFirst(r), e = rowFirst(r + 1); i < e; ++i) {
            float* const o = row + std::size_t(x_[i]);
            for (int k = 0; k < planes; ++k) {
                const int q = first + k;
                o[k * plane] = q == 0 ? p_[i] : d_[std::size_t(i) * D_ + q - 1];
            }
        }
    }
}

// ---- CellRows --------------------------------------------------------------------------

void CellRows::setup(int n, int slots, int rows, bool track)
{
    const std::size_t cells = std::size_t(n) * std::size_t(rows);
    if (n != n_ || slots != S_ || rows != R_) {
        n_ = n;
        S_ = slots;
        R_ = rows;
        data_.assign(cells * std::size_t(slots), 0.f);
        count_.assign(cells, 0);
        mark_.clear();
    }
    // (64 spare marks: they are read 64 at a time)
    if (track && mark_.empty()) mark_.assign(cells + 64, 0);
}

namespace {

// The marks (bytes 0 or 1) m[0 .. 63] as the bits of a word, m[k] in bit k.
inline std::uint64_t packMarks(const std::uint8_t* m)
{
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    std::uint64_t bits = 0;
    for (int q = 0; q < 4; ++q) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m + 16 * q));
        bits |= std::uint64_t(std::uint16_t(~_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)))) << (16 * q);
    }
    return bits;
#else
    std::uint64_t bits = 0;
    for (int q = 0; q < 8; ++q) {
        std::uint64_t v;
        std::memcpy(&v, m + 8 * q, 8);
        // (little-endian: byte k of v is m[k]; the product gathers bit 0 of every byte)
        bits |= ((v * 0x0102040810204080ull) >> 56) << (8 * q);
    }
    return bits;
#endif
}

// The index of the lowest set bit of v != 0.
inline int lowestBit(std::uint64_t v)
{
#if defined(__GNUC__)
    return __builtin_ctzll(v);
#else
    int k = 0;
    while (!(v & 1)) v >>= 1, ++k;
    return k;
#endif
}

// Cell x of a row (slots at d, counts at c) copied to out's cell i (its arrays at o) and left
// zero; SC the slots per cell and DC the planes kept when known at compile time (SC 0: the
// runtime S and D); Counted: the probability is the count times w (and the count is kept).
struct OutCells {
    int *x, *c;
    float *p, *d;
    float w, sp, sd;
    int D, most;
};
template <int SC, int DC, bool Counted>
inline void moveCell(float* d, int* c, int x, int S, OutCells& o, int i)
{
    if (SC) S = SC;
    const int D = SC ? DC : o.D;   // (at most S - 1: padding slots are not kept)
    float* const src = d + std::size_t(x) * S;
    float* const to = o.d + std::size_t(i) * D;
    if (Counted) {
        // (counted in integers: exact in any order, scaled once)
        const int n = c[x];
        o.p[i] = n ? float(n) * o.w : 0.f;
        o.most = n > o.most ? n : o.most;
        o.c[i] = n;
        c[x] = 0;
    } else {
        o.p[i] = src[0] * o.sp;
    }
    if (Counted && o.sd == 1.f) {
        // (planes not scaled, as the counted tables' are: x 1 gives the same bits, the
        // planes being sums, never signalling NaNs)
        std::memcpy(to, src + 1, sizeof(float) * std::size_t(D));
#if defined(__SSE2__)
    } else if (SC && DC >= 4) {
        // (the same products four and two at a time)
        const __m128 k = _mm_set1_ps(o.sd);
        _mm_storeu_ps(to, _mm_mul_ps(_mm_loadu_ps(src + 1), k));
        if (DC == 6) {
            const __m128 v = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 5)));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(to + 4), _mm_castps_si128(_mm_mul_ps(v, k)));
        }
        for (int e = DC == 6 ? 6 : 4; e < D; ++e) to[e] = src[1 + e] * o.sd;
#endif
    } else {
        for (int e = 0; e < D; ++e) to[e] = src[1 + e] * o.sd;
    }
    std::memset(src, 0, sizeof(float) * std::size_t(S));
    o.x[i] = x;
}

// Moves the cells of row r given by cols (cols.each(f) calls f(x) for each, increasing) to
// out's cells from `first` on.
template <int SC, int DC, bool Counted, class Cols>
void moveOut(float* d, int* c, const Cols& cols, int S, HistCells& out, int first)
{
    OutCells o{out.columns() + first, Counted ? out.counts() + first : nullptr, out.pdfs() + first,
               out.planes(first), out.countWeight(), out.pdfScale(), out.planeScale(), out.planes(), 0};
    int i = 0;
    cols.each([&](int x) { moveCell<SC, DC, Counted>(d, c, x, S, o, i++); });
    if (Counted) out.noteCount(o.most);
}

// The layouts of the measures' cells (2, 3, 4 or 6 warp parameters), counted or not.
template <class Cols>
void moveAny(float* d, int* c, const Cols& cols, int S, HistCells& out, int first)
{
    const bool n = out.counted();
    switch (S * 16 + out.planes()) {
    case 1 * 16 + 0: n ? moveOut<1, 0, true>(d, c, cols, S, out, first) : moveOut<1, 0, false>(d, c, cols, S, out, first); break;
    case 3 * 16 + 2: n ? moveOut<3, 2, true>(d, c, cols, S, out, first) : moveOut<3, 2, false>(d, c, cols, S, out, first); break;
    case 4 * 16 + 3: n ? moveOut<4, 3, true>(d, c, cols, S, out, first) : moveOut<4, 3, false>(d, c, cols, S, out, first); break;
    case 5 * 16 + 4: n ? moveOut<5, 4, true>(d, c, cols, S, out, first) : moveOut<5, 4, false>(d, c, cols, S, out, first); break;
    case 7 * 16 + 6: n ? moveOut<7, 6, true>(d, c, cols, S, out, first) : moveOut<7, 6, false>(d, c, cols, S, out, first); break;
    case 4 * 16 + 2: moveOut<4, 2, false>(d, c, cols, S, out, first); break;   // (partial volume, Parzen window)
    case 8 * 16 + 4: moveOut<8, 4, false>(d, c, cols, S, out, first); break;
    case 8 * 16 + 6: moveOut<8, 6, false>(d, c, cols, S, out, first); break;
    default: n ? moveOut<0, 0, true>(d, c, cols, S, out, first) : moveOut<0, 0, false>(d, c, cols, S, out, first); break;
    }
}

// Columns from a list.
struct ColList {
    const int* xs;
    int k;
    template <class F> void each(F&& f) const
    {
        for (int i = 0; i < k; ++i) f(xs[i]);
    }
};

// Columns from bit words: bit b of word q is column lo + 64 q + b.
struct ColBits {
    const std::uint64_t* w;
    int words, lo;
    template <class F> void each(F&& f) const
    {
        for (int q = 0; q < words; ++q)
            for (std::uint64_t v = w[q]; v; v &= v - 1) f(lo + 64 * q + lowestBit(v));
    }
};

// The number of bits set in v (in registers: no call where the instruction is missing).
inline int bitCount(std::uint64_t v)
{
    v = v - ((v >> 1) & 0x5555555555555555ull);
    v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
    v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0full;
    return int((v * 0x0101010101010101ull) >> 56);
}

}  // namespace

// Moves the cells xs[0 .. k - 1] (increasing) of row r to the end of `out` as row y.
void CellRows::moveCells(int r, const int* xs, int k, int y, HistCells& out)
{
    if (k == 0) return;
    const int first = out.extend(y, k);
    moveAny(data(r), counts(r), ColList{xs, k}, S_, out, first);
}

void CellRows::emitRow(int r, int y, int lo, int hi, HistCells& out)
{
    if (hi < lo) return;
    // the marks of columns lo .. hi as bits, cleared
    const int words = (hi - lo) / 64 + 1;
    bits_.resize(std::size_t(words));
    std::uint8_t* const mk = marks(r);
    int k = 0;
    for (int q = 0; q < words; ++q) {
        const int x = lo + 64 * q, span = hi + 1 - x;
        std::uint64_t v = packMarks(mk + x);
        if (span < 64) v &= (std::uint64_t(1) << span) - 1;
        std::memset(mk + x, 0, std::size_t(span < 64 ? span : 64));
        bits_[q] = v;
        k += bitCount(v);
    }
    if (k == 0) return;
    const int first = out.extend(y, k);
    moveAny(data(r), counts(r), ColBits{bits_.data(), words, lo}, S_, out, first);
}

namespace {

// The cells of a dense row (slots at d, counts at c) whose count or a slot's bits are not 0,
// into xs; returns their number. (A slot of -0 keeps an all-zero cell, which adds nothing
// either. Without branches: which cells are held follows the data.) SC: S at compile time.
template <int SC>
int heldCells(const float* d, const int* c, int n, int S, int* xs)
{
    if (SC) S = SC;
    int k = 0;
    for (int x = 0; x < n; ++x) {
        const float* const src = d + std::size_t(x) * S;
        std::uint32_t any = std::uint32_t(c[x]);
        for (int e = 0; e < S; ++e) {
            std::uint32_t b;
            std::memcpy(&b, src + e, sizeof b);
            any |= b;
        }
        xs[k] = x;
        k += int(any != 0);
    }
    return k;
}

}  // namespace

void CellRows::emitAll(HistCells& out)
{
    held_.resize(n_);
    for (int y = 0; y < R_; ++y) {
        const float* const d = data(y);
        const int* const c = counts(y);
        int k = 0;
        switch (S_) {
        case 1: k = heldCells<1>(d, c, n_, S_, held_.data()); break;
        case 4: k = heldCells<4>(d, c, n_, S_, held_.data()); break;
        case 7: k = heldCells<7>(d, c, n_, S_, held_.data()); break;
        case 8: k = heldCells<8>(d, c, n_, S_, held_.data()); break;
        default: k = heldCells<0>(d, c, n_, S_, held_.data()); break;
        }
        moveCells(y, held_.data(), k, y, out);
    }
}
