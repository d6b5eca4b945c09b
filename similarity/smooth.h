// Smoothing of histogram tables: the one place where a table is convolved by a mask.
#pragma once

#include "bridge/cimg.h"

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
CImg<T> smoothTable(const CImg<T>& table, const CImg<T>& mask)
{
    if (mask.is_empty() || mask.spectrum() != 1)
        throw cimg_library::CImgArgumentException(
            "CImg<%s>::get_convolve() : Specified mask (%u,%u,%u,%u,%p) is not scalar.",
            CImg<T>::pixel_type(), mask.width(), mask.height(), mask.depth(), mask.spectrum(), (const void*)mask.data());
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
