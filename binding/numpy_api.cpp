// Owns the NumPy C API table of the module and loads it on first use from
// the `_ARRAY_API` capsule of NumPy's multiarray module.
#define VELMAR_NUMPY_API_OWNER
#include "numpy_api.h"

#include <stdexcept>
#include <string>

#include "args.h"

namespace velmar::binding {
namespace {

[[noreturn]] void fail(const std::string& detail) {
  throw std::runtime_error("Failed to access NumPy array API capsule: " +
                           detail);
}

// The failure text of the pending Python exception, which is cleared.
[[noreturn]] void fail_with_pending() { fail(take_pending_error_text()); }

// Major version from numpy.__version__ ("2.1.3" -> 2).
long numpy_major_version() {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) fail_with_pending();
  PyRef version =
      PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) fail_with_pending();
  const char* text = PyUnicode_Check(version.get())
                         ? PyUnicode_AsUTF8(version.get())
                         : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    fail("numpy.__version__ is not a string");
  }
  // Only "is it 2 or more" matters, so a long run of digits may saturate.
  long major = 0;
  const char* p = text;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (major < 1000) major = major * 10 + (*p - '0');
  }
  if (p == text) fail(std::string("cannot read numpy.__version__ ") + text);
  return major;
}

#if NPY_BYTE_ORDER == NPY_BIG_ENDIAN
constexpr int kByteOrder = NPY_CPU_BIG;
#else
constexpr int kByteOrder = NPY_CPU_LITTLE;
#endif

}  // namespace

// Filled with the GIL held and without releasing it between the first store
// and the last check, so a fork() (which a Python thread makes holding the
// GIL) sees the table either absent or complete.
void ensure_numpy_api() {
  if (PyArray_API != nullptr) return;

  // NumPy 2 moved the module; importing the old path there warns.
  const char* module_name = numpy_major_version() >= 2
                                ? "numpy._core.multiarray"
                                : "numpy.core.multiarray";
  PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
  if (!module) fail_with_pending();
  PyRef capsule =
      PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) fail_with_pending();
  if (!PyCapsule_CheckExact(capsule.get())) fail("_ARRAY_API is not a capsule");
  auto table =
      static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) fail_with_pending();

  // The checks NumPy's own import makes: the table may be no newer in ABI
  // than the headers and must offer at least the C-API version targeted.
  // The calls below go through the table, so it is installed for them and
  // withdrawn again if a check fails; nothing releases the GIL meanwhile.
  PyArray_API = table;
  const unsigned int abi = PyArray_GetNDArrayCVersion();
  const unsigned int feature = PyArray_GetNDArrayCFeatureVersion();
  const int endianness = PyArray_GetEndianness();
  std::string problem;
  if (abi > NPY_VERSION) {
    problem = "module compiled against ABI version " +
              std::to_string(NPY_VERSION) + " but this NumPy has " +
              std::to_string(abi);
  } else if (feature < NPY_FEATURE_VERSION) {
    problem = "module compiled against C-API version " +
              std::to_string(NPY_FEATURE_VERSION) + " but this NumPy has " +
              std::to_string(feature);
  } else if (endianness != kByteOrder) {
    problem = "NumPy reports a byte order other than the module's";
  }
  if (!problem.empty()) {
    PyArray_API = nullptr;
    fail(problem);
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(feature);
}

}  // namespace velmar::binding
