/* The gateway's view of GNU Octave: Octave's own MEX interface, plus the
 * 32-bit-extent names that the gateway calls, which Octave does not have.
 * octave_adapter.cpp supplies them over Octave's 64-bit mwSize functions. */
#ifndef QUILLMERE_HOSTS_OCTAVE_MEX_H
#define QUILLMERE_HOSTS_OCTAVE_MEX_H

#include <octave/mex.h>
#include <octave/version.h>

/* Octave's counterpart of MATLAB's maxNumCompThreads: the processors this
 * process may use (it honours OMP_NUM_THREADS). */
#define QUILLMERE_COMPUTE_THREADS_FUNCTION "nproc"

#if defined(__cplusplus)
extern "C" {
#endif

int mxGetNumberOfDimensions_700(const mxArray* array);
/* Valid until the call returns to Octave. Raises quillmere:tooLarge when an
 * extent does not fit in int. */
const int* mxGetDimensions_700(const mxArray* array);
mxArray* mxCreateNumericArray_700(int ndim, const int* dims, mxClassID classid, mxComplexity flag);

/* Octave 7 creates arrays without zero-filling them, which the gateway asks
 * for only for outputs whose every sample the core writes. */
#if OCTAVE_MAJOR_VERSION >= 7
#define QUILLMERE_HOST_UNFILLED_ARRAYS 1
mxArray* mxCreateUninitNumericArray_700(int ndim, const int* dims, mxClassID classid,
                                        mxComplexity flag);
#endif

#if defined(__cplusplus)
}
#endif

#endif /* QUILLMERE_HOSTS_OCTAVE_MEX_H */
