// Image-shaped view onto a run of rows of one plane, or a run of planes, of another image.
// The view shares the viewed image's buffer: assigning an image of the view's size writes
// its pixels into the viewed region. It owns nothing and is valid while the viewed image
// lives and keeps its size.
#pragma once

#include <cstring>

#include "bridge/cimg.h"

namespace cimg_library {

template <typename T>
struct CImgSubset : public CImg<T> {
    //! Rows y0..y1 of plane z, channel v.
    CImgSubset(const CImg<T>& img, unsigned int y0, unsigned int y1, unsigned int z, unsigned int v)
    {
        if (isEmpty(img)) return;
        if (y0 > y1 || y1 >= img._height || z >= img._depth || v >= img._spectrum)
            throw CImgArgumentException(
                "CImgSubset<%s>::CImgSubset() : Cannot construct a subset (0->%u,%u->%u,%u,%u) "
                "from a (%u,%u,%u,%u) image.",
                typeName(), img._width - 1, y0, y1, z, v, img._width, img._height, img._depth,
                img._spectrum);
        view(img, img._width, y1 - y0 + 1, 1,
             ((size_t(v) * img._depth + z) * img._height + y0) * img._width);
    }

    //! Planes z0..z1 of channel v.
    CImgSubset(const CImg<T>& img, unsigned int z0, unsigned int z1, unsigned int v)
    {
        if (isEmpty(img)) return;
        if (z0 > z1 || z1 >= img._depth || v >= img._spectrum)
            throw CImgArgumentException(
                "CImgSubset<%s>::CImgSubset() : Cannot construct a subset (0->%u,0->%u,%u->%u,%u) "
                "from a (%u,%u,%u,%u) image.",
                typeName(), img._width - 1, img._height - 1, z0, z1, v, img._width, img._height,
                img._depth, img._spectrum);
        view(img, img._width, img._height, z1 - z0 + 1,
             (size_t(v) * img._depth + z0) * img._height * img._width);
    }

    CImgSubset(const CImgSubset&) = default;

    ~CImgSubset() { clear(); }

    //! Copies src, which must have the view's dimensions, into the viewed region.
    CImgSubset& operator=(const CImg<T>& src)
    {
        if (static_cast<const CImg<T>*>(this) == &src) return *this;
        if (src._width != this->_width || src._height != this->_height ||
            src._depth != this->_depth || src._spectrum != this->_spectrum)
            throw CImgArgumentException(
                "CImgSubset<%s>::operator=() : Affectation to CImgSubset instances must supply "
                "data with same dimensions",
                typeName());
        if (this->_data && src._data) std::memmove(this->_data, src._data, this->size() * sizeof(T));
        return *this;
    }

    CImgSubset& operator=(const CImgSubset& src) { return *this = static_cast<const CImg<T>&>(src); }

private:
    static bool isEmpty(const CImg<T>& img)
    {
        return !img._data || !img._width || !img._height || !img._depth || !img._spectrum;
    }

    void view(const CImg<T>& img, unsigned int w, unsigned int h, unsigned int d, size_t offset)
    {
        this->_width = w;
        this->_height = h;
        this->_depth = d;
        this->_spectrum = 1;
        this->_is_shared = true;
        this->_data = img._data + offset;
    }

    void clear()
    {
        this->_width = this->_height = this->_depth = this->_spectrum = 0;
        this->_data = 0;
        this->_is_shared = true;
    }

    static const char* typeName()
    {
        if (std::is_same<T, float>::value) return "float";
        if (std::is_same<T, double>::value) return "double";
        return CImg<T>::pixel_type();
    }
};

}  // namespace cimg_library

using cimg_library::CImgSubset;
