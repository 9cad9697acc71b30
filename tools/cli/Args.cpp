#include "Args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

std::string ParsedArgs::value(const std::string& name, const std::string& fallback) const {
    auto it = values.find(name);
    if (it == values.end() || it->second.empty())
        return fallback;
    return it->second.back();
}

std::vector<std::string> ParsedArgs::all(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? std::vector<std::string>{} : it->second;
}

bool parseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs,
               ParsedArgs& out, std::string& error) {
    auto findSpec = [&](const std::string& name) -> const OptionSpec* {
        for (const auto& s : specs)
            if (s.name == name)
                return &s;
        return nullptr;
    };
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-h")) {
            if (!optionsEnded && arg.size() >= 2 && arg[0] == '-' && !parseDouble(arg)) {
                error = "unknown option " + arg;
                return false;
            }
            out.positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg == "-h" ? "help" : arg.substr(2);
        std::optional<std::string> inlineValue;
        if (auto eq = name.find('='); eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        const OptionSpec* spec = findSpec(name);
        if (!spec) {
            error = "unknown option --" + name;
            return false;
        }
        if (out.has(name) && !spec->repeatable) {
            error = "option --" + name + " given twice";
            return false;
        }
        if (!spec->takesValue) {
            if (inlineValue) {
                error = "option --" + name + " takes no value";
                return false;
            }
            out.set(name, "");
            continue;
        }
        if (inlineValue) {
            out.set(name, *inlineValue);
        } else if (i + 1 < args.size()) {
            out.set(name, args[++i]);
        } else {
            error = "option --" + name + " needs a value";
            return false;
        }
    }
    return true;
}

std::optional<int> parseInt(const std::string& text) {
    if (text.empty() || text.size() > 12)
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || end != text.c_str() + text.size() || v < -2147483647L || v > 2147483647L)
        return std::nullopt;
    return static_cast<int>(v);
}

std::optional<double> parseDouble(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

bool parseRemoteConfig(const std::string& text, int& remote, int& config, std::string& error) {
    auto eq = text.find('=');
    if (eq == std::string::npos) {
        error = "expected R=C (remote 1 or 2, configuration number), got '" + text + "'";
        return false;
    }
    auto r = parseInt(text.substr(0, eq));
    auto c = parseInt(text.substr(eq + 1));
    if (!r || (*r != 1 && *r != 2)) {
        error = "remote must be 1 or 2 in '" + text + "'";
        return false;
    }
    if (!c || *c < 0 || *c > 255) {
        error = "configuration must be a number from 0 to 255 in '" + text + "'";
        return false;
    }
    remote = *r;
    config = *c;
    return true;
}

std::optional<std::vector<double>> parseNumberList(const std::string& text) {
    std::vector<double> numbers;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        auto v = parseDouble(item);
        if (!v)
            return std::nullopt;
        numbers.push_back(*v);
    }
    if (numbers.empty() || (!text.empty() && text.back() == ','))
        return std::nullopt;
    return numbers;
}
