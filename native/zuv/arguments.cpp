#include "zuv/arguments.hpp"

#include <algorithm>

namespace zuv::cli {

std::optional<std::string> ParsedArguments::value(const char* option) const {
  auto found = options.find(option);
  if (found == options.end()) return std::nullopt;
  return found->second;
}

std::optional<ParsedArguments> parse_arguments(const std::vector<std::string>& args,
                                               std::initializer_list<OptionSpec> specs,
                                               std::string& error) {
  ParsedArguments parsed;
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // A lone "-" names standard input or output: a positional argument.
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      parsed.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    size_t equals = arg.find('=');
    std::string name = arg.substr(0, equals);
    auto spec = std::find_if(specs.begin(), specs.end(),
                             [&](const OptionSpec& s) { return name == s.name; });
    if (spec == specs.end()) {
      error = "unrecognised option " + name;
      return std::nullopt;
    }
    std::string value;
    if (spec->takes_value) {
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        error = "option " + name + " needs a value";
        return std::nullopt;
      }
    } else if (equals != std::string::npos) {
      error = "option " + name + " takes no value";
      return std::nullopt;
    }
    parsed.options[name] = value;
    parsed.order.push_back(name);
  }
  return parsed;
}

}  // namespace zuv::cli
