#include "merge/parameter_rules.hpp"

#include <cstddef>
#include <iterator>

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
  static constexpr std::string_view kNames[] = {
#define ZUV_NAME(name) #name,
      ZUV_PARAMETER_OUTCOMES(ZUV_NAME)
#undef ZUV_NAME
  };
  const auto index = static_cast<std::size_t>(outcome);
  return index < std::size(kNames) ? kNames[index] : "?";
}

}  // namespace merge
