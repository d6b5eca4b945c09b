// Tables of the mutual-information steps held as their occupied cells.
//
// A CellTable is a width x height table (x the column, y the row) of `depth` values per cell,
// of which only some cells are held: in the order a dense table is scanned (rows ascending,
// columns ascending within a row). A cell that is not held is 0 in every value.
//
// Every operation gives, bit for bit, what the same operation on the dense table gives: a sum
// skips only terms that are zero products of finite factors, which leave a sum that starts at
// +0 as it is (such a sum never becomes -0), and adds every other term in the dense order. A
// held cell may be 0 (of either sign): 0 and a missing cell act alike everywhere.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "bridge/cimg.h"

struct CellTable {
    unsigned width = 0, height = 0;
    int depth = 1;
    std::vector<unsigned> x;  // column of each cell
    std::vector<size_t> row;  // height + 1 entries: row y holds cells row[y] .. row[y + 1] - 1
    std::vector<double> v;    // depth values per cell

    size_t size() const { return x.size(); }
    const double* at(size_t c) const { return v.data() + c * size_t(depth); }

    // Empty, for a width x height table of `depth` values per cell; room for `most` cells.
    void open(unsigned w, unsigned h, int d, size_t most = 0);
    // Appends the n cells xs[0..n-1] (ascending) of row y, after every row held, with the
    // values vals[0 .. n depth - 1]; returns where the values went.
    double* pushRow(unsigned y, const unsigned* xs, const double* vals, size_t n);
    // Ends the appending: rows after the last one are empty.
    void close();

private:
    unsigned open_ = 0;  // rows 0 .. open_ have their start in `row`
};

// The joint table of the pixels' cells: cell[k] holds pixel k's cell index x + width y (or -1
// for none); `t` gets the cells reached, each the sum of `inc` once per pixel in it. With
// `places`, cell[k] becomes the place of pixel k's cell in `t` (or stays -1). inc > 0.
void JointCells(unsigned width, unsigned height, std::vector<int>& cell, double inc, bool places,
                CellTable& t);

// A row of cells as it is made: row y, cells xs[0 .. n-1] ascending, values vals[n depth].
using CellRow = std::function<void(unsigned y, const unsigned* xs, const double* vals, size_t n)>;

// The table `in` convolved by `mask` as smoothTable does it (zero outside the table, the
// table's size, every value of a cell a plane of its own), handed over row by row in order
// (rows without cells left out): each cell the mask reaches from a held cell, with the terms
// of its dense counterpart in the library's order. A mask holding a value that is not finite
// makes every cell of the dense result a term of it: the table is then made dense and
// convolved by the library. The library's exception for an empty mask or one of several
// channels.
void SmoothRows(const CellTable& in, const CImg<double>& mask, const CellRow& emit);

// SmoothRows into a table (of exactly the cells it needs).
CellTable SmoothCells(const CellTable& in, const CImg<double>& mask);

// `in` summed over a dimension, as SumDim of the dense table: d = 1 over x (1 x height),
// d = 2 over y (width x 1). depth 1.
CImg<double> SumDim(const CellTable& in, int d);

// -sum of v ln v over the values v > 0 of the cells (depth 1), in scan order.
double entropy(const CellTable& P);

// P's values (depth 1) replaced by the weights MiWeights gives the dense table at its cells.
void ToMiWeights(CellTable& P, const CImg<double>& pA, const CImg<double>& pB);

// For each cell (u, v) of `at`: sum over the mask's elements (i, j), j outer, i inner, of
// mask(i, j) L(u - cx + i, v - cy + j) for the positions inside L (cx, cy the mask's
// integer halves, L depth 1), as a dense loop over the mask gives it; for two masks A and B
// of one size (one plane each) at once, into RA and RB.
void AdjointAt(const CellTable& L, const CImg<double>& A, const CImg<double>& B, const CellTable& at,
               std::vector<double>& RA, std::vector<double>& RB);
