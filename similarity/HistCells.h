// The occupied cells of an n x n joint table, and the two ways of filling them.
//
// HistCells holds the bins (x, y) (x the column, y the row) that something landed in, in
// the order a dense table is scanned (rows ascending, columns ascending within a row): per
// cell the probability (plane 0), `planes` further floats (the derivative planes) and an
// integer count. Sums taken over the cells in that order add the terms of a scan of the
// dense table, in its order.
//
// CellRows accumulates cells of `slots` floats (plane 0 first) in dense rows of n cells and
// hands them over to a HistCells row by row (emitRow) or all at once (emitAll). With all n
// rows it is the dense table itself (for small n, where its n^2 cells cost little; emitAll
// takes the cells that are not all zero); with a few rows reused in turn it holds only the
// rows being filled, for measures that visit the samples row by row, and the cells used are
// marked (a byte per cell: marking is a plain store). Rows are given back cleared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "bridge/cimg.h"

// A growable array whose new elements are left for the caller to write.
template <class T>
class GrowArray {
public:
    std::size_t size() const { return n_; }
    T* data() { return p_.get(); }
    const T* data() const { return p_.get(); }
    T& operator[](std::size_t i) { return p_[i]; }
    const T& operator[](std::size_t i) const { return p_[i]; }
    void clear() { n_ = 0; }
    // Room for k elements without moving (memory that is not written stays untouched).
    void reserve(std::size_t k)
    {
        if (k <= cap_) return;
        std::unique_ptr<T[]> q(new T[k]);
        if (n_) std::memcpy(q.get(), p_.get(), n_ * sizeof(T));
        p_.swap(q);
        cap_ = k;
    }
    // k more elements; returns the first of them.
    T* extend(std::size_t k)
    {
        if (n_ + k > cap_) {
            std::size_t cap = cap_ ? 2 * cap_ : 1024;
            while (cap < n_ + k) cap *= 2;
            std::unique_ptr<T[]> q(new T[cap]);
            if (n_) std::memcpy(q.get(), p_.get(), n_ * sizeof(T));
            p_.swap(q);
            cap_ = cap;
        }
        T* const first = p_.get() + n_;
        n_ += k;
        return first;
    }

private:
    std::unique_ptr<T[]> p_;
    std::size_t n_ = 0, cap_ = 0;
};

class HistCells {
public:
    // Empty, for n bins per axis and `planes` floats per cell besides the probability, no
    // scaling on entry. With countWeight w != 0 the probability of every cell handed over by
    // CellRows is its count times w (counted(); the counts are kept), else the cell's slot 0
    // (no counts). Room is made for `most` cells at once, so that the arrays need not grow by
    // copies.
    void clear(int n, int planes, float countWeight = 0.f, std::size_t most = 0);
    // k new last cells of row y (at or after the last row held), after every cell held in
    // scan order; returns the index of the first. Their columns (increasing), planes and counts (counted()) are the caller's to
    // write.
    int extend(int y, int k);

    int size() const { return int(x_.size()); }
    int planes() const { return D_; }
    int bins() const { return n_; }
    int x(int i) const { return x_[i]; }
    int* columns() { return x_.data(); }
    const int* columns() const { return x_.data(); }
    // The rows that hold cells, in increasing order: row r is row rowY(r) of the table and
    // holds the cells rowFirst(r) .. rowFirst(r + 1) - 1 (r < rowCount()).
    int rowCount() const { return int(rowY_.size()); }
    int rowY(int r) const { return rowY_[r]; }
    int rowFirst(int r) const { return r < rowCount() ? rowFirst_[r] : size(); }
    const int* rowYs() const { return rowY_.data(); }
    const int* rowFirsts() const { return rowFirst_.data(); }
    const int* counts() const { return c_.data(); }   // (counted() only)
    float* pdfs() { return p_.data(); }
    const float* pdfs() const { return p_.data(); }
    float& pdf(int i) { return p_[i]; }
    float pdf(int i) const { return p_[i]; }
    // The derivative planes of cell i.
    float* planes(int i) { return d_.data() + std::size_t(i) * D_; }
    const float* planes(int i) const { return d_.data() + std::size_t(i) * D_; }
    int* counts() { return c_.data(); }
    int count(int i) const { return c_[i]; }
    // Cells handed over by CellRows from now on (until the next clear) are scaled: the
    // probability (when not counted) by pdfScale, every plane by planeScale.
    void scaleOnEntry(float pdfScale, float planeScale)
    {
        sp_ = pdfScale;
        sd_ = planeScale;
    }
    float pdfScale() const { return sp_; }
    float planeScale() const { return sd_; }
    // Every probability is its count times the count weight.
    bool counted() const { return w_ != 0.f; }
    float countWeight() const { return w_; }
    // The largest count of a cell (counted()).
    int maxCount() const { return maxCount_; }
    void noteCount(int c) { maxCount_ = c > maxCount_ ? c : maxCount_; }
    // Cells of row y: rowBegin(y) .. rowEnd(y) - 1 (built on first use after a change).
    int rowBegin(int y) const { rows(); return rowStart_[y]; }
    int rowEnd(int y) const { rows(); return rowStart_[y + 1]; }

