#include "similarity/IntensityBins.h"

#include <cstdio>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

double physicalMemory()
{
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status) && status.ullTotalPhys > 0) return double(status.ullTotalPhys);
#elif defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) return double(pages) * double(pageSize);
#endif
    return 0;
}

double histogramBudget()
{
    const double memory = physicalMemory();
    return memory > 0 ? BinCaps::kMemoryShare * memory : BinCaps::kUnknownBudget;
}

std::string histogramRefusal(const HistogramBytes& bytes, const HistogramCall& call, double budget)
{
    const double total = bytes.total();
    if (total <= budget) return std::string();
    char what[160];
    const double parts[4] = {bytes.records, bytes.dense, bytes.cells, bytes.bins};
    int most = 0;
    for (int k = 1; k < 4; ++k)
        if (parts[k] > parts[most]) most = k;
    switch (most) {
    case 0:
        std::snprintf(what, sizeof what, "The records of %.0f samples per warp", call.samples);
        break;
    case 1:
        if (call.denseTables == 1)
            std::snprintf(what, sizeof what, "The fourth output's joint histogram of %.0f x %.0f bins", call.bins,
                          call.bins);
        else
            std::snprintf(what, sizeof what, "The fourth output's %lu joint histograms of %.0f x %.0f bins",
                          call.denseTables, call.bins, call.bins);
        break;
    case 2:
        if (call.area)
            std::snprintf(what, sizeof what, "The rows of %.0f bins that the reference's intensities reach", call.bins);
        else
            std::snprintf(what, sizeof what, "The cells that the samples can reach in joint histograms of %.0f x %.0f bins",
                          call.bins, call.bins);
        break;
    default:
        std::snprintf(what, sizeof what, "The tables of %.0f bins per axis", call.bins);
        break;
    }
    char msg[320];
    std::snprintf(msg, sizeof msg,
                  "%s would take %.3g GB of the %.3g GB that this call needs (intensities up to %g), "
                  "more than this machine can hold.",
                  what, parts[most] / 1e9, total / 1e9, call.largest);
    return msg;
}

std::string binCapRefusal(double largest, double bins, double cap, int op)
{
    char msg[256];
    std::snprintf(msg, sizeof msg,
                  "Intensities up to %g need %.15g bins per histogram axis, more than the %.15g that operator %d takes.",
                  largest, bins, cap, op);
    return msg;
}
