// The test binary's operator new and delete: malloc and free with a header in front of each
// block (its size, and whether it was counted), for alloc_count.h.
#include "alloc_count.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

bool counting = false;
double liveBytes = 0, peakBytes = 0;
constexpr std::size_t kHeader = 16;   // (keeps the blocks aligned as malloc's)
constexpr std::size_t kCounted = 0x5a17c0u;

struct Header {
    std::size_t size, mark;
};

}  // namespace

namespace alloccount {

void start()
{
    liveBytes = peakBytes = 0;
    counting = true;
}
void stop() { counting = false; }
double live() { return liveBytes; }
double peak() { return peakBytes; }

}  // namespace alloccount

void* operator new(std::size_t n)
{
    if (n > SIZE_MAX - kHeader) throw std::bad_alloc();
    void* const p = std::malloc(n + kHeader);
    if (!p) throw std::bad_alloc();
    Header* const h = static_cast<Header*>(p);
    h->size = n;
    h->mark = counting ? kCounted : 0;
    if (counting) {
        liveBytes += double(n);
        peakBytes = liveBytes > peakBytes ? liveBytes : peakBytes;
    }
    return static_cast<char*>(p) + kHeader;
}

void operator delete(void* q) noexcept
{
    if (!q) return;
    void* const p = static_cast<char*>(q) - kHeader;
    const Header* const h = static_cast<const Header*>(p);
    if (h->mark == kCounted) liveBytes -= double(h->size);
    std::free(p);
}

void* operator new[](std::size_t n) { return operator new(n); }
void operator delete[](void* q) noexcept { operator delete(q); }
void operator delete(void* q, std::size_t) noexcept { operator delete(q); }
void operator delete[](void* q, std::size_t) noexcept { operator delete(q); }
