// Sums over a template's pixels of per-pixel values times products of the affine Jacobian's
// coordinates, without an image per product.
//
// The steepest-descent images are u_p g_a and the entries of J' Hg J are u_p Hg(a, b) u_q,
// with u = (X, Y, 1) the coordinate images of GridXY and g, Hg per-pixel differences. Every
// sum a step needs is therefore sum f u_p u_q (or sum f u_p) for a few per-pixel values f: a
// moment sum f X^k Y^l with k + l <= 2. X depends on the column only and Y on the row only,
// so each row sums f, f X, f X^2 and the row's total is weighted by 1, Y, Y^2.
#pragma once

// F values per pixel: add() at each pixel of a row, endRow() after the row.
template <int F>
class GridMoments {
public:
    // The values v[0..F-1] of a pixel at coordinate X.
    void add(const double* v, double X)
    {
        const double X2 = X * X;
        for (int f = 0; f < F; ++f) {
            row_[0][f] += v[f];
            row_[1][f] += v[f] * X;
            row_[2][f] += v[f] * X2;
        }
    }

    // Adds v to the sum of value f alone (k = l = 0), for a pixel outside the coordinate grid.
    void addPlain(int f, double v) { plain_[f] += v; }

    void endRow(double Y)
    {
        const double Y2 = Y * Y;
        for (int f = 0; f < F; ++f) {
            for (int k = 0; k < 3; ++k) sum_[k][0][f] += row_[k][f];
            for (int k = 0; k < 2; ++k) sum_[k][1][f] += row_[k][f] * Y;
            sum_[0][2][f] += row_[0][f] * Y2;
            for (int k = 0; k < 3; ++k) row_[k][f] = 0;
        }
    }

    // sum f u_p u_q over the pixels (p, q in 0..2 index u = (X, Y, 1)), with addPlain's share
    // when p = q = 2.
    double pair(int f, int p, int q) const
    {
        const int k = (p == 0) + (q == 0), l = (p == 1) + (q == 1);
        return sum_[k][l][f] + (k == 0 && l == 0 ? plain_[f] : 0.0);
    }

    // sum f u_p over the pixels.
    double single(int f, int p) const { return pair(f, p, 2); }

private:
    double row_[3][F] = {};
    double sum_[3][3][F] = {};
    double plain_[F] = {};
};
