// Command-line parsing for korvex-cli: options before and after the subcommand, in the
// forms --name value and --name=value, with clear messages for anything malformed.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct OptionSpec {
    std::string name; // without the leading "--"
    bool takesValue = false;
    bool repeatable = false;
};

class ParsedArgs {
public:
    std::vector<std::string> positionals;

    bool has(const std::string& name) const { return values.count(name) > 0; }
    // The last value given, or `fallback`.
    std::string value(const std::string& name, const std::string& fallback = {}) const;
    std::vector<std::string> all(const std::string& name) const;
    void set(const std::string& name, const std::string& value) { values[name].push_back(value); }

private:
    std::map<std::string, std::vector<std::string>> values;
};

// Parses `args` (without the program name). Fails with `error` set for an unknown option,
// a missing value, a value given to a flag, or a repeated option that is not repeatable.
// A lone "--" ends the options.
bool parseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
               ParsedArgs& out, std::string& error);

// Strict number readers: the whole text must be the number.
std::optional<int> parseInt(const std::string& text);
std::optional<double> parseDouble(const std::string& text);

// "R=C" with R a remote (1 or 2) and C a configuration number 0..255.
bool parseRemoteConfig(const std::string& text, int& remote, int& config, std::string& error);

// A comma-separated list of numbers ("12.5" or "1,2,3").
std::optional<std::vector<double>> parseNumberList(const std::string& text);
