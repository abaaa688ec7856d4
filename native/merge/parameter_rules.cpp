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

}  // namespace merge
