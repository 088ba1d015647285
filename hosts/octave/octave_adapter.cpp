// The Octave module's entry point and the mx/mex functions the gateway calls
// (mex.h), over Octave's own C++ arrays. Each module compiles this file once
// with QUILLMERE_MODULE_NAME set to its name: Octave finds an oct-file's
// function through an installer named G<name>.
//
// Why not Octave's MEX interface: it copies every output into a new Octave
// array when the call returns. Here an input is the caller's array, read in
// place (only ever through const access, which never copies a shared
// array), and an output is an Octave array from the moment it is made,
// handed back as it is.
#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <octave/file-stat.h>
#include <octave/interpreter.h>
#include <octave/oct.h>
#include <octave/parse.h>

#include "mex.h"

#ifndef QUILLMERE_MODULE_NAME
#error "QUILLMERE_MODULE_NAME must name the module this file is built into"
#endif
#define QUILLMERE_TEXT_(x) #x
#define QUILLMERE_TEXT(x) QUILLMERE_TEXT_(x)
#define QUILLMERE_JOIN_(a, b) a##b
#define QUILLMERE_JOIN(a, b) QUILLMERE_JOIN_(a, b)

namespace {

const char* const kModuleName = QUILLMERE_TEXT(QUILLMERE_MODULE_NAME);

// Octave's limit on the dimensions of an array the gateway may ask for.
constexpr int kMaxCreatedDimensions = 16;

// One array the gateway sees: a value Octave gave (an input, a host call's
// answer), or an output made here, whose samples stay in a typed array so
// that writing them never meets a shared copy.
struct HostArray {
  enum class Kind { Value, Single, Double };
  Kind kind = Kind::Value;
  octave_value value;
  Array<float> singles;
  Array<double> doubles;
  mxClassID classId = mxUNKNOWN_CLASS;
  bool dataKnown = false;
  const void* data = nullptr;
  bool extentsKnown = false;
  std::vector<int> extents;
};

// MATLAB's class code by class name, as Octave's MEX interface reports it.
mxClassID classIdOf(const octave_value& value) {
  static const struct {
    const char* name;
    mxClassID id;
  } classes[] = {{"double", mxDOUBLE_CLASS},
                 {"single", mxSINGLE_CLASS},
                 {"logical", mxLOGICAL_CLASS},
                 {"char", mxCHAR_CLASS},
                 {"cell", mxCELL_CLASS},
                 {"struct", mxSTRUCT_CLASS},
                 {"int8", mxINT8_CLASS},
                 {"uint8", mxUINT8_CLASS},
                 {"int16", mxINT16_CLASS},
                 {"uint16", mxUINT16_CLASS},
                 {"int32", mxINT32_CLASS},
                 {"uint32", mxUINT32_CLASS},
                 {"int64", mxINT64_CLASS},
                 {"uint64", mxUINT64_CLASS},
                 {"function_handle", mxFUNCTION_CLASS}};
  const std::string name = value.class_name();
  for (const auto& c : classes) {
    if (name == c.name) return c.id;
  }
  return mxUNKNOWN_CLASS;
}

// The arrays of one call. Everything made during the call is owned here and
// freed when the call ends, returned or raised; the outputs' samples live on
// in the values handed back. Octave evaluates on one thread; a call made
// from within a call (the thread question) nests.
class Call {
 public:
  Call() : outer_(current_) { current_ = this; }
  ~Call() { current_ = outer_; }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  static Call& current() { return *current_; }

  HostArray* adopt(std::unique_ptr<HostArray> array) {
    arrays_.push_back(std::move(array));
    return arrays_.back().get();
  }

  HostArray* wrap(const octave_value& value) {
    auto array = std::make_unique<HostArray>();
    array->value = value;
    array->classId = classIdOf(value);
    return adopt(std::move(array));
  }

  void destroy(HostArray* array) {
    auto at =
        std::find_if(arrays_.begin(), arrays_.end(),
                     [array](const std::unique_ptr<HostArray>& a) { return a.get() == array; });
    if (at != arrays_.end()) arrays_.erase(at);
  }

