// diff_dicts: the diff rules (diff_rules/) over the module's records, each
// reached through the module globals as Python code would reach it.
#include "diff_rules/diff_records.hpp"
#include "notebook_diff/records.hpp"

namespace diff {
namespace {

class ModuleRecords final : public DiffRecords {
 public:
  ModuleRecords(const ModuleState& state, PyObject* globals) : state_(state), globals_(globals) {}

  Ref cell(PyObject* cell) override {
    Ref callable = zuv::global(globals_, names().Cell);
    return callable ? zuv::call(callable.get(), cell) : Ref{};
  }
  Ref construct(PyObject* class_name, PyObject* data) override {
    return construct_record(globals_, class_name, data);
  }
  Ref read(PyObject* record, PyObject* member) override { return read_member(record, member); }
  bool write(PyObject* record, PyObject* member, PyObject* value) override {
    return write_member(record, member, value);
  }
  bool write_status(PyObject* record, PyObject* class_name, PyObject* constant) override {
    return diff::write_status(globals_, record, class_name, constant);
  }
  bool modified(PyObject* diff_cell, bool& modified) override {
    return call_cell_modified(state_, globals_, diff_cell, modified);
  }

 private:
  const ModuleState& state_;
  PyObject* globals_;
};

Ref diff_dicts_impl(const CallArgs& a) {
  ModuleRecords records(module_state(a), a.globals);
  return diff_documents(records, a[0], a[1]);
}

constexpr zuv::Param kParams[] = {{"prev", "Dict[str, Any]", zuv::Exact::dict},
                                  {"current", "Dict[str, Any]", zuv::Exact::dict}};
constexpr zuv::FunctionSpec kDiffDicts{"diff_dicts", "Ipython Notebook Diff Driver main", kParams,
                                       "Dict[str, Any]", diff_dicts_impl};

}  // namespace

bool add_diff_dicts(PyObject* module) { return zuv::add_function(module, kDiffDicts); }

}  // namespace diff
