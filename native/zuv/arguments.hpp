// Command-line parsing for the `zuv` subcommands: long options with or
// without a value (`--name value` or `--name=value`), `--` ending options,
// everything else positional.
#pragma once

#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zuv::cli {

struct OptionSpec {
  const char* name;  // with its dashes, e.g. "--color"
  bool takes_value;
};

struct ParsedArguments {
  std::map<std::string, std::string> options;  // option -> value ("" for flags); last one wins
  std::vector<std::string> order;              // options in the order given
  std::vector<std::string> positional;

  bool has(const char* option) const { return options.count(option) != 0; }
  std::optional<std::string> value(const char* option) const;
};

// Parses `args`; on a bad command line returns nothing and sets `error`.
std::optional<ParsedArguments> parse_arguments(const std::vector<std::string>& args,
                                               std::initializer_list<OptionSpec> specs,
                                               std::string& error);

}  // namespace zuv::cli
