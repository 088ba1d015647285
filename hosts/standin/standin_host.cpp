// The stand-in host's libmx part: arrays in plain heap memory, the call
// helper, and errors raised by longjmp back to it, as MATLAB hands control
// back to itself. mexErrMsgIdAndTxt (standin_mex.cpp) raises through here, so
// that the two halves can be built as libmx.dll and libmex.dll.
#include "standin_host.h"

#include <atomic>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct StandinArray {
  mxClassID classId;
  bool complex;
  int ndim;
  int* dims;
  size_t count;
  size_t elementSize;
  void* real;  // NULL when the array is empty
  void* imag;  // NULL unless complex and non-empty
};

namespace {

std::atomic<long> liveArrays{0};
std::atomic<long> arraysMade{0};

// The answer to maxNumCompThreads and nproc.
std::atomic<StandinAnswerKind> answerKind{STANDIN_ANSWER_NUMBER};
std::atomic<double> answerValue{2.0};
std::atomic<long> threadQueries{0};

// The innermost active standinCall of this thread: where a raised error goes.
struct CallContext {
  std::jmp_buf jump;
  StandinCallResult* result;
};
thread_local CallContext* activeCall = nullptr;

size_t elementSizeOf(mxClassID id) {
  switch (id) {
    case mxLOGICAL_CLASS:
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
      return 1;
    case mxCHAR_CLASS:  // MATLAB's characters are UTF-16 units
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
      return 2;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS:
      return 4;
    default:  // double, 64-bit integers, and pointer slots for the rest
      return 8;
  }
}

bool isNumeric(mxClassID id) { return id >= mxDOUBLE_CLASS && id <= mxUINT64_CLASS; }

void copyText(char* to, size_t size, const char* from) {
  std::snprintf(to, size, "%s", from ? from : "");
}

// Builds an array or returns NULL when its bytes cannot be had.
mxArray* makeArray(int ndim, const int* dims, mxClassID classid, mxComplexity flag) {
  int kept = ndim < 2 ? 2 : ndim;
  int* extents = static_cast<int*>(std::malloc(sizeof(int) * static_cast<size_t>(kept)));
  if (!extents) return nullptr;
  for (int i = 0; i < kept; ++i) {
    const int e = (i < ndim && dims) ? dims[i] : 1;
    extents[i] = e < 0 ? 0 : e;
  }
  while (kept > 2 && extents[kept - 1] == 1) --kept;

  const size_t elementSize = elementSizeOf(classid);
  // An extent of 0 anywhere makes an empty array, however large the others:
  // MATLAB makes zeros(2^31-1, 2^31-1, 2^31-1, 0) without complaint.
  bool empty = false;
  for (int i = 0; i < kept; ++i) empty = empty || extents[i] == 0;
  size_t count = empty ? 0 : 1;
  for (int i = 0; i < kept && !empty; ++i) {
    const size_t e = static_cast<size_t>(extents[i]);
    if (count > SIZE_MAX / elementSize / e) {
      std::free(extents);
      return nullptr;
    }
    count *= e;
  }

  mxArray* a = static_cast<mxArray*>(std::calloc(1, sizeof(mxArray)));
  if (!a) {
    std::free(extents);
    return nullptr;
  }
  a->classId = classid;
  a->complex = flag == mxCOMPLEX;
  a->ndim = kept;
  a->dims = extents;
  a->count = count;
  a->elementSize = elementSize;
  if (count > 0) {
    a->real = std::calloc(count, elementSize);
    a->imag = a->complex ? std::calloc(count, elementSize) : nullptr;
    if (!a->real || (a->complex && !a->imag)) {
      std::free(a->real);
      std::free(a->imag);
      std::free(a->dims);
      std::free(a);
      return nullptr;
    }
  }
  ++liveArrays;
  ++arraysMade;
  return a;
}

}  // namespace

