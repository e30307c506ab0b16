// The Settings type of `velmar._engine`: what to compute, checked once when
// made and read by every embed call of a run (one per column block).
#include <array>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>

#include "engine_args.h"
#include "numpy_api.h"

namespace velmar::binding::engine {
namespace {

constexpr std::string_view kParams[] = {"dim",
                                        "weights",
                                        "seed",
                                        "normalization_strength",
                                        "step_normalize",
                                        "features",
                                        "feature_dim",
                                        "row_offset",
                                        "degrees",
                                        "method",
                                        "step_center"};
constexpr CallSpec kSettings{"settings", kParams, 2};

struct SettingsObject {
  PyObject ob_base;  // PyObject_HEAD
  RunSettings* settings;
};

}  // namespace

PyObject* make_settings(PyObject* module, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(module, [&]() -> PyObject* {
    EngineState* st = state_of(module);
    std::array<PyObject*, std::size(kParams)> slot{};  // borrowed
    if (!parse_args(kSettings, args, nargs, kwnames, slot)) return nullptr;
    Converter in{st->glue, kSettings, slot};
    auto s = std::make_unique<RunSettings>();
    auto dim = in.u64(0);
    if (!dim) return nullptr;
    s->dim = *dim;
    auto weights = in.floats(1);
    if (!weights) return nullptr;
    s->weights = std::move(*weights);
    auto seed = in.seed(2);
    if (!seed) return nullptr;
    s->seed = *seed;
    auto beta = finite_double(slot[3], "normalization_strength");
    if (!beta) return nullptr;
    s->normalization_strength = *beta;
    auto step = optional_bool(in, slot[4], 4);
    if (!step) return nullptr;
    s->step_normalize = *step;
    auto center = optional_bool(in, slot[10], 10);
    if (!center) return nullptr;
    s->step_center = *center;
    if (is_given(slot[5])) {
      if (!is_given(slot[6])) {
        PyErr_SetString(PyExc_TypeError, "features need feature_dim");
        return nullptr;
      }
      auto k = in.u64(6);
      if (!k) return nullptr;
      s->features = PyRef::borrow(slot[5]);
      s->feature_dim = *k;
    }
    auto offset = optional_u64(in, slot[7], 7, 0);
    if (!offset) return nullptr;
    s->row_offset = *offset;
    if (is_given(slot[8])) {
      s->degrees = plain_array(slot[8], "degrees", {{NPY_INT64, {}}}, nullptr);
      if (!s->degrees) return nullptr;
    }
    if (is_given(slot[9])) {
      const char* text =
          PyUnicode_Check(slot[9]) ? PyUnicode_AsUTF8(slot[9]) : nullptr;
      const std::string_view method = text != nullptr ? text : "";
      if (method == "spectral") {
        s->spectral = true;
      } else if (method != "projection") {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError,
                        "method must be 'projection' or 'spectral'");
        return nullptr;
      }
    }
    PyTypeObject* type = st->settings_type;
    PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    reinterpret_cast<SettingsObject*>(obj.get())->settings = s.release();
    return obj.release();
  });
}

namespace {

void settings_dealloc(PyObject* self) {
  // Instances of a heap type hold a reference to it; drop it only after
  // tp_free, which still reads the type.
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  delete reinterpret_cast<SettingsObject*>(self)->settings;
  auto free_fn =
      reinterpret_cast<freefunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_free));
  free_fn(self);
}

PyObject* settings_dim(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(settings_of(self).dim);
}

PyGetSetDef settings_getset[] = {
    {"dim", &settings_dim, nullptr, "Columns of the whole embedding.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot settings_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&settings_dealloc)},
    {Py_tp_getset, settings_getset},
    {Py_tp_doc,
     const_cast<char*>(
         "What embed computes (made by settings()): weights[i] multiplies H_i; "
         "the same seed "
         "gives the same bits (None: a fresh seed per call). "
         "normalization_strength=beta scales row i of the initial matrix by "
         "float32(deg_i ** beta), deg_i being row i's entries, or "
         "degrees[i] when given (int64, one per row; rows without entries "
         "unscaled); step_normalize=True scales every H_i, i >= 1, to unit "
         "row length and needs every column in one block; step_center=True "
         "takes from every H_i, i >= 0, its columns' means weighted by the "
         "rows' entries (rows without entries unchanged); features (a 2-D "
         "float32 array with contiguous rows, or a tuple (row_ptrs int64, "
         "col_indices int32/int64, values float32, num_features) of sorted "
         "CSR arrays) fill the last feature_dim columns of the initial "
         "matrix with features @ R; row_offset seeds row i's generator as "
         "that of row row_offset + i. method='spectral' computes the "
         "spectral method instead, which reads dim and seed only. Arrays are "
         "kept, not copied: they must not change while the settings are "
         "used.")},
    {0, nullptr},
};

}  // namespace

RunSettings::~RunSettings() = default;

PyTypeObject* make_settings_type() {
  PyType_Spec spec = {"velmar._engine.Settings",
                      static_cast<int>(sizeof(SettingsObject)), 0,
                      kInternalTypeFlags, settings_slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));  // new
}

const RunSettings& settings_of(PyObject* settings) {
  return *reinterpret_cast<SettingsObject*>(settings)->settings;
}

}  // namespace velmar::binding::engine
