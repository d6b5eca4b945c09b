// Smoothing of histogram tables: the one place where a table is convolved by a mask.
#pragma once

#include <algorithm>
#include <vector>

#include "bridge/cimg.h"
#include "similarity/HistCells.h"

// Convolution of `table` by `mask` with the image library, zero outside the table, no
// normalisation; the result has the size of the table:
//
//   out(x, y, z, c) = sum over (i, j, k) of mask(i, j, k) * table(x + cx - i, y + cy - j, z + cz - k, c)
//
// with cx = mask.width() / 2, cy = mask.height() / 2, cz = mask.depth() / 2 (integer halves).
// This is a true convolution (the mask is flipped). The library centres an even mask one
// element lower by default, so the centre is passed explicitly. A 2-D mask acts on every
// plane and channel of the table on its own.
// An empty mask, or one with more than one channel, ends the call with the library's
// argument exception.
template <typename T>
void checkMask(const CImg<T>& mask)
{
    if (mask.is_empty() || mask.spectrum() != 1)
        throw cimg_library::CImgArgumentException(
            "CImg<%s>::get_convolve() : Specified mask (%u,%u,%u,%u,%p) is not scalar.",
            CImg<T>::pixel_type(), mask.width(), mask.height(), mask.depth(), mask.spectrum(), (const void*)mask.data());
}

template <typename T>
CImg<T> smoothTable(const CImg<T>& table, const CImg<T>& mask)
{
    checkMask(mask);
    if (table.is_empty()) return CImg<T>();
    return table.template get_convolve<T>(mask, 0, false, 1,
                              mask.width() / 2, mask.height() / 2, mask.depth() / 2);
}

// As smoothTable, written into `out` (which takes the table's size).
template <typename T>
void smoothTableInto(const CImg<T>& table, const CImg<T>& mask, CImg<T>& out)
{
    smoothTable(table, mask).move_to(out);
}

// smoothTable on the cells of a table, every slot a plane of its own, row by row through
// `rows`: out holds, in scan order, the bins of the smoothed n x n table that some cell
// reaches. The terms of each output bin are added in the library's order (the mask reversed
// up to 27 elements, in storage order above), so every bin gets the value smoothTable gives
// it. The mask's other planes meet only the zero boundary of a one-plane table. The same
// exceptions as smoothTable.
inline void smoothCells(const HistCells& in, const CImg<float>& mask, HistCells& out, CellRows& rows)
{
    checkMask(mask);
    const int n = in.bins(), D = in.planes(), m = in.size();
    out.clear(n, D);
    if (m == 0) return;
    struct Term {
        float K;
        int dx, dy;
    };
    std::vector<Term> terms;
    const int mw = mask.width(), mh = mask.height(), md = mask.depth();
    const int cx = mw / 2, cy = mh / 2, cz = md / 2;
    const long N = (long)mw * mh * md, plane = (long)mw * mh;
    int dyLo = 0, dyHi = 0;
    for (long step = 0; step < N; ++step) {
        const long e = N <= 27 ? N - 1 - step : step;
        if (e / plane != cz) continue;
        const Term t{mask[e], int(e % mw) - cx, int((e / mw) % mh) - cy};
        dyLo = t.dy < dyLo ? t.dy : dyLo;
        dyHi = t.dy > dyHi ? t.dy : dyHi;
        terms.push_back(t);
    }
    // room for every bin the cells can reach (each cell reaches one per term)
    const double reach = std::min(double(n) * n, double(m) * double(terms.size()));
    out.clear(n, D, 0.f, reach < 1e9 ? std::size_t(reach) : 0);
    rows.setup(n, D + 1, 1, true);
    const RowAccess<> A = RowAccess<>::of(rows, D + 1);
    const int yLo = in.rowY(0) + dyLo, yHi = in.rowY(in.rowCount() - 1) + dyHi;
    for (int oy = yLo > 0 ? yLo : 0; oy <= yHi && oy < n; ++oy) {
        for (const Term& t : terms) {
            const int iy = oy - t.dy;
            if (iy < 0 || iy >= n) continue;
            for (int c = in.rowBegin(iy), e = in.rowEnd(iy); c < e; ++c) {
                const int ox = in.x(c) + t.dx;
                if (ox < 0 || ox >= n) continue;
                float* dst = A.cell(ox, oy);
                const float* src = in.planes(c);
                dst[0] += t.K * in.pdf(c);
                for (int k = 0; k < D; ++k) dst[1 + k] += t.K * src[k];
            }
        }
        A.emit(oy, out);
    }
}
