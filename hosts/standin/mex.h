/* The stand-in host's MEX interface: the part of MATLAB's C interface that
 * the quillmere gateway uses, with MATLAB's names, signatures and values in
 * its 32-bit-extent ("compatibleArrayDims") form, so the gateway builds and
 * runs without MATLAB.
 *
 * Arrays are opaque. Extents are int; class and complexity codes have
 * MATLAB's numeric values. Like MATLAB, mexErrMsgIdAndTxt never returns:
 * control goes back to whoever called mexFunction (see standin_host.h).
 *
 * Plain C at the boundary: the library is also cross-built for Windows as
 * libmx.dll and libmex.dll. */
#ifndef QUILLMERE_HOSTS_STANDIN_MEX_H
#define QUILLMERE_HOSTS_STANDIN_MEX_H

#include <stddef.h>
#if !defined(__cplusplus)
#include <stdbool.h>
#endif

#if defined(__cplusplus)
extern "C" {
#endif

typedef struct StandinArray mxArray;

typedef int mwSize;
typedef int mwIndex;
typedef int mwSignedIndex;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS = 1,
  mxSTRUCT_CLASS = 2,
  mxLOGICAL_CLASS = 3,
  mxCHAR_CLASS = 4,
  mxVOID_CLASS = 5,
  mxDOUBLE_CLASS = 6,
  mxSINGLE_CLASS = 7,
  mxINT8_CLASS = 8,
  mxUINT8_CLASS = 9,
  mxINT16_CLASS = 10,
  mxUINT16_CLASS = 11,
  mxINT32_CLASS = 12,
  mxUINT32_CLASS = 13,
  mxINT64_CLASS = 14,
  mxUINT64_CLASS = 15,
  mxFUNCTION_CLASS = 16
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

/* The module's entry point, defined by the gateway. */
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

/* libmx */
void* mxGetData(const mxArray* array);
int mxGetNumberOfDimensions_700(const mxArray* array);
const int* mxGetDimensions_700(const mxArray* array);
size_t mxGetNumberOfElements(const mxArray* array);
mxClassID mxGetClassID(const mxArray* array);
bool mxIsComplex(const mxArray* array);
/* Extents below 0 count as 0; ndim below 2 is padded with 1, and trailing
 * extents of 1 past the second are dropped, as MATLAB does. Data starts
 * zeroed. */
mxArray* mxCreateNumericArray_700(int ndim, const int* dims, mxClassID classid, mxComplexity flag);
void mxDestroyArray(mxArray* array);

/* libmex */
#if defined(__GNUC__)
__attribute__((noreturn, format(printf, 2, 3)))
#endif
void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...);
/* Calls a host function by name. NULL on success, with the answers in
 * plhs; otherwise an array describing the error (the caller destroys it),
 * plhs untouched. Never jumps out. The stand-in knows maxNumCompThreads and
 * nproc (both answer standinSetComputeThreads, see standin_host.h); any
 * other name fails. */
mxArray* mexCallMATLABWithTrap(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[],
                               const char* functionName);

#if defined(__cplusplus)
}
#endif

#endif /* QUILLMERE_HOSTS_STANDIN_MEX_H */
