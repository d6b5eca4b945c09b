// Intensities as histogram bins. Every measure that bins intensities (the mutual-information
// measures of tremlo, the area measures, the mutual-information steps) takes a value's
// truncation toward zero as its bin, so an image needs trunc(largest) + 1 bins per axis. Here:
// the one scan of an image (finite? smallest, largest), that bin count, the caps on bins,
// cells and memory in one table, and what a call's histograms take (HistogramBytes) with the
// refusal that names the largest part.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "bridge/cimg.h"

// What a scan of an image's intensities finds.
struct IntensityRange {
    bool finite = true;  // no element is NaN or infinite
    double lo = 0;       // smallest finite element (0 when there is none)
    double hi = 0;       // largest finite element (0 when there is none)
    // Every element a bin number: finite and not negative.
    bool binnable() const { return finite && lo >= 0; }
};

namespace intensityScan {

// lo, hi: the extremes of v[0 .. n - 1] (n > 0); bad: the sum of v - v, which is 0 for
// finite elements and NaN as soon as one is NaN or infinite (the extremes then mean nothing).
template <class T>
inline void extremesScalar(const T* v, std::size_t n, T& lo, T& hi, T& bad)
{
    T l[4] = {v[0], v[0], v[0], v[0]}, h[4] = {v[0], v[0], v[0], v[0]}, b[4] = {};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (int k = 0; k < 4; ++k) {
            const T x = v[i + k];
            b[k] += x - x;
            l[k] = x < l[k] ? x : l[k];
            h[k] = x > h[k] ? x : h[k];
        }
    for (; i < n; ++i) {
        const T x = v[i];
        b[0] += x - x;
        l[0] = x < l[0] ? x : l[0];
        h[0] = x > h[0] ? x : h[0];
    }
    lo = l[0], hi = h[0], bad = b[0];
    for (int k = 1; k < 4; ++k) {
        lo = l[k] < lo ? l[k] : lo;
        hi = h[k] > hi ? h[k] : hi;
        bad += b[k];
    }
}

template <class T>
inline void extremes(const T* v, std::size_t n, T& lo, T& hi, T& bad)
{
    extremesScalar(v, n, lo, hi, bad);
}

#if defined(__SSE2__) || defined(_M_X64)
// Two registers of 16 bytes a step, then the rest as extremesScalar.
template <class T, class V, class Load, class Min, class Max, class Add, class Sub, class Store>
inline void extremesSimd(const T* v, std::size_t n, T& lo, T& hi, T& bad, V first, V zero, Load load, Min vmin,
                         Max vmax, Add add, Sub sub, Store store)
{
    constexpr std::size_t L = 16 / sizeof(T);  // elements per register; two registers a step
    V l0 = first, l1 = first, h0 = first, h1 = first, b0 = zero, b1 = zero;
    std::size_t i = 0;
    for (; i + 2 * L <= n; i += 2 * L) {
        const V x0 = load(v + i), x1 = load(v + i + L);
        b0 = add(b0, sub(x0, x0));
        b1 = add(b1, sub(x1, x1));
        l0 = vmin(l0, x0);
        l1 = vmin(l1, x1);
        h0 = vmax(h0, x0);
        h1 = vmax(h1, x1);
    }
    T lv[L], hv[L], bv[L];
    store(lv, vmin(l0, l1));
    store(hv, vmax(h0, h1));
    store(bv, add(b0, b1));
    const std::size_t tail = i < n ? i : n - 1;  // (at least one element)
    extremesScalar(v + tail, n - tail, lo, hi, bad);
    for (std::size_t k = 0; k < L; ++k) {
        lo = lv[k] < lo ? lv[k] : lo;
        hi = hv[k] > hi ? hv[k] : hi;
        bad += bv[k];
    }
}

inline void extremes(const float* v, std::size_t n, float& lo, float& hi, float& bad)
{
    extremesSimd(v, n, lo, hi, bad, _mm_set1_ps(v[0]), _mm_setzero_ps(),
                 [](const float* q) { return _mm_loadu_ps(q); }, [](__m128 a, __m128 b) { return _mm_min_ps(a, b); },
                 [](__m128 a, __m128 b) { return _mm_max_ps(a, b); }, [](__m128 a, __m128 b) { return _mm_add_ps(a, b); },
                 [](__m128 a, __m128 b) { return _mm_sub_ps(a, b); }, [](float* q, __m128 a) { _mm_storeu_ps(q, a); });
}

inline void extremes(const double* v, std::size_t n, double& lo, double& hi, double& bad)
{
    extremesSimd(v, n, lo, hi, bad, _mm_set1_pd(v[0]), _mm_setzero_pd(),
                 [](const double* q) { return _mm_loadu_pd(q); }, [](__m128d a, __m128d b) { return _mm_min_pd(a, b); },
                 [](__m128d a, __m128d b) { return _mm_max_pd(a, b); }, [](__m128d a, __m128d b) { return _mm_add_pd(a, b); },
                 [](__m128d a, __m128d b) { return _mm_sub_pd(a, b); }, [](double* q, __m128d a) { _mm_storeu_pd(q, a); });
}
#endif

}  // namespace intensityScan

