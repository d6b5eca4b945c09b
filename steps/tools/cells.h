// Tables of the mutual-information steps held as their occupied cells.
//
// A CellTable is a width x height table (x the column, y the row) of `depth` values per cell,
// of which only some cells are held: in the order a dense table is scanned (rows ascending,
// columns ascending within a row). A cell that is not held is 0 in every value.
//
// Every operation gives, bit for bit, what the same operation on the dense table gives: a sum
// skips only terms that are zero products of finite factors, which leave a sum that starts at
// +0 as it is (such a sum never becomes -0), and adds every other term in the dense order.
// Cells whose values all come out 0 (of either sign) may be dropped; a NaN is never 0, so its
// cell stays.
#pragma once

#include <cstddef>
#include <vector>

#include "bridge/cimg.h"

struct CellTable {
    unsigned width = 0, height = 0;
    int depth = 1;
    std::vector<unsigned> x;    // column of each cell
    std::vector<size_t> row;    // height + 1 entries: row y holds cells row[y] .. row[y + 1] - 1
    std::vector<double> v;      // depth values per cell

    size_t size() const { return x.size(); }
    const double* at(size_t c) const { return v.data() + c * size_t(depth); }
    double* at(size_t c) { return v.data() + c * size_t(depth); }

    // Empty, for a width x height table of `depth` values per cell; room for `most` cells.
    void open(unsigned w, unsigned h, int d, size_t most = 0);
    // Appends cell (cx, y) after every cell held (y ascending, cx ascending within a row);
    // returns its values, the caller's to write.
    double* push(unsigned y, unsigned cx)
    {
        while (open_ < y) row[++open_] = x.size();
        x.push_back(cx);
        v.resize(v.size() + size_t(depth));
        return v.data() + v.size() - size_t(depth);
    }
    // Ends the appending: rows after the last cell are empty.
    void close()
    {
        while (open_ < height) row[++open_] = x.size();
    }

private:
    unsigned open_ = 0;
};

// The cells of a width x height table that the pixels reach: cell[k] holds pixel k's cell
// index x + width y (or -1 for none) and becomes its cell's place in `t` (or -1). `t` gets
// those cells, one value each, all 0.
void IndexCells(unsigned width, unsigned height, std::vector<int>& cell, CellTable& t);

// The table `in` convolved by `mask` as smoothTable does it (zero outside the table, the
// table's size, every value of a cell a plane of its own): each held cell gets the terms of
// its dense counterpart in the library's order. A mask holding a value that is not finite
// makes every cell of the dense result a term of it, so the table is then made dense and
// convolved by the library. The library's exception for an empty mask or one of several
// channels.
CellTable SmoothCells(const CellTable& in, const CImg<double>& mask);

// `in` summed over a dimension, as SumDim of the dense table: d = 1 over x (1 x height),
// d = 2 over y (width x 1). depth 1.
CImg<double> SumDim(const CellTable& in, int d);

// -sum of v ln v over the values v > 0 of the cells (depth 1), in scan order.
double entropy(const CellTable& P);

// The weights MiWeights gives the dense table at each cell of P (depth 1), 0 elsewhere.
CellTable MiWeights(const CellTable& P, const CImg<double>& pA, const CImg<double>& pB);

// sum over the cells of value q of A times L (depth 1), as SumProduct of the dense tables:
// for q = 0 .. A.depth - 1 into s[q].
void SumProducts(const CellTable& A, const CellTable& L, double s[]);

// For each cell (u, v) of `at`: sum over the mask's elements (i, j), j outer, i inner, of
// mask(i, j) L(u - cx + i, v - cy + j) for the positions inside L (cx, cy the mask's
// integer halves, L depth 1), as a dense loop over the mask gives it. mask is one plane.
std::vector<double> AdjointAt(const CellTable& L, const CImg<double>& mask, const CellTable& at);

// Cell by cell over A's cells in scan order: f(y, c, b) for cell c of row y, with b the index
// of the same cell in B, or -1 when B does not hold it.
template <class F>
void ForCellsWith(const CellTable& A, const CellTable& B, F f)
{
    for (unsigned y = 0; y < A.height; ++y) {
        size_t b = B.row[y];
        const size_t be = B.row[y + 1];
        for (size_t c = A.row[y], e = A.row[y + 1]; c < e; ++c) {
            while (b < be && B.x[b] < A.x[c]) ++b;
            f(y, c, b < be && B.x[b] == A.x[c] ? long(b) : -1L);
        }
    }
}
