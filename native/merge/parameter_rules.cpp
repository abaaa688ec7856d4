#include "merge/parameter_rules.hpp"

namespace merge {

ParameterOutcome decide_parameter(Held base, Held current, Held incoming,
                                  std::span<const ParameterRow> rules) {
  for (const ParameterRow& row : rules)
    if (row.base == base && row.current == current &&
        (row.incoming & static_cast<std::uint8_t>(incoming)))
      return row.outcome;
  return ParameterOutcome::keep_current;
}

std::string_view parameter_outcome_name(ParameterOutcome outcome) {
  switch (outcome) {
    case ParameterOutcome::keep_current:
      return "keep_current";
    case ParameterOutcome::take_incoming:
      return "take_incoming";
    case ParameterOutcome::take_incoming_at_end:
      return "take_incoming_at_end";
    case ParameterOutcome::drop:
      return "drop";
    case ParameterOutcome::stay_absent:
      return "stay_absent";
    case ParameterOutcome::keep_both_marked:
      return "keep_both_marked";
    case ParameterOutcome::keep_current_marked:
      return "keep_current_marked";
    case ParameterOutcome::restore_incoming_marked:
      return "restore_incoming_marked";
  }
  return "?";
}

}  // namespace merge
