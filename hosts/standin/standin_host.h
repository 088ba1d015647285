/* The test side of the stand-in host: making and inspecting arrays, and
 * calling a mexFunction the way MATLAB does, with raised errors caught.
 * Plain C, like mex.h beside it. */
#ifndef QUILLMERE_HOSTS_STANDIN_STANDIN_HOST_H
#define QUILLMERE_HOSTS_STANDIN_STANDIN_HOST_H

#include "mex.h"

#if defined(__cplusplus)
extern "C" {
#endif

/* Any class, complexity and extents (same extent rules as
 * mxCreateNumericArray_700). Cell, struct and function arrays get zeroed
 * pointer-sized slots, enough to pass them around. NULL when out of memory. */
mxArray* standinCreateArray(int ndim, const int* dims, mxClassID classid, mxComplexity flag);
void standinDestroyArray(mxArray* array);
/* The imaginary part of a complex array, NULL for a real one. */
void* standinGetImagData(const mxArray* array);
/* Bytes per element of the real part. */
size_t standinGetElementSize(const mxArray* array);
/* Arrays made and not yet destroyed, over the whole process. */
long standinLiveArrayCount(void);

typedef void (*StandinMexFunction)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

typedef struct {
  int raised;           /* 1 when the call ended in mexErrMsgIdAndTxt */
  char identifier[128]; /* the raised identifier, "" otherwise */
  char message[1024];   /* the raised message, "" otherwise */
  long arraysCreated;   /* arrays the call made, whether or not it raised */
} StandinCallResult;

/* Runs fn as MATLAB would: plhs must have room for max(nlhs, 1) slots, which
 * start out NULL. When fn raises, control comes back here and the result
 * says so; arrays the call made are left alive (and counted) so that a test
 * can see them. Returns result->raised. */
int standinCall(StandinMexFunction fn, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                StandinCallResult* result);

/* Ends the innermost standinCall of this thread with an error whose message
 * is already formatted (aborts when no call is active). mexErrMsgIdAndTxt
 * is this plus printf-style formatting. */
#if defined(__GNUC__)
__attribute__((noreturn))
#endif
void standinRaiseError(const char* identifier, const char* message);

/* How the host answers maxNumCompThreads and nproc (mexCallMATLABWithTrap):
 * a real double holding value (the default, value 2), an empty double, a
 * char array, or an error. */
typedef enum {
  STANDIN_ANSWER_NUMBER,
  STANDIN_ANSWER_EMPTY,
  STANDIN_ANSWER_TEXT,
  STANDIN_ANSWER_ERROR
} StandinAnswerKind;
void standinSetComputeThreads(StandinAnswerKind kind, double value);
/* How often a module has asked, over the whole process. */
long standinComputeThreadQueries(void);
/* The body of mexCallMATLABWithTrap, in libmx beside the arrays (libmex
 * forwards to it). Answers are made by the host: alive until destroyed, but
 * not counted in a call's arraysCreated. */
mxArray* standinCallHostFunction(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[],
                                 const char* functionName);

#if defined(__cplusplus)
}
#endif

#endif /* QUILLMERE_HOSTS_STANDIN_STANDIN_HOST_H */
