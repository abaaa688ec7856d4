#include "py/function.hpp"

#include <cstddef>
#include <cstring>

#include "py/compat.hpp"
#include "py/error.hpp"

namespace zuv {
namespace {

// Parameter lists are short; a fixed vector keeps calls allocation-free.
constexpr Py_ssize_t kMaxParams = 8;

struct NativeFunction {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  PyObject* param_names;  // tuple of interned parameter names
  PyObject* name;
  PyObject* qualname;
  PyObject* module;           // the module's name, as __module__
  PyObject* trace_file;       // "<module name>": the file name of its traceback entries
  PyObject* trace_code;       // code object of its traceback entries, made on first use
  PyObject* trace_code_name;  // the __qualname__ that trace_code names
  PyObject* doc;
  PyObject* annotations;
  PyObject* globals;
  PyObject* module_object;  // the defining module, which holds its state
  PyObject* owner;
  PyObject* dict;
  PyObject* weakrefs;
};

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

const char* type_name(Exact exact) {
  switch (exact) {
    case Exact::dict:
      return "dict";
    case Exact::list:
      return "list";
    case Exact::str:
      return "str";
    case Exact::any:
      break;
  }
  return "object";
}

PyTypeObject* type_object(Exact exact) {
  switch (exact) {
    case Exact::dict:
      return &PyDict_Type;
    case Exact::list:
      return &PyList_Type;
    case Exact::str:
      return &PyUnicode_Type;
    case Exact::any:
      break;
  }
  return nullptr;
}

void raise_arg_count(const FunctionSpec& spec, Py_ssize_t given) {
  Py_ssize_t max = static_cast<Py_ssize_t>(spec.params.size());
  Py_ssize_t min = 0;
  while (min < max && !spec.params[min].defaults_to_none) ++min;
  Py_ssize_t expected = given < min ? min : max;
  const char* how = min == max ? "exactly" : (given < min ? "at least" : "at most");
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               spec.name, how, expected, expected == 1 ? "" : "s", given);
}

// Index of `key` among the parameter names, or -1.
Py_ssize_t find_param(PyObject* names, PyObject* key) {
  Py_ssize_t n = PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(names, i) == key) return i;
  for (Py_ssize_t i = 0; i < n; ++i) {
    int eq = PyUnicode_Compare(PyTuple_GET_ITEM(names, i), key);
    if (eq == 0) return i;
  }
  return -1;
}

// Fills `values` from a vectorcall argument vector, with the messages and
// the order of checks that users of these functions rely on.
bool bind_arguments(NativeFunction* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** values) {
  const FunctionSpec& spec = *fn->spec;
  Py_ssize_t n = static_cast<Py_ssize_t>(spec.params.size());
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > n) {
    raise_arg_count(spec, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  for (Py_ssize_t i = nargs; i < n; ++i) values[i] = nullptr;

  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
      return false;
    }
  }
  // Missing required parameters are reported first, as the first gap.
  for (Py_ssize_t i = nargs; i < n; ++i) {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (key == PyTuple_GET_ITEM(fn->param_names, i) ||
          PyUnicode_Compare(key, PyTuple_GET_ITEM(fn->param_names, i)) == 0) {
        values[i] = args[nargs + k];
        break;
      }
    }
    if (!values[i] && !spec.params[i].defaults_to_none) {
      raise_arg_count(spec, i);
      return false;
    }
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t i = find_param(fn->param_names, key);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
      return false;
    }
    if (i < nargs) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name,
                   key);
      return false;
    }
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!values[i]) values[i] = Py_None;  // an omitted optional parameter
    const Param& p = spec.params[i];
    if (!check_argument(values[i], p.exact, p.none_ok, p.name)) return false;
  }
  return true;
}

// Puts an entry naming the function on the traceback of the exception being
// raised, where a Python function's frame would appear.  The file name, the
// module's name in angle brackets, tells `linecache` that there are no source
// lines to look up; its UTF-8 form is cached when the function is made.
void add_traceback_entry(NativeFunction* fn) {
  if (!PyErr_Occurred()) return;  // the interpreter reports a missing exception itself
  // The code object is made once and again only after `__qualname__` was
  // set; making one for every raise costs more than the frame.
  if (fn->trace_code_name != fn->qualname) {
    // `__qualname__` may have been set to any text, whose UTF-8 form may have
    // to be made now; the exception being raised is set aside meanwhile.
    Ref qualname = Ref::borrow(fn->qualname);
    Ref trace_file = Ref::borrow(fn->trace_file);
    CaughtError raised;
    // Any failure to decorate gives way to the exception being raised.
    const char* name = PyUnicode_AsUTF8(qualname.get());
    if (!name) {
      PyErr_Clear();
      name = fn->spec->name;
    }
    Ref code = compat::new_trace_code(name, PyUnicode_AsUTF8(trace_file.get()));
    if (!code) PyErr_Clear();
    raised.restore();
    if (!code) return;
    Py_XSETREF(fn->trace_code, code.release());
    Py_XSETREF(fn->trace_code_name, qualname.release());
  }
  Ref code = Ref::borrow(fn->trace_code);
  compat::add_traceback_entry(code.get());
}

