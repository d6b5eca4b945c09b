// Argument-error report shared by every module.
//
// API: each module defines its texts once, at namespace scope in its gateway:
//   const MexModule mexModule = {"tremlo", "\ntremlo Error: ", usageText};
// mexErr(msg, nlhs, plhs) then writes  prefix + msg + "\n" + usage + "\n\nAborting...\n"
// to std::cout (which reaches the host's console) and stores a 1x1 single zero in each of
// the nlhs output slots; the gateway returns right after it.
#pragma once

#include "bridge/cimg.h"

struct MexModule {
    const char* name;    // module name; host error identifiers are "<name>:..."
    const char* prefix;  // error prefix, e.g. "\ntremlo Error: "
    const char* usage;   // usage text written after the message
};

// Defined by the module that links the bridge (one per MEX file).
extern const MexModule mexModule;

void mexErr(const char* msg, int nlhs, mxArray* plhs[]);
