// Member access to the diff records, as `record.member` reads and
// `record.member = value` writes it.
#pragma once

#include "notebook_diff/diff.hpp"

namespace diff {

Ref read_member(PyObject* record, PyObject* member);
bool write_member(PyObject* record, PyObject* member, PyObject* value);

// `ClassName.CONSTANT`, the class found through the module global binding of
// its name when the code runs.
Ref class_constant(PyObject* globals, PyObject* class_name, PyObject* constant);

// `ClassName(arg)`, the class found through the module global binding.
Ref construct_record(PyObject* globals, PyObject* class_name, PyObject* arg);

// Sets a record's status to a constant of its class (`DiffCell.ADDED`, ...).
bool write_status(PyObject* globals, PyObject* record, PyObject* class_name, PyObject* constant);

}  // namespace diff
