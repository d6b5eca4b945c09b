// Triangle rasteriser for joint histograms: spreads the mass of a triangle in
// (x, y) = (column, row) space over the unit bins it covers, in proportion to area.
// Bin (c, r) of a W-wide histogram is element c + r*W and covers [c, c+1) x [r, r+1).
// Every entry point keeps its writes inside the histogram: coordinates are clamped
// into [0, W) x [0, H) and a non-finite coordinate never reaches an index.
#pragma once

#include <cstddef>
#include <vector>

#include "bridge/cimg.h"

struct HistPoint {
    float x, y;
};

// A W x H histogram that holds, per row, only the span of columns written so far (zero
// elsewhere), grown as writes reach further: what the rasteriser fills for a histogram of
// many bins, at a cost that follows the bins the triangles cover. span(r, k0, k1) is row r
// indexed by column, valid for k0 <= k <= k1 (0 <= k0 <= k1 < W).
class SpanRows {
public:
    // W x H, all zero; keeps the spans' storage when the size does not change.
    void assign(int W, int H);
    int width() const { return W_; }
    int height() const { return H_; }
    float* span(int r, int k0, int k1)
    {
        Row& row = rows_[r];
        if (k0 < row.lo || k1 > row.hi) widen(r, k0, k1);
        return row.at;
    }
    // All zero again, at the cost of the spans held (which stay allocated).
    void clear();
    // The rows holding a span, ascending, and the span of each: columns lo(r) .. hi(r) of
    // row(r) (lo > hi: none).
    const std::vector<int>& heldRows();
    int lo(int r) const { return rows_[r].lo; }
    int hi(int r) const { return rows_[r].hi; }
    const float* row(int r) const { return rows_[r].at; }
    // The dense W x H image.
    CImg<float> dense() const;

private:
    struct Row {
        std::vector<float> store;
        float* at = nullptr;   // store.data() - lo: indexed by column
        int lo = 1, hi = 0;
    };
    void widen(int r, int k0, int k1);
    int W_ = 0, H_ = 0;
    std::vector<Row> rows_;
    std::vector<int> held_;
    bool heldSorted_ = true;
};

// Deferred row runs: the long constant stretch of a row strip (the columns strictly
// between the edges, which all get the strip's weight) is recorded instead of written, and
// every recorded run is added to the histogram in one sweep per row by flush (also when
// `capacity` runs are waiting). A fill then costs its rows and edge crossings instead of
// its area. Bins that no run covers are not written; the runs of one sweep are summed in
// double before the single addition to a bin.
class RowRuns {
public:
    explicit RowRuns(std::size_t capacity = std::size_t(1) << 16) : cap_(capacity ? capacity : 1) {}
    void setCapacity(std::size_t capacity) { cap_ = capacity ? capacity : 1; }
    // Columns k0 .. k1 of row r get + g (k0 <= k1, inside the histogram). Hist: CImg<float>
    // or SpanRows.
    template <class Hist> void add(Hist& hist, int r, int k0, int k1, double g);
    template <class Hist> void flush(Hist& hist);
    void clear() { runs_.clear(); }
    bool empty() const { return runs_.empty(); }

private:
    struct Run { int row, k0, k1; double g; };
    std::vector<Run> runs_, byRow_;
    std::vector<std::size_t> rowStart_;   // bucket offsets of the runs by row
    std::vector<double> diff_;            // one row: run weights starting less ending
    std::vector<int> open_;               // one row: runs starting less ending
    std::size_t cap_;
};

// Adds the mass w to the histogram: point, line or triangle, by classifyTriangle. With
// `runs`, the long row stretches of a triangle go there (flush them before reading hist).
void splatTriangle(CImg<float>& hist, HistPoint p0, HistPoint p1, HistPoint p2, float w);
void splatTriangle(CImg<float>& hist, HistPoint p0, HistPoint p1, HistPoint p2, float w, RowRuns* runs);
void splatTriangle(SpanRows& hist, HistPoint p0, HistPoint p1, HistPoint p2, float w, RowRuns* runs);

// 0 point, 1 line, 2 triangle.
int classifyTriangle(const HistPoint& p0, const HistPoint& p1, const HistPoint& p2);

// Reorders the points by ascending y; equal y values keep their given order.
void sortByY(HistPoint& p0, HistPoint& p1, HistPoint& p2);

// Spreads w along the segment a-b (a.y <= b.y) in proportion to length.
void splatSegment(CImg<float>& hist, HistPoint a, HistPoint b, float w);

// Adds d times the area of the triangle inside each bin.
void fillTriangle(CImg<float>& hist, HistPoint p0, HistPoint p1, HistPoint p2, double d,
                  RowRuns* runs = nullptr);

// As fillTriangle for a triangle whose edge A-E is horizontal (A.y == E.y), apex C.
void fillFlatTriangle(CImg<float>& hist, HistPoint A, HistPoint C, HistPoint E, double d);

// Adds g times the covered fraction of each bin of row r for the strip between the
// left edge (x = a at one end, b at the other) and the right edge (c, e).
void fillRowSpan(CImg<float>& hist, int r, double a, double b, double c, double e, double g);

// Subtracts g times the fraction of each bin of row r lying outside the edge running
// from x = a to x = b across the strip; side 1 trims the left of a left edge, 2 the
// right of a right edge.
void trimEdge(CImg<float>& hist, int r, double a, double b, double g, int side);