 private:
  static Call* current_;
  Call* outer_;
  std::vector<std::unique_ptr<HostArray>> arrays_;
};

Call* Call::current_ = nullptr;

HostArray* host(const mxArray* array) {
  return reinterpret_cast<HostArray*>(const_cast<mxArray*>(array));
}

mxArray* handle(HostArray* array) { return reinterpret_cast<mxArray*>(array); }

// The value handed back for an array the gateway made or was given; the
// output's samples are shared, not copied.
octave_value valueOf(const HostArray* array) {
  switch (array->kind) {
    case HostArray::Kind::Single:
      return octave_value(array->singles);
    case HostArray::Kind::Double:
      return octave_value(array->doubles);
    case HostArray::Kind::Value:
      break;
  }
  return array->value;
}

dim_vector extentsOf(const HostArray* array) {
  switch (array->kind) {
    case HostArray::Kind::Single:
      return array->singles.dims();
    case HostArray::Kind::Double:
      return array->doubles.dims();
    case HostArray::Kind::Value:
      break;
  }
  return array->value.dims();
}

// Fresh memory for a large output is faulted in page by page as the core
// first writes it; on Linux, 2 MB pages over its aligned interior take 512
// times fewer faults (six 128^3 outputs: 12.5 ms of faults down to 7.8 ms
// in one run). Only advice: nothing changes if the kernel declines.
void adviseLargePages(void* samples, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kLargePage = std::uintptr_t{1} << 21;
  if (bytes < 2 * kLargePage) return;
  const auto start = reinterpret_cast<std::uintptr_t>(samples);
  const std::uintptr_t first = (start + kLargePage - 1) & ~(kLargePage - 1);
  const std::uintptr_t last = (start + bytes) & ~(kLargePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)samples;
  (void)bytes;
#endif
}

// An array of the host's own allocator that is not value-initialised: the
// core writes every sample.
template <typename T, typename Alloc>
Array<T, Alloc> unfilled(const dim_vector& dims, const Array<T, Alloc>* /*type*/) {
  Alloc allocator;
  const auto count = static_cast<std::size_t>(dims.safe_numel());
  T* samples = std::allocator_traits<Alloc>::allocate(allocator, count);
  adviseLargePages(samples, count * sizeof(T));
  try {
    return Array<T, Alloc>(samples, dims, allocator);
  } catch (...) {
    std::allocator_traits<Alloc>::deallocate(allocator, samples, count);
    throw;
  }
}

mxArray* createArray(int ndim, const int* dims, mxClassID classid, mxComplexity flag, bool fill) {
  if (ndim < 0 || ndim > kMaxCreatedDimensions) {
    mexErrMsgIdAndTxt("quillmere:tooLarge", "cannot create an array of %d dimensions", ndim);
  }
  if ((classid != mxSINGLE_CLASS && classid != mxDOUBLE_CLASS) || flag != mxREAL) {
    mexErrMsgIdAndTxt("quillmere:host", "this host creates real single and double arrays only");
  }
  dim_vector extents = dim_vector::alloc(std::max(ndim, 2));
  for (int i = 0; i < extents.ndims(); ++i) {
    extents(i) = i < ndim ? std::max(dims[i], 0) : 1;
  }
  auto array = std::make_unique<HostArray>();
  array->classId = classid;
  if (classid == mxSINGLE_CLASS) {
    array->kind = HostArray::Kind::Single;
    array->singles = fill ? Array<float>(extents, 0.0f) : unfilled(extents, &array->singles);
    array->data = array->singles.fortran_vec();
  } else {
    array->kind = HostArray::Kind::Double;
    array->doubles = fill ? Array<double>(extents, 0.0) : unfilled(extents, &array->doubles);
    array->data = array->doubles.fortran_vec();
  }
  array->dataKnown = true;
  return handle(Call::current().adopt(std::move(array)));
}

// The help of NAME.m beside the module, as Octave shows it for an M-file:
// Octave reads an oct-file's help from its installer alone.
std::string helpBeside(const std::string& moduleFile) {
  const std::size_t dot = moduleFile.find_last_of('.');
  if (dot == std::string::npos) return "";
  const std::string helpFile = moduleFile.substr(0, dot) + ".m";
  if (!octave::sys::file_stat(helpFile).exists()) return "";
  octave::interpreter* interpreter = octave::interpreter::the_interpreter();
  if (!interpreter) return "";
  std::string text;
  std::string format;
  try {
    interpreter->get_help_system().get_help_text_from_file(helpFile, text, format);
  } catch (const octave::execution_exception&) {
    interpreter->recover_from_exception();
    return "";
  }
  return text;
}

// The function Octave calls: the gateway's mexFunction with the caller's
// values, then its outputs handed back. Slots follow Octave's MEX rules:
// max(nargout, 1) are offered; the first becomes `ans` when none was asked
// for; a requested slot left empty is left undefined.
octave_value_list callModule(const octave_value_list& args, int nargout) {
  Call call;
  const int nrhs = static_cast<int>(args.length());
  std::vector<const mxArray*> prhs(static_cast<std::size_t>(nrhs));
  for (int i = 0; i < nrhs; ++i) prhs[i] = handle(call.wrap(args(i)));
  const int slots = std::max(nargout, 1);
  std::vector<mxArray*> plhs(static_cast<std::size_t>(slots), nullptr);

  mexFunction(nargout, plhs.data(), nrhs, prhs.data());

  const int returned = nargout == 0 && plhs[0] ? 1 : nargout;
  octave_value_list out(returned);
  for (int i = 0; i < returned; ++i) {
    if (plhs[i]) out(i) = valueOf(host(plhs[i]));
  }
  return out;
}

}  // namespace

