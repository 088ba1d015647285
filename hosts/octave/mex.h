/* The gateway's view of GNU Octave: exactly the part of MATLAB's C interface
 * that the gateways call, in its 32-bit-extent form, implemented by
 * octave_adapter.cpp over Octave's own C++ arrays. The module is an
 * oct-file: Octave's MEX layer would copy every output into a new array
 * when the call returns (about 12 ms for six 128^3 volumes); here inputs are
 * read where they are and outputs are Octave's arrays from the start.
 *
 * Arrays are opaque. Class and complexity codes are Octave's (mxtypes.h,
 * MATLAB's values). mexErrMsgIdAndTxt never returns: it raises Octave's
 * error, which unwinds to the adapter; every array the call made is freed
 * then, and on return, except the outputs handed back. */
#ifndef QUILLMERE_HOSTS_OCTAVE_MEX_H
#define QUILLMERE_HOSTS_OCTAVE_MEX_H

#include <stddef.h>

#include <octave/mxtypes.h>

/* Octave's counterpart of MATLAB's maxNumCompThreads: the processors this
 * process may use (it honours OMP_NUM_THREADS). */
#define QUILLMERE_COMPUTE_THREADS_FUNCTION "nproc"

/* Outputs whose every sample the core writes can be made without zero-filling
 * them first. */
#define QUILLMERE_HOST_UNFILLED_ARRAYS 1

/* Opaque; Octave's own headers declare the same name, never defined here. */
class mxArray;

extern "C" {

/* The module's entry point, defined by the gateway, called by the adapter. */
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

/* The samples, in place. An input's must not be written. */
void* mxGetData(const mxArray* array);
size_t mxGetNumberOfElements(const mxArray* array);
/* MATLAB's class code for the value's class (mxUNKNOWN_CLASS for objects). */
mxClassID mxGetClassID(const mxArray* array);
bool mxIsComplex(const mxArray* array);
int mxGetNumberOfDimensions_700(const mxArray* array);
/* Valid while the array lives. Raises quillmere:tooLarge when an extent does
 * not fit in int. */
const int* mxGetDimensions_700(const mxArray* array);
/* Real single or double arrays only. Extents below 0 count as 0; ndim below
 * 2 is padded with 1 and trailing extents of 1 past the second are dropped.
 * The first starts zeroed, the second holds whatever the memory held. */
mxArray* mxCreateNumericArray_700(int ndim, const int* dims, mxClassID classid, mxComplexity flag);
mxArray* mxCreateUninitNumericArray_700(int ndim, const int* dims, mxClassID classid,
                                        mxComplexity flag);
void mxDestroyArray(mxArray* array);

#if defined(__GNUC__)
__attribute__((noreturn, format(printf, 2, 3)))
#endif
void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...);
/* Calls an Octave function by name. NULL on success, with the answers in
 * plhs; otherwise an array describing the failure (the caller destroys it),
 * plhs untouched. Never jumps out. */
mxArray* mexCallMATLABWithTrap(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[],
                               const char* functionName);

}  // extern "C"

#endif /* QUILLMERE_HOSTS_OCTAVE_MEX_H */