    // The dense n x n x depth x spectrum image of planes first, first + 1, ... (image
    // plane z + depth c from cell plane first + z + depth c; plane 0 the probability);
    // bins without a cell are 0.
    void toDense(CImg<float>& out, int first, int depth, int spectrum = 1) const;

private:
    void rows() const;
    int n_ = 0, D_ = 0;
    GrowArray<float> p_, d_;
    GrowArray<int> c_, x_;
    std::vector<int> rowY_, rowFirst_;
    mutable std::vector<int> rowStart_;
    mutable bool rowsValid_ = false;
    float w_ = 0.f, sp_ = 1.f, sd_ = 1.f;
    int maxCount_ = 0;
};

class CellRows {
public:
    // `rows` dense rows of n cells, `slots` floats and a count each, all zero. With
    // `track`, the cells used are marked (for rows reused in turn).
    void setup(int n, int slots, int rows, bool track);

    int rows() const { return R_; }
    int bins() const { return n_; }
    // Storage of row r (0 <= r < rows): slots, counts, marks.
    float* data(int r) { return data_.data() + std::size_t(r) * n_ * S_; }
    int* counts(int r) { return count_.data() + std::size_t(r) * n_; }
    std::uint8_t* marks(int r) { return mark_.data() + std::size_t(r) * n_; }

    // Hands the marked cells of row r, all within columns lo .. hi, to `out` as row y in
    // column order (slot 0 the probability, slots 1 .. the planes), and clears them.
    void emitRow(int r, int y, int lo, int hi, HistCells& out);
    // Hands every cell with a non-zero slot or count, row r as row r, to `out` in scan order,
    // and clears them (rows == n, without tracking). A cell that stayed all zero adds
    // nothing to any sum over the cells.
    void emitAll(HistCells& out);

private:
    void moveCells(int r, const int* xs, int k, int y, HistCells& out);
    int n_ = 0, S_ = 0, R_ = 0;
    std::vector<float> data_;
    std::vector<int> count_;
    std::vector<std::uint8_t> mark_;
    std::vector<int> held_;
    std::vector<std::uint64_t> bits_;
};

// Cell access of the walks' inner loops: cell (x, y) (its slots) and its count; SC the
// slots per cell when known at compile time (0: the runtime S).
// DenseAccess: all n rows of a CellRows set up with rows = n, without tracking.
template <int SC = 0>
struct DenseAccess {
    float* data;
    int* cnt;
    std::size_t n;
    int S;
    std::size_t stride() const { return SC ? std::size_t(SC) : std::size_t(S); }
    float* cell(int x, int y) const { return data + (std::size_t(x) + n * std::size_t(y)) * stride(); }
    // Row y, for several cells of it: rowOf(y).cell(x) is cell(x, y).
    struct Row {
        float* base;
        std::size_t stride;
        float* cell(int x) const { return base + std::size_t(x) * stride; }
    };
    Row rowOf(int y) const { return Row{data + n * std::size_t(y) * stride(), stride()}; }
    // Cells x .. x + len - 1 of row y, side by side.
    float* run(int x, int y, int) const { return cell(x, y); }
    int& count(int x, int y) const { return cnt[std::size_t(x) + n * std::size_t(y)]; }
    static DenseAccess of(CellRows& r, int S) { return DenseAccess{r.data(0), r.counts(0), std::size_t(r.bins()), S}; }
};

// RowAccess: R rows reused in turn (R = 1 or 4), row y in row y & (R - 1) of a tracking
// CellRows set up with R rows; marks the cells used and keeps the span of their columns per
// row.
template <int SC = 0, int R = 1>
struct RowAccess {
    static_assert(R == 1 || R == 4, "one row or four in turn");
    CellRows* rows;
    int S;
    float* d[R];
    int* c[R];
    std::uint8_t* mk[R];
    mutable int lo[R], hi[R];

    static RowAccess of(CellRows& r, int S)
    {
        RowAccess a{&r, S, {}, {}, {}, {}, {}};
        for (int k = 0; k < R; ++k) {
            a.d[k] = r.data(k);
            a.c[k] = r.counts(k);
            a.mk[k] = r.marks(k);
            a.lo[k] = r.bins();
            a.hi[k] = -1;
        }
        return a;
    }
    static int slotOf(int y) { return y & (R - 1); }
    std::size_t stride() const { return SC ? std::size_t(SC) : std::size_t(S); }
    void use(int r, int x) const
    {
        mk[r][x] = 1;
        lo[r] = x < lo[r] ? x : lo[r];
        hi[r] = x > hi[r] ? x : hi[r];
    }
    float* cell(int x, int y) const
    {
        const int r = slotOf(y);
        use(r, x);
        return d[r] + std::size_t(x) * stride();
    }
    int& count(int x, int y) const
    {
        const int r = slotOf(y);
        use(r, x);
        return c[r][x];
    }
    struct Row {
        const RowAccess* a;
        int y;
        float* cell(int x) const { return a->cell(x, y); }
    };
    Row rowOf(int y) const { return Row{this, y}; }
    float* run(int x, int y, int len) const
    {
        const int r = slotOf(y);
        for (int k = 0; k < len; ++k) mk[r][x + k] = 1;
        lo[r] = x < lo[r] ? x : lo[r];
        hi[r] = x + len - 1 > hi[r] ? x + len - 1 : hi[r];
        return d[r] + std::size_t(x) * stride();
    }
    // Hands row y (kept in row y & (R - 1)) to `out`.
    void emit(int y, HistCells& out) const
    {
        const int r = slotOf(y);
        rows->emitRow(r, y, lo[r], hi[r], out);
        lo[r] = rows->bins();
        hi[r] = -1;
    }
};