extern "C" {

void* mxGetData(const mxArray* array) {
  HostArray* a = host(array);
  if (!a->dataKnown) {
    // Ranges, diagonal and sparse matrices hold no plain samples; made full
    // (only ever small option values reach here in those forms).
    if (a->value.issparse() || (!a->value.mex_get_data() && a->value.numel() > 0)) {
      a->value = a->value.full_value();
    }
    a->data = a->value.mex_get_data();
    a->dataKnown = true;
  }
  return const_cast<void*>(a->data);
}

size_t mxGetNumberOfElements(const mxArray* array) {
  const HostArray* a = host(array);
  return static_cast<size_t>(a->kind == HostArray::Kind::Value ? a->value.numel()
                                                               : extentsOf(a).safe_numel());
}

mxClassID mxGetClassID(const mxArray* array) { return host(array)->classId; }

bool mxIsComplex(const mxArray* array) {
  const HostArray* a = host(array);
  return a->kind == HostArray::Kind::Value && a->value.iscomplex();
}

int mxGetNumberOfDimensions_700(const mxArray* array) {
  const octave_idx_type ndim = extentsOf(host(array)).ndims();
  if (ndim > INT_MAX) {
    mexErrMsgIdAndTxt("quillmere:tooLarge",
                      "an array has %lld dimensions; at most %d are supported",
                      static_cast<long long>(ndim), INT_MAX);
  }
  return static_cast<int>(ndim);
}

const int* mxGetDimensions_700(const mxArray* array) {
  HostArray* a = host(array);
  if (!a->extentsKnown) {
    const dim_vector dims = extentsOf(a);
    for (int i = 0; i < dims.ndims(); ++i) {
      if (dims(i) > INT_MAX) {
        mexErrMsgIdAndTxt(
            "quillmere:tooLarge",
            "an argument has extent %lld along dimension %d; extents must be below 2^31",
            static_cast<long long>(dims(i)), i + 1);
      }
    }
    a->extents.resize(static_cast<std::size_t>(dims.ndims()));
    for (int i = 0; i < dims.ndims(); ++i) a->extents[i] = static_cast<int>(dims(i));
    a->extentsKnown = true;
  }
  return a->extents.data();
}

mxArray* mxCreateNumericArray_700(int ndim, const int* dims, mxClassID classid, mxComplexity flag) {
  return createArray(ndim, dims, classid, flag, true);
}

mxArray* mxCreateUninitNumericArray_700(int ndim, const int* dims, mxClassID classid,
                                        mxComplexity flag) {
  return createArray(ndim, dims, classid, flag, false);
}

void mxDestroyArray(mxArray* array) {
  if (array) Call::current().destroy(host(array));
}

// As Octave's MEX interface: the message is prefixed with the module's name,
// and Octave's error unwinds the gateway's frames back to callModule.
void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string message(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(&message[0], message.size() + 1, format, again);
  va_end(again);
  error_with_id(identifier, "%s: %s", kModuleName, message.c_str());
}

mxArray* mexCallMATLABWithTrap(int nlhs, mxArray* plhs[], int nrhs, mxArray* prhs[],
                               const char* functionName) {
  Call& call = Call::current();
  octave_value_list args(nrhs);
  for (int i = 0; i < nrhs; ++i) args(i) = valueOf(host(prhs[i]));
  octave_value_list answers;
  bool failed = false;
  try {
    answers = octave::feval(functionName, args, nlhs);
  } catch (const octave::execution_exception&) {
    octave::interpreter::the_interpreter()->recover_from_exception();
    failed = true;
  }
  if (failed || answers.length() < nlhs) {
    return handle(call.wrap(octave_value(std::string("mexCallMATLABWithTrap: function call <") +
                                         functionName + "> failed")));
  }
  for (int i = 0; i < nlhs; ++i) plhs[i] = handle(call.wrap(answers(i)));
  return nullptr;
}

// Octave's installer for this module, named G<module>: the function and its
// help, read from NAME.m beside the module as Octave does for MEX files.
OCTAVE_EXPORT octave_function* QUILLMERE_JOIN(G, QUILLMERE_MODULE_NAME)(
    const octave::dynamic_library& library, bool relative) {
  check_version(OCTAVE_API_VERSION, kModuleName);
  octave_dld_function* function = octave_dld_function::create(callModule, library, kModuleName,
                                                              helpBeside(library.file_name()));
  if (relative) function->mark_relative();
  return function;
}

}  // extern "C"
