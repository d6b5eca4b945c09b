// Intensities as bins: the scan against a literal loop, the bin count, the memory budget
// against the system's own report, the refusals' texts.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "similarity/IntensityBins.h"

namespace {

// The literal scan: every element tested, the extremes of the finite ones.
template <class T>
IntensityRange literalScan(const std::vector<T>& v)
{
    IntensityRange r;
    bool any = false;
    for (const T x : v) {
        if (!std::isfinite(x)) {
            r.finite = false;
            continue;
        }
        if (!any || x < r.lo) r.lo = x;
        if (!any || x > r.hi) r.hi = x;
        any = true;
    }
    return r;
}

template <class T>
void scansAsTheLiteralLoop()
{
    const T nan = std::numeric_limits<T>::quiet_NaN(), inf = std::numeric_limits<T>::infinity();
    // Every length up to past two registers' steps and their tails, with the extremes and
    // each kind of non-finite element at each position.
    for (std::size_t n = 0; n <= 37; ++n)
        for (std::size_t at = 0; at <= n; ++at)
            for (const T odd : {T(-3.5), T(1e30f), T(-0.0), nan, inf, -inf}) {
                std::vector<T> v(n);
                for (std::size_t i = 0; i < n; ++i) v[i] = T((i * 7) % 11) + T(0.25);
                if (at < n) v[at] = odd;
                const IntensityRange want = literalScan(v), got = scanIntensities(v.data(), v.size());
                ASSERT_EQ(got.finite, want.finite) << n << " " << at << " " << odd;
                ASSERT_EQ(got.lo, want.lo) << n << " " << at << " " << odd;
                ASSERT_EQ(got.hi, want.hi) << n << " " << at << " " << odd;
            }
    const std::vector<T> none = {nan, inf, -inf};
    const IntensityRange r = scanIntensities(none.data(), none.size());
    EXPECT_FALSE(r.finite);
    EXPECT_EQ(r.lo, 0.0);
    EXPECT_EQ(r.hi, 0.0);
}

}  // namespace

TEST(IntensityBins, ScanFindsWhatTheLiteralLoopFinds)
{
    scansAsTheLiteralLoop<float>();
    scansAsTheLiteralLoop<double>();
    // a 640 x 480 image whose extremes lie deep inside
    CImg<float> img(640, 480, 1, 1, 7.f);
    img(333, 222) = 4095.f;
    img(17, 401) = 0.5f;
    const IntensityRange r = scanIntensities(img);
    EXPECT_TRUE(r.binnable());
    EXPECT_EQ(r.lo, 0.5);
    EXPECT_EQ(r.hi, 4095.0);
    img(600, 479) = -1.f;
    EXPECT_FALSE(scanIntensities(img).binnable());
    EXPECT_TRUE(scanIntensities(CImg<double>()).binnable());
}

TEST(IntensityBins, BinsAreTheTruncatedLargestPlusOne)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double cases[][2] = {{0, 1}, {0.9, 1}, {1, 2}, {3.2, 4}, {3.9, 4}, {255, 256}, {4095.5, 4096},
                               {-7, 1}, {nan, 1}, {67108863, 67108864}};
    for (const auto& c : cases) EXPECT_EQ(intensityBins(c[0]), c[1]) << c[0];
}

TEST(IntensityBins, BudgetIsTheShareOfThePhysicalMemory)
{
    // /proc/meminfo's MemTotal (kB) is the same count of pages as the system's page total.
    std::ifstream info("/proc/meminfo");
    std::string key;
    double kb = 0;
    while (info >> key && key != "MemTotal:") info.ignore(256, '\n');
    info >> kb;
    if (kb > 0) {
        EXPECT_EQ(physicalMemory(), kb * 1024);
    }
    EXPECT_GT(physicalMemory(), 0.0);
    EXPECT_EQ(histogramBudget(), BinCaps::kMemoryShare * physicalMemory());
}

TEST(IntensityBins, RefusalsNameTheLargestPart)
{
    HistogramCall call;
    call.largest = 20000;
    call.bins = 20001;
    call.samples = 268435456;
    call.denseTables = 16;
    HistogramBytes b;
    b.bins = 2e6;
    b.cells = 1e8;
    b.records = 15e9;
    EXPECT_EQ(histogramRefusal(b, call, 1e10),
              "The records of 268435456 samples per warp would take 15 GB of the 15.1 GB that this call needs "
              "(intensities up to 20000), more than this machine can hold.");
    EXPECT_EQ(histogramRefusal(b, call, b.total()), "");
    // {bins, cells, records, dense}, dense tables, area: the message's opening
    const struct {
        HistogramBytes b;
        unsigned long tables;
        bool area;
        const char* opening;
    } cases[] = {
        {{2e6, 1e8, 15e9, 2e10}, 16, false, "The fourth output's 16 joint histograms of 20001 x 20001 bins would take 20 GB"},
        {{2e6, 1e8, 15e9, 2e10}, 1, false, "The fourth output's joint histogram of 20001 x 20001 bins would take"},
        {{2e6, 3e10, 15e9, 0}, 1, false, "The cells that the samples can reach in joint histograms of 20001 x 20001 bins"},
        {{2e6, 3e10, 15e9, 0}, 1, true, "The rows of 20001 bins that the reference's intensities reach would take 30 GB"},
        {{4e10, 3e10, 15e9, 0}, 1, true, "The tables of 20001 bins per axis would take 40 GB of the 85 GB"},
    };
    for (const auto& c : cases) {
        call.denseTables = c.tables;
        call.area = c.area;
        EXPECT_EQ(histogramRefusal(c.b, call, 1e10).rfind(c.opening, 0), 0u) << c.opening;
    }
    EXPECT_EQ(binCapRefusal(1e9, 1e9 + 1, BinCaps::kPointBins, 3),
              "Intensities up to 1e+09 need 1000000001 bins per histogram axis, more than the 67108864 that "
              "operator 3 takes.");
    EXPECT_EQ(binCapRefusal(1e30, intensityBins(1e30), BinCaps::kAreaBins, 7),
              "Intensities up to 1e+30 need 1e+30 bins per histogram axis, more than the 16777216 that operator 7 "
              "takes.");
}
