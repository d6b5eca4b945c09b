// MATLAB array members of CImg<T>, included into the class body by the image library
// (cimg_plugin, set in bridge/cimg.h). Everything here is a template or an inline member of
// the class template, so it is compiled only where a module uses it.
//
// API:
//   CImg<T>(arr, asChannels, shareData[, warnRefused])  image from a MATLAB array
//   makeImageFromMatlabData(arr, cls)                    fill an image sized to arr
//   toMatlab(cls, asChannels) -> mxArray*                new array of class cls (null if refused)
//   copyToMatlabData(U* dst)                             pixels into a numeric buffer
//   copyToMatlabLogicals(mxLogical* dst)                 pixels into a logical buffer
//
// Layout: MATLAB element (i0+1, i1+1, i2+1, i3+1) is pixel (x=i0, y=i1, z=i2, c=i3): rows run
// along x, columns along y, and both buffers are walked with the same linear index.
// Accepted: logical, double, single and the eight integer classes, real or complex (the real
// part is read), full (not sparse), at most four dimensions. Anything else gives the empty
// image (width, height, depth and channels 0).

// First of the project's code that the image library compiles: an older library stops here,
// before its missing members give errors of their own.
#if !defined(cimg_version) || cimg_version < IMGALIGN_CIMG_MIN_VERSION
#error "imgalign needs CImg 3.0.0 or newer (cimg_version 300); the CImg.h found is older: install a newer CImg (Debian/Ubuntu: cimg-dev)."
#endif

//! Image from a MATLAB array.
/**
   \param arr the array (const mxArray*).
   \param asChannels a three-dimensional array puts its third dimension on the channels
   instead of the depth.
   \param shareData use the array's own buffer instead of a copy, when the array's class
   holds exactly T (double for CImg<double>, single for CImg<float>, ...); other classes are
   converted. A shared image is valid only during the current call and must not be written.
   \param warnRefused a refused array is reported through cimg::warn.
**/
template<typename tMx,
         typename = typename std::enable_if<
             std::is_same<typename std::remove_cv<tMx>::type, mxArray>::value>::type>
CImg(tMx *const arr, const bool asChannels, const bool shareData, const bool warnRefused = false)
    : _width(0), _height(0), _depth(0), _spectrum(0), _is_shared(shareData), _data(0) {
  const mxClassID cls = arr ? mxGetClassID(arr) : mxUNKNOWN_CLASS;
  const mwSize nd = arr ? mxGetNumberOfDimensions(arr) : 0;
  bool accepted = arr && nd <= 4 && _mx_isAccepted(cls) && !mxIsSparse(arr);
  unsigned int d[4] = { 1, 1, 1, 1 };
  if (accepted) {
    const mwSize *const dims = mxGetDimensions(arr);
    for (mwSize i = 0; i < nd; ++i) {
      const cimg_int64 di = (cimg_int64)dims[i];
      if (di < 0 || di > (cimg_int64)~0U) accepted = false;
      else d[i] = (unsigned int)dims[i];
    }
  }
  if (!accepted) {
    if (warnRefused)
      cimg::warn("Matlab array is more than 4D or/and not numerical, returning null image.");
    return;
  }
  unsigned int w = d[0], h = d[1], z = 1, c = 1;
  if (nd == 4) { z = d[2]; c = d[3]; }
  else if (nd == 3) { if (asChannels) c = d[2]; else z = d[2]; }
  const size_t siz = (size_t)w * h * z * c;

  const bool share = shareData && cls == _mx_classOfT() && !_mx_interleavedComplex(arr);
  _is_shared = share;
  if (share) {
    _width = w; _height = h; _depth = z; _spectrum = c;
    _data = siz ? static_cast<T*>(mxGetData(arr)) : 0;
    return;
  }
  if (siz) _data = new T[safe_size(w, h, z, c)];
  _width = w; _height = h; _depth = z; _spectrum = c;
  makeImageFromMatlabData(arr, cls);
}

//! Fill this image, already sized to the array, from the array's data of class cls.
CImg<T>& makeImageFromMatlabData(const mxArray *const arr, const mxClassID cls) {
  const size_t siz = (size_t)_width * _height * _depth * _spectrum;
  if ((size_t)mxGetNumberOfElements(arr) != siz)
    throw CImgArgumentException("CImg<%s>::makeImageFromMatlabData(): Image (%u,%u,%u,%u) and "
                                "array of %lu elements differ in size.",
                                pixel_type(), _width, _height, _depth, _spectrum,
                                (unsigned long)mxGetNumberOfElements(arr));
  if (!siz) return *this;
  const size_t step = _mx_interleavedComplex(arr) ? 2 : 1;
  switch (cls) {
  case mxLOGICAL_CLASS: _mx_read(mxGetLogicals(arr), 1); break;
  case mxDOUBLE_CLASS: _mx_read(static_cast<const double*>(mxGetData(arr)), step); break;
  case mxSINGLE_CLASS: _mx_read(static_cast<const float*>(mxGetData(arr)), step); break;
  case mxINT8_CLASS: _mx_read(static_cast<const std::int8_t*>(mxGetData(arr)), step); break;
  case mxUINT8_CLASS: _mx_read(static_cast<const std::uint8_t*>(mxGetData(arr)), step); break;
  case mxINT16_CLASS: _mx_read(static_cast<const std::int16_t*>(mxGetData(arr)), step); break;
  case mxUINT16_CLASS: _mx_read(static_cast<const std::uint16_t*>(mxGetData(arr)), step); break;
  case mxINT32_CLASS: _mx_read(static_cast<const std::int32_t*>(mxGetData(arr)), step); break;
  case mxUINT32_CLASS: _mx_read(static_cast<const std::uint32_t*>(mxGetData(arr)), step); break;
  case mxINT64_CLASS: _mx_read(static_cast<const std::int64_t*>(mxGetData(arr)), step); break;
  case mxUINT64_CLASS: _mx_read(static_cast<const std::uint64_t*>(mxGetData(arr)), step); break;
  default:
    throw CImgArgumentException("CImg<%s>::makeImageFromMatlabData(): Class %d is not "
                                "convertible.", pixel_type(), (int)cls);
  }
  return *this;
}

