#include "diff_rules/plain_records.hpp"

#include <algorithm>
#include <iterator>

#include "py/imports.hpp"

namespace diff {
namespace {

using zuv::Names;
using zuv::names;

// Where a member lives: in the record's own object, or in its
// ["metadata"]["canvas"] object.  `listed`: absent reads as a new empty
// list; `lines`: a str reads as its lines, line ends kept (Cell.source).
enum class Place { object, canvas };
struct MemberPlace {
  PyObject* Names::*member;
  Place place;
  bool listed, lines;
};

constexpr MemberPlace kPlaces[] = {
    {&Names::source, Place::object, true, true},
    {&Names::parents, Place::canvas, true, false},
    {&Names::prev_source, Place::canvas, true, false},
    {&Names::added_parents, Place::canvas, true, false},
    {&Names::removed_parents, Place::canvas, true, false},
    {&Names::value, Place::object, false, false},
    {&Names::type, Place::object, false, false},
    {&Names::prev_type, Place::object, false, false},
    {&Names::prev_value, Place::object, false, false},
};

// The status constants of the record classes and the texts they hold.
struct StatusText {
  PyObject* Names::*constant;
  PyObject* Names::*text;
};
constexpr StatusText kStatuses[] = {{&Names::UNCHANGED, &Names::unchanged},
                                    {&Names::ADDED, &Names::added},
                                    {&Names::REMOVED, &Names::removed},
                                    {&Names::MODIFIED, &Names::modified}};

const MemberPlace* place_of(PyObject* member) {
  for (const MemberPlace& place : kPlaces)
    if (names().*place.member == member) return &place;
  PyErr_Format(PyExc_AttributeError, "diff record has no member %R", member);
  return nullptr;
}

Ref holder(PyObject* record, Place place) {
  if (place == Place::object) return Ref::borrow(record);
  Ref metadata = zuv::getitem(record, names().metadata);
  return metadata ? zuv::getitem(metadata.get(), names().canvas) : Ref{};
}

bool require_dict(PyObject* data) {
  if (PyDict_Check(data)) return true;
  PyErr_Format(PyExc_TypeError, "a diff record wraps a dict, not %.100s", Py_TYPE(data)->tp_name);
  return false;
}

class PlainRecords final : public DiffRecords {
 public:
  Ref cell(PyObject* cell) override { return require_dict(cell) ? Ref::borrow(cell) : Ref{}; }

  Ref construct(PyObject* class_name, PyObject* data) override {
    if (!require_dict(data) || !write_status(data, class_name, names().UNCHANGED)) return {};
    return Ref::borrow(data);
  }

  Ref read(PyObject* record, PyObject* member) override {
    if (member == names().data) return Ref::borrow(record);
    const MemberPlace* place = place_of(member);
    Ref object = place ? holder(record, place->place) : Ref{};
    if (!object) return {};
    if (!place->listed) return zuv::getitem(object.get(), member);
    PyObject* value =
        PyDict_Check(object.get()) ? PyDict_GetItemWithError(object.get(), member) : nullptr;
    if (!value && PyErr_Occurred()) return {};
    if (!value && !PyDict_Check(object.get())) return zuv::getitem(object.get(), member);
    if (!value) return Ref::steal(PyList_New(0));
    if (place->lines && PyUnicode_Check(value)) return Ref::steal(PyUnicode_Splitlines(value, 1));
    return Ref::borrow(value);
  }

  bool write(PyObject* record, PyObject* member, PyObject* value) override {
    const MemberPlace* place = place_of(member);
    Ref object = place ? holder(record, place->place) : Ref{};
    return object && PyObject_SetItem(object.get(), member, value) == 0;
  }

  bool write_status(PyObject* record, PyObject* class_name, PyObject* constant) override {
    const StatusText* status =
        std::find_if(std::begin(kStatuses), std::end(kStatuses),
                     [&](const StatusText& s) { return names().*s.constant == constant; });
    if (status == std::end(kStatuses)) {
      PyErr_Format(PyExc_AttributeError, "no status %R", constant);
      return false;
    }
    Ref object = holder(record, class_name == names().DiffCell ? Place::canvas : Place::object);
    return object &&
           PyObject_SetItem(object.get(), names().diff_status, names().*status->text) == 0;
  }

  // The stock `_cell_modified`: lists of text compare as difflib compares
  // them; anything else differs when the lists are unequal.
  bool modified(PyObject* diff_cell, bool& modified) override {
    Ref before = read(diff_cell, names().prev_source);
    Ref after = before ? read(diff_cell, names().source) : Ref{};
    if (!after) return false;
    if (known_difference(before.get(), after.get(), modified)) return true;
    int unequal = PyObject_RichCompareBool(before.get(), after.get(), Py_NE);
    modified = unequal > 0;
    return unequal >= 0;
  }
};

}  // namespace

Ref diff_plain(PyObject* prev, PyObject* current) {
  if (!require_dict(prev) || !require_dict(current)) return {};
  PlainRecords records;
  return diff_documents(records, prev, current);
}

}  // namespace diff
