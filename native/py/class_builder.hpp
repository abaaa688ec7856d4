// Assembles a Python-level class from native functions at import time.
//
// The class is made the way a `class` statement makes it: the base's
// metaclass is called with the name, the bases and a namespace holding
// constants, methods and `property` objects.  A class built like this is an
// ordinary heap type: plain Python classes can derive from it, and it can
// derive from plain Python classes.
#pragma once

#include <vector>

#include "py/function.hpp"

namespace zuv {

class ClassBuilder {
 public:
  ClassBuilder(PyObject* module, const char* name, const char* doc);

  ClassBuilder& constant(const char* name, const char* value);
  ClassBuilder& method(const FunctionSpec& spec);
  // A property whose getter and setter both bear the property's name; the
  // docstring is the getter's.  `setter` may be null for a read-only one.
  ClassBuilder& property(const FunctionSpec& getter, const FunctionSpec* setter = nullptr);

  // Creates the class over `base` and adds it to the module.  Returns the
  // class, or an empty Ref with an exception set (also when any step above
  // failed).
  Ref build(PyObject* base);

 private:
  bool ok() const { return namespace_ && !failed_; }
  bool put(const char* name, const Ref& value);

  PyObject* module_;
  const char* name_;
  Ref namespace_;
  std::vector<Ref> functions_;
  bool failed_ = false;
};

}  // namespace zuv