// The implementation's result; a C++ exception escaping it becomes the
// matching Python exception here, at the one place where every native
// function is entered.
PyObject* run_impl(const FunctionSpec& spec, const CallArgs& call) noexcept {
  try {
    inject_cxx_exception(spec.name);
    return spec.impl(call).release();
  } catch (...) {
    raise_from_cxx_exception();
    return nullptr;
  }
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  NativeFunction* fn = as_function(self);
  PyObject* values[kMaxParams];
  if (!bind_arguments(fn, args, PyVectorcall_NARGS(nargsf), kwnames, values)) {
    add_traceback_entry(fn);
    return nullptr;
  }
  CallArgs call{values, fn->globals, fn->owner, fn->module_object};
  PyObject* result = run_impl(*fn->spec, call);
  if (!result) add_traceback_entry(fn);
  return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  NativeFunction* fn = as_function(self);
  Py_VISIT(fn->annotations);
  Py_VISIT(fn->globals);
  Py_VISIT(fn->module_object);
  Py_VISIT(fn->owner);
  Py_VISIT(fn->dict);
  return 0;
}

int function_clear(PyObject* self) {
  NativeFunction* fn = as_function(self);
  Py_CLEAR(fn->param_names);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->trace_file);
  Py_CLEAR(fn->trace_code);
  Py_CLEAR(fn->trace_code_name);
  Py_CLEAR(fn->doc);
  Py_CLEAR(fn->annotations);
  Py_CLEAR(fn->globals);
  Py_CLEAR(fn->module_object);
  Py_CLEAR(fn->owner);
  Py_CLEAR(fn->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  PyObject_GC_Del(self);
}

// `inspect.signature()` and `help()` read this: parameter names, the None
// defaults and the annotation texts.
PyObject* function_get_signature(PyObject* self, void*) {
  NativeFunction* fn = as_function(self);
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter = getattr(inspect.get(), "Parameter");
  Ref signature = getattr(inspect.get(), "Signature");
  if (!parameter || !signature) return nullptr;
  Ref kind = getattr(parameter.get(), "POSITIONAL_OR_KEYWORD");
  Ref empty = getattr(parameter.get(), "empty");
  if (!kind || !empty) return nullptr;
  const FunctionSpec& spec = *fn->spec;
  Ref params = Ref::steal(PyList_New(0));
  if (!params) return nullptr;
  for (const Param& p : spec.params) {
    Ref kwargs = Ref::steal(PyDict_New());
    Ref annotation = p.annotation ? str(p.annotation) : empty;
    if (!kwargs || !annotation) return nullptr;
    if (PyDict_SetItemString(kwargs.get(), "annotation", annotation.get()) < 0) return nullptr;
    if (p.defaults_to_none && PyDict_SetItemString(kwargs.get(), "default", Py_None) < 0)
      return nullptr;
    Ref name = str(p.name);
    if (!name) return nullptr;
    PyObject* argv[] = {name.get(), kind.get()};
    Ref param = Ref::steal(PyObject_VectorcallDict(parameter.get(), argv, 2, kwargs.get()));
    if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
  }
  Ref result = spec.returns ? str(spec.returns) : empty;
  if (!result) return nullptr;
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "return_annotation", result.get()) < 0)
    return nullptr;
  PyObject* argv[] = {params.get()};
  return PyObject_VectorcallDict(signature.get(), argv, 1, kwargs.get());
}

PyObject* function_get_text(PyObject* self, void* which) {
  NativeFunction* fn = as_function(self);
  PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(fn) +
                                              reinterpret_cast<std::ptrdiff_t>(which));
  return Py_NewRef(v ? v : Py_None);
}

int function_set_text(PyObject* self, PyObject* value, void* which) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "the attribute must be set to a string object");
    return -1;
  }
  PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                                 reinterpret_cast<std::ptrdiff_t>(which));
  Py_XSETREF(*slot, Py_NewRef(value));
  return 0;
}

// A getset closure carries the field's offset, the way CPython's own types do.
// NOLINTNEXTLINE(bugprone-macro-parentheses): offsetof takes a member name
#define ZUV_SLOT(field) reinterpret_cast<void*>(offsetof(NativeFunction, field))