// The n elements at v: whether all are finite, and the extremes of the finite ones.
template <class T>
IntensityRange scanIntensities(const T* v, std::size_t n)
{
    IntensityRange r;
    if (n == 0) return r;
    T lo, hi, bad;
    intensityScan::extremes(v, n, lo, hi, bad);
    if (bad == T(0)) {
        r.lo = double(lo);
        r.hi = double(hi);
        return r;
    }
    // Some element is not finite: the extremes of the others.
    r.finite = false;
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
        const T x = v[i];
        if (!(x - x == T(0))) continue;
        if (!any || x < lo) lo = x;
        if (!any || x > hi) hi = x;
        any = true;
    }
    if (any) {
        r.lo = double(lo);
        r.hi = double(hi);
    }
    return r;
}

template <class T>
IntensityRange scanIntensities(const CImg<T>& img)
{
    return scanIntensities(img.data(), img.size());
}

// The bins per axis that intensities up to `largest` need: trunc(largest) + 1, at least 1
// (a largest below 1, negative or NaN needs one bin).
inline double intensityBins(double largest)
{
    return largest >= 1 ? std::floor(largest) + 1 : 1;
}

// Every cap on bins, cells and memory, in one place.
struct BinCaps {
    // Bins per axis of the point-sampled mutual-information measures (tremlo's operators 3,
    // 4, 5 and every code that computes operator 3): what the bin indices of their tables
    // and records hold with room to spare; their tables of an entry per bin pass 6 GB here.
    static constexpr double kPointBins = 67108864.0;  // 2^26
    // Bins per axis of the area measures (operators 6 and 7): their row structures and the
    // runs deferred per bin pass 6 GB here.
    static constexpr double kAreaBins = 16777216.0;  // 2^24
    // Cells (bins of T times bins of I) of a joint table of the mutual-information steps:
    // about a dozen dense tables of that size live at once (12-bit images still fit).
    static constexpr double kStepCells = 33554432.0;  // 2^25
    // The share of the machine's physical memory that one call's histograms may take, and
    // what they may take where the system does not tell its memory.
    static constexpr double kMemoryShare = 0.5;
    static constexpr double kUnknownBudget = 4.0 * 1024 * 1024 * 1024;  // 4 GiB
};

// The machine's physical memory in bytes, 0 where the system does not tell.
double physicalMemory();

// Largest memory that the histograms of one call may take: kMemoryShare of the physical
// memory, kUnknownBudget where it is unknown.
double histogramBudget();

// What a call's histograms take, in bytes, by what takes it.
struct HistogramBytes {
    double bins = 0;     // tables of an entry (or a row) per bin of an axis
    double cells = 0;    // the cells of the joint histograms that the samples can reach
    double records = 0;  // what is kept per template sample
    double dense = 0;    // dense bins x bins histograms: the fourth output
    double total() const { return bins + cells + records + dense; }
};

// The description of the call behind a refusal of its histograms.
struct HistogramCall {
    double largest = 0;         // the largest intensity of T and I
    double bins = 0;            // bins per axis
    double samples = 0;         // template samples per warp
    unsigned long denseTables = 0;  // dense histograms of the fourth output
    bool area = false;              // an area measure: its cells are rows of the histogram
};

// Null when `bytes` fit in `budget`, else the message that names the largest part: "The
// records of 268435456 samples per warp would take 15 GB of the 15.2 GB that this call
// needs (intensities up to 20000), more than this machine can hold."
std::string histogramRefusal(const HistogramBytes& bytes, const HistogramCall& call, double budget);

// The refusal of bins beyond a measure's cap: "Intensities up to 1e+09 need 1000000001
// bins per histogram axis, more than the 67108864 that operator 3 takes."
std::string binCapRefusal(double largest, double bins, double cap, int op);
