// Output volumes whose every sample the core writes before the call returns.
// Where the host can, they are created without being zero-filled first: at
// 128^3 that filling is 8 MB a step and 48 MB a tensor, written only to be
// overwritten. Elsewhere (MATLAB, the stand-in host) they are created as
// any other array.
#ifndef QUILLMERE_GATEWAY_OUTPUT_ARRAYS_H
#define QUILLMERE_GATEWAY_OUTPUT_ARRAYS_H

#include "mex.h"

namespace quillmere {

inline mxArray* createWrittenSingleVolume(const int extents[3]) {
#if defined(QUILLMERE_HOST_UNFILLED_ARRAYS)
  return mxCreateUninitNumericArray_700(3, extents, mxSINGLE_CLASS, mxREAL);
#else
  return mxCreateNumericArray_700(3, extents, mxSINGLE_CLASS, mxREAL);
#endif
}

}  // namespace quillmere

#endif  // QUILLMERE_GATEWAY_OUTPUT_ARRAYS_H