PyGetSetDef function_getset[] = {
    {"__name__", function_get_text, function_set_text, nullptr, ZUV_SLOT(name)},
    {"__qualname__", function_get_text, function_set_text, nullptr, ZUV_SLOT(qualname)},
    {"__signature__", function_get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", compat::kObjectOrNone, offsetof(NativeFunction, module), 0, nullptr},
    {"__doc__", compat::kObjectOrNone, offsetof(NativeFunction, doc), 0, nullptr},
    {"__annotations__", compat::kObjectOrNone, offsetof(NativeFunction, annotations),
     compat::kReadOnly, nullptr},
    {"__globals__", compat::kObjectOrNone, offsetof(NativeFunction, globals), compat::kReadOnly,
     nullptr},
    {"__vectorcalloffset__", compat::kSsize, offsetof(NativeFunction, vectorcall),
     compat::kReadOnly, nullptr},
    {"__weaklistoffset__", compat::kSsize, offsetof(NativeFunction, weakrefs), compat::kReadOnly,
     nullptr},
    {"__dictoffset__", compat::kSsize, offsetof(NativeFunction, dict), compat::kReadOnly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject* function_type() {
  static PyTypeObject type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(&t, 1);  // a static type is never deallocated
    t.tp_name = "zuv_weft_git.function";
    t.tp_basicsize = sizeof(NativeFunction);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                 Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_repr = function_repr;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_descr_get = function_descr_get;
    t.tp_getset = function_getset;
    t.tp_members = function_members;
    t.tp_dictoffset = offsetof(NativeFunction, dict);
    t.tp_weaklistoffset = offsetof(NativeFunction, weakrefs);
    t.tp_doc = "A function implemented in C++.";
    return t;
  }();
  return &type;
}

}  // namespace

bool check_argument(PyObject* value, Exact exact, bool none_ok, const char* name) {
  if (exact == Exact::any || (none_ok && value == Py_None) || Py_IS_TYPE(value, type_object(exact)))
    return true;
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
               type_name(exact), Py_TYPE(value)->tp_name);
  return false;
}

Ref make_function(const FunctionSpec& spec, PyObject* module, const char* class_name) {
  if (static_cast<Py_ssize_t>(spec.params.size()) > kMaxParams) {
    PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
    return {};
  }
  PyTypeObject* type = function_type();
  if (!(type->tp_flags & Py_TPFLAGS_READY) && PyType_Ready(type) < 0) return {};

  Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size())));
  Ref annotations = Ref::steal(PyDict_New());
  if (!names || !annotations) return {};
  for (size_t i = 0; i < spec.params.size(); ++i) {
    PyObject* name = PyUnicode_InternFromString(spec.params[i].name);
    if (!name) return {};
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    if (spec.params[i].annotation) {
      Ref text = str(spec.params[i].annotation);
      if (!text || PyDict_SetItem(annotations.get(), name, text.get()) < 0) return {};
    }
  }
  if (spec.returns) {
    Ref text = str(spec.returns);
    if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return {};
  }
  Ref name = str(spec.name);
  Ref qualname =
      class_name ? Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, spec.name)) : name;
  Ref doc = spec.doc ? str(spec.doc) : Ref::none();
  Ref module_name = getattr(module, "__name__");
  PyObject* globals = PyModule_GetDict(module);  // borrowed
  if (!name || !qualname || !doc || !module_name || !globals) return {};
  Ref trace_file = Ref::steal(PyUnicode_FromFormat("<%S>", module_name.get()));
  // Caches the UTF-8 form that traceback entries read.
  if (!trace_file || !PyUnicode_AsUTF8(trace_file.get())) return {};

  NativeFunction* fn = PyObject_GC_New(NativeFunction, type);
  if (!fn) return {};
  fn->vectorcall = function_vectorcall;
  fn->spec = &spec;
  fn->param_names = names.release();
  fn->name = name.release();
  fn->qualname = qualname.release();
  fn->module = module_name.release();
  fn->trace_file = trace_file.release();
  fn->trace_code = nullptr;
  fn->trace_code_name = nullptr;
  fn->doc = doc.release();
  fn->annotations = annotations.release();
  fn->globals = Py_NewRef(globals);
  fn->module_object = Py_NewRef(module);
  fn->owner = nullptr;
  fn->dict = nullptr;
  fn->weakrefs = nullptr;
  PyObject_GC_Track(fn);
  return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

bool add_function(PyObject* module, const FunctionSpec& spec) {
  Ref fn = make_function(spec, module);
  return fn && PyModule_AddObjectRef(module, spec.name, fn.get()) == 0;
}

void set_owner(PyObject* function, PyObject* owner) {
  if (Py_TYPE(function) != function_type()) return;
  Py_XSETREF(as_function(function)->owner, Py_NewRef(owner));
}

}  // namespace zuv