//! New MATLAB array of class cls holding the image, or null for a class that is not accepted.
/**
   Dimensions [width, height, depth, channels]; with asChannels and a depth of 1,
   [width, height, channels]. Integer classes store the value truncated toward zero to a
   signed 64-bit integer, of which the low bits are kept (no saturation); logical stores
   1 for every value that is not 0.
**/
mxArray *toMatlab(const mxClassID cls = mxDOUBLE_CLASS, const bool asChannels = false) const {
  if (!_mx_isAccepted(cls)) return 0;
  mwSize dims[4] = { (mwSize)_width, (mwSize)_height, (mwSize)_depth, (mwSize)_spectrum };
  if (asChannels && _depth == 1) { dims[2] = (mwSize)_spectrum; dims[3] = 1; }
  mxArray *const a = cls == mxLOGICAL_CLASS ? mxCreateLogicalArray(4, dims)
                                            : mxCreateNumericArray(4, dims, cls, mxREAL);
  if (!a || !_data || !size()) return a;
  switch (cls) {
  case mxLOGICAL_CLASS: copyToMatlabLogicals(mxGetLogicals(a)); break;
  case mxDOUBLE_CLASS: copyToMatlabData(static_cast<double*>(mxGetData(a))); break;
  case mxSINGLE_CLASS: copyToMatlabData(static_cast<float*>(mxGetData(a))); break;
  case mxINT8_CLASS: case mxUINT8_CLASS:
    copyToMatlabData(static_cast<std::uint8_t*>(mxGetData(a))); break;
  case mxINT16_CLASS: case mxUINT16_CLASS:
    copyToMatlabData(static_cast<std::uint16_t*>(mxGetData(a))); break;
  case mxINT32_CLASS: case mxUINT32_CLASS:
    copyToMatlabData(static_cast<std::uint32_t*>(mxGetData(a))); break;
  default: copyToMatlabData(static_cast<std::uint64_t*>(mxGetData(a))); break;
  }
  return a;
}

//! Write every pixel, converted to U, into dst (width*height*depth*channels elements).
/**
   Floating U: the value (rounded to U). Integer U: the value truncated toward zero to a
   signed 64-bit integer, saturated at that type's range (NaN gives 0), and its low bits.
**/
template<typename U>
void copyToMatlabData(U *const dst) const {
  const size_t siz = size();
  for (size_t i = 0; i < siz; ++i) dst[i] = _mx_cast<U>(_data[i]);
}

//! Write 1 for every pixel that is not 0 (a NaN included), else 0, into a logical buffer.
void copyToMatlabLogicals(mxLogical *const dst) const {
  const size_t siz = size();
  for (size_t i = 0; i < siz; ++i) dst[i] = _data[i] != 0 ? 1 : 0;
}

static bool _mx_isAccepted(const mxClassID cls) {
  return cls == mxLOGICAL_CLASS || (cls >= mxDOUBLE_CLASS && cls <= mxUINT64_CLASS);
}

// The class whose elements are exactly T (mxUNKNOWN_CLASS when there is none).
static mxClassID _mx_classOfT() {
  if (std::is_same<T, double>::value) return mxDOUBLE_CLASS;
  if (std::is_same<T, float>::value) return mxSINGLE_CLASS;
  if (std::is_same<T, std::int8_t>::value) return mxINT8_CLASS;
  if (std::is_same<T, std::uint8_t>::value) return mxUINT8_CLASS;
  if (std::is_same<T, std::int16_t>::value) return mxINT16_CLASS;
  if (std::is_same<T, std::uint16_t>::value) return mxUINT16_CLASS;
  if (std::is_same<T, std::int32_t>::value) return mxINT32_CLASS;
  if (std::is_same<T, std::uint32_t>::value) return mxUINT32_CLASS;
  if (std::is_same<T, std::int64_t>::value) return mxINT64_CLASS;
  if (std::is_same<T, std::uint64_t>::value) return mxUINT64_CLASS;
  return mxUNKNOWN_CLASS;
}

// True when the array's real and imaginary parts alternate in one buffer.
static bool _mx_interleavedComplex(const mxArray *const arr) {
#if MX_HAS_INTERLEAVED_COMPLEX
  return mxIsComplex(arr);
#else
  (void)arr;
  return false;
#endif
}

template<typename S>
void _mx_read(const S *const src, const size_t step) {
  const size_t siz = size();
  if (step == 1) for (size_t i = 0; i < siz; ++i) _data[i] = (T)src[i];
  else for (size_t i = 0; i < siz; ++i) _data[i] = (T)src[i * step];
}

template<typename U>
static U _mx_cast(const T v) {
  if constexpr (std::is_floating_point<U>::value) return (U)v;
  else return (U)(std::uint64_t)_mx_toInt64(v);
}

static std::int64_t _mx_toInt64(const T v) {
  if constexpr (std::is_integral<T>::value) return (std::int64_t)v;
  else {
    const double x = (double)v;
    if (!(x == x)) return 0;
    if (x >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
    if (x <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return (std::int64_t)x;
  }
}
