// The stand-in host's libmex part. Kept apart from the arrays so that the
// Windows test host can ship it as libmex.dll, as MATLAB does.
#include <cstdarg>
#include <cstdio>

#include "standin_host.h"

extern "C" void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...) {
  char message[sizeof(StandinCallResult{}.message)];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  standinRaiseError(identifier, message);
}

extern "C" mxArray* mexCallMATLABWithTrap(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[],
                                          const char* functionName) {
  return standinCallHostFunction(nlhs, plhs, nrhs, prhs, functionName);
}