extern "C" {

void* mxGetData(const mxArray* array) { return array->real; }

int mxGetNumberOfDimensions_700(const mxArray* array) { return array->ndim; }

const int* mxGetDimensions_700(const mxArray* array) { return array->dims; }

size_t mxGetNumberOfElements(const mxArray* array) { return array->count; }

mxClassID mxGetClassID(const mxArray* array) { return array->classId; }

bool mxIsComplex(const mxArray* array) { return array->complex; }

mxArray* mxCreateNumericArray_700(int ndim, const int* dims, mxClassID classid, mxComplexity flag) {
  if (!isNumeric(classid)) {
    char message[96];
    std::snprintf(message, sizeof message, "mxCreateNumericArray_700: class code %d is not numeric",
                  static_cast<int>(classid));
    standinRaiseError("standin:badClass", message);
  }
  mxArray* a = makeArray(ndim, dims, classid, flag);
  if (!a) standinRaiseError("standin:outOfMemory", "mxCreateNumericArray_700: out of memory");
  return a;
}

void standinRaiseError(const char* identifier, const char* message) {
  CallContext* call = activeCall;
  if (!call) {
    // Nobody to hand control back to: like an error outside any MEX call.
    std::fprintf(stderr, "stand-in host: error outside a call: %s: %s\n",
                 identifier ? identifier : "", message ? message : "");
    std::abort();
  }
  call->result->raised = 1;
  copyText(call->result->identifier, sizeof call->result->identifier, identifier);
  copyText(call->result->message, sizeof call->result->message, message);
  std::longjmp(call->jump, 1);
}

mxArray* standinCreateArray(int ndim, const int* dims, mxClassID classid, mxComplexity flag) {
  return makeArray(ndim, dims, classid, flag);
}

void standinDestroyArray(mxArray* array) {
  if (!array) return;
  std::free(array->real);
  std::free(array->imag);
  std::free(array->dims);
  std::free(array);
  --liveArrays;
}

void* standinGetImagData(const mxArray* array) { return array->imag; }

size_t standinGetElementSize(const mxArray* array) { return array->elementSize; }

long standinLiveArrayCount(void) { return liveArrays.load(); }

void mxDestroyArray(mxArray* array) { standinDestroyArray(array); }

void standinSetComputeThreads(StandinAnswerKind kind, double value) {
  answerKind.store(kind);
  answerValue.store(value);
}

long standinComputeThreadQueries(void) { return threadQueries.load(); }

mxArray* standinCallHostFunction(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[],
                                 const char* functionName) {
  (void)prhs;
  const bool known = functionName && (std::strcmp(functionName, "maxNumCompThreads") == 0 ||
                                      std::strcmp(functionName, "nproc") == 0);
  if (known) ++threadQueries;
  const StandinAnswerKind kind = answerKind.load();
  mxArray* answer = nullptr;
  if (known && nrhs == 0 && nlhs <= 1 && kind != STANDIN_ANSWER_ERROR) {
    const int one[2] = {1, 1}, none[2] = {0, 0};
    if (kind == STANDIN_ANSWER_TEXT) {
      answer = makeArray(2, one, mxCHAR_CLASS, mxREAL);
    } else {
      answer = makeArray(2, kind == STANDIN_ANSWER_EMPTY ? none : one, mxDOUBLE_CLASS, mxREAL);
      if (answer && kind == STANDIN_ANSWER_NUMBER)
        *static_cast<double*>(answer->real) = answerValue.load();
    }
  }
  if (answer) {
    --arraysMade;  // the host's own array, not the module's
    if (nlhs >= 1) {
      plhs[0] = answer;
    } else {
      standinDestroyArray(answer);
    }
    return nullptr;
  }
  // The error, as an array the caller destroys.
  const int one[2] = {1, 1};
  mxArray* failure = makeArray(2, one, mxCHAR_CLASS, mxREAL);
  if (failure) --arraysMade;
  return failure;
}

int standinCall(StandinMexFunction fn, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[],
                StandinCallResult* result) {
  result->raised = 0;
  result->identifier[0] = '\0';
  result->message[0] = '\0';
  result->arraysCreated = 0;
  // No local is changed between setjmp and a longjmp back to it, so none
  // needs to be volatile.
  CallContext context;
  context.result = result;
  CallContext* const outer = activeCall;
  const long madeBefore = arraysMade.load();
  activeCall = &context;
  if (setjmp(context.jump) == 0) {
    fn(nlhs, plhs, nrhs, prhs);
  }
  activeCall = outer;
  result->arraysCreated = arraysMade.load() - madeBefore;
  return result->raised;
}

}  // extern "C"
