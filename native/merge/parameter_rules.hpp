// The merge of the notebook-level canvas parameters, name by name, as a
// table: what each version holds under one name decides what the merged
// notebook holds.  Pure data and a lookup; the merge applies the outcome.
#pragma once

#include <cstdint>
#include <span>

namespace merge {

// What one version holds under a parameter name, compared with the others.
enum class Held : std::uint8_t {
  absent = 1,
  present = 2,  // base's own object (the reference the others compare with)
  same_as_base = 4,
  changed = 8,           // current: differs from base; incoming: differs from base and current
  same_as_current = 16,  // incoming only: differs from base, equals current
};
constexpr std::uint8_t only(Held a) { return static_cast<std::uint8_t>(a); }
constexpr std::uint8_t either(Held a, Held b) {
  return static_cast<std::uint8_t>(only(a) | only(b));
}

enum class ParameterOutcome {
  keep_current,             // the current object stays where it is (or stays absent)
  take_incoming,            // the incoming object, at the current object's place
  take_incoming_at_end,     // the incoming object, appended
  drop,                     // the name leaves the merged parameters
  stay_absent,              // deleted by current and not changed by incoming
  keep_both_marked,         // "<<< X" (current's) and ">>> X" (incoming's), X removed
  keep_current_marked,      // "<<< X" (current's), X removed
  restore_incoming_marked,  // ">>> X" (incoming's)
};

struct ParameterRow {
  Held base;
  Held current;
  std::uint8_t incoming;  // a set of Held values
  ParameterOutcome outcome;
};

// base, current, incoming -> merged entries.
inline constexpr ParameterRow kParameterRules[] = {
    {Held::present, Held::same_as_base, only(Held::same_as_base), ParameterOutcome::keep_current},
    {Held::present, Held::same_as_base, only(Held::changed), ParameterOutcome::take_incoming},
    {Held::present, Held::same_as_base, only(Held::absent), ParameterOutcome::drop},
    {Held::present, Held::changed, only(Held::same_as_base), ParameterOutcome::keep_current},
    {Held::present, Held::changed, only(Held::same_as_current), ParameterOutcome::keep_current},
    {Held::present, Held::changed, only(Held::changed), ParameterOutcome::keep_both_marked},
    {Held::present, Held::changed, only(Held::absent), ParameterOutcome::keep_current_marked},
    {Held::present, Held::absent, either(Held::same_as_base, Held::absent),
     ParameterOutcome::stay_absent},
    {Held::present, Held::absent, only(Held::changed), ParameterOutcome::restore_incoming_marked},
    {Held::absent, Held::present, only(Held::absent), ParameterOutcome::keep_current},
    {Held::absent, Held::present, only(Held::same_as_current), ParameterOutcome::keep_current},
    {Held::absent, Held::present, only(Held::changed), ParameterOutcome::keep_both_marked},
    {Held::absent, Held::absent, only(Held::present), ParameterOutcome::take_incoming_at_end},
};

// The outcome of the first row that matches; keep_current when none does
// (a name no version holds).
ParameterOutcome decide_parameter(Held base, Held current, Held incoming,
                                  std::span<const ParameterRow> rules = kParameterRules);

}  // namespace merge
