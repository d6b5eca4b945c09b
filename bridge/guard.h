// One module call, guarded.
//
// API: mexFunction's body runs as
//   mexGuard(nlhs, plhs, [&] { ... });
// While it runs, std::cout goes to the host's console through mexPrintf (CoutToMex), in
// order with the host's own output. Any exception leaving the body (the image library's,
// std::bad_alloc, any other) unwinds it (its images are freed by scope), destroys the
// outputs already stored in plhs, and becomes a host error (mexErrMsgIdAndTxt) with the
// identifier "<module>:imageLibrary", "<module>:outOfMemory" (std::bad_alloc and the image
// library's failures to allocate), "<module>:exception" or "<module>:unknown" and the
// exception's text, instead of ending the host process. A MexFailure thrown by the module
// names its own identifier: "<module>:<kind>".
#pragma once

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "bridge/mexErr.h"

// Sends std::cout to mexPrintf for its lifetime, unbuffered, so it keeps its place among the
// host's own output (Octave's evalc captures it). Inside an active redirection a second one
// does nothing. Output that the host itself writes to std::cout while printing goes on to the
// original stream. While it is active, modules print through std::cout, not mexPrintf.
class CoutToMex {
public:
    CoutToMex();
    ~CoutToMex();
    CoutToMex(const CoutToMex&) = delete;
    CoutToMex& operator=(const CoutToMex&) = delete;

private:
    class Buf : public std::streambuf {
    public:
        explicit Buf(std::streambuf* next) : next_(next) {}
        std::streambuf* next() const { return next_; }

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int sync() override;

    private:
        std::streamsize put(const char* s, std::streamsize n);
        std::streambuf* next_;
        bool busy_ = false;
    };
    Buf buf_;
    bool active_ = false;
};

// True for the image library's failures to allocate an image or list, and its refusals of a
// size too large for one buffer.
bool IsAllocationFailure(const cimg_library::CImgException& e);

// True when `bytes` can be allocated now. The host ends a call whose array it cannot allocate
// with an error of its own, so a module asks first before it has the host make a large one.
bool CanAllocate(size_t bytes);

// Throws the "outOfMemory" failure, "Out of memory (<bytes> bytes for <what>).", unless `bytes`
// can be allocated now (CanAllocate): before the host is asked for a large array.
void RequireMemory(size_t bytes, const std::string& what);

// A failure that the module reports as a host error "<module>:<kind>" with its message.
class MexFailure : public std::runtime_error {
public:
    MexFailure(const char* kind, const std::string& msg) : std::runtime_error(msg), kind_(kind) {}
    const char* kind() const { return kind_; }

private:
    const char* kind_;  // a string literal
};

template <class Body>
void mexGuard(int nlhs, mxArray* plhs[], Body&& body)
{
    const int slots = nlhs > 0 ? nlhs : 1;
    for (int i = 0; i < slots; ++i) plhs[i] = nullptr;

    // Fixed buffers: the host error may leave by longjmp, past any destructor.
    char id[96] = "";
    char msg[2048] = "";
    const char* kind = nullptr;
    {
        CoutToMex toHost;
        try {
            body();
        } catch (const MexFailure& e) {
            kind = e.kind();
            std::snprintf(msg, sizeof msg, "%s", e.what());
        } catch (const cimg_library::CImgException& e) {
            const bool memory = IsAllocationFailure(e);
            kind = memory ? "outOfMemory" : "imageLibrary";
            const char* what = e.what();
            int n = int(std::strlen(what));
            // In parentheses, without the text's own closing blank or full stop.
            while (memory && n > 0 && (what[n - 1] == ' ' || what[n - 1] == '.')) --n;
            std::snprintf(msg, sizeof msg, memory ? "Out of memory (%.*s)." : "%.*s", n, what);
        } catch (const std::bad_alloc& e) {
            kind = "outOfMemory";
            std::snprintf(msg, sizeof msg, "Out of memory (%s).", e.what());
        } catch (const std::exception& e) {
            kind = "exception";
            std::snprintf(msg, sizeof msg, "%s", e.what());
        } catch (...) {
            kind = "unknown";
            std::snprintf(msg, sizeof msg, "Unknown exception.");
        }
    }
    if (!kind) return;
    for (int i = 0; i < slots; ++i) {
        if (plhs[i]) mxDestroyArray(plhs[i]);
        plhs[i] = nullptr;
    }
    std::snprintf(id, sizeof id, "%s:%s", mexModule.name, kind);
    mexErrMsgIdAndTxt(id, "%s", msg);
}
