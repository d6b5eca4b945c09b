#include "bridge/guard.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#endif

std::streamsize CoutToMex::Buf::put(const char* s, std::streamsize n)
{
    if (busy_) return next_ ? next_->sputn(s, n) : n;  // the host printing through std::cout
    busy_ = true;
    mexPrintf("%.*s", static_cast<int>(n), s);
    busy_ = false;
    return n;
}

CoutToMex::Buf::int_type CoutToMex::Buf::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return put(&ch, 1) == 1 ? c : traits_type::eof();
}

std::streamsize CoutToMex::Buf::xsputn(const char* s, std::streamsize n)
{
    return put(s, n);
}

int CoutToMex::Buf::sync()
{
    if (busy_ && next_) return next_->pubsync();
    return 0;
}

CoutToMex::CoutToMex() : buf_(std::cout.rdbuf())
{
    if (dynamic_cast<Buf*>(buf_.next())) return;  // already redirected
    std::cout.flush();
    std::cout.rdbuf(&buf_);
    active_ = true;
}

CoutToMex::~CoutToMex()
{
    if (active_) std::cout.rdbuf(buf_.next());
}

bool IsAllocationFailure(const cimg_library::CImgException& e)
{
    const char* what = e.what();
    return std::strstr(what, "Failed to allocate") || std::strstr(what, "safe_size()");
}

bool CanAllocate(size_t bytes)
{
    if (!bytes) return true;
#if defined(MAP_ANONYMOUS)
    // A mapping, never touched, rather than the allocator (a sanitizer's allocator ends the
    // process where it cannot serve a request): the system refuses it as it would the host's.
    void* const p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    munmap(p, bytes);
    return true;
#else
    void* const p = std::malloc(bytes);
    std::free(p);
    return p != nullptr;
#endif
}

void RequireMemory(size_t bytes, const std::string& what)
{
    if (!CanAllocate(bytes))
        throw MexFailure("outOfMemory", "Out of memory (" + std::to_string(bytes) + " bytes for " + what + ").");
}
