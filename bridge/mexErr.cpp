#include "bridge/mexErr.h"

#include <iostream>

#include "bridge/guard.h"

void mexErr(const char* msg, int nlhs, mxArray* plhs[])
{
    CoutToMex toHost;  // also when called outside mexGuard
    std::cout << mexModule.prefix << msg << "\n" << mexModule.usage << "\n\nAborting...\n";
    for (int i = 0; i < nlhs; ++i) plhs[i] = mxCreateNumericMatrix(1, 1, mxSINGLE_CLASS, mxREAL);
}
