// korvex-cli: the command line read into a context, then the command run.
#include "Runner.h"

#include <algorithm>
#include <map>

namespace {

const std::vector<OptionSpec>& globalSpecs() {
    static const std::vector<OptionSpec> s = {
        {"simulate"},
        {"sim-arg", true, true},
        {"json"},
        {"timeout", true},
        {"remote-timeout", true},
        {"verbose"},
        {"quiet"},
        {"help"},
    };
    return s;
}

const std::map<std::string, std::vector<OptionSpec>>& commandSpecs() {
    static const std::map<std::string, std::vector<OptionSpec>> s = {
        {"state", {}},
        {"configure", {}},
        {"record",
         {{"config", true, true}, {"seconds", true}, {"export"}, {"prefix", true}, {"no-stack"}}},
        {"export",
         {{"remote", true}, {"sensor", true}, {"name", true}, {"prefix", true}, {"summary"}}},
        {"runs", {}},
        {"calibration", {{"remote-id", true}, {"sensor", true}, {"offset", true}, {"scale", true}}},
        {"tare",
         {{"remote", true},
          {"from", true},
          {"to", true},
          {"seconds", true},
          {"config", true},
          {"run", true},
          {"save"},
          {"export"},
          {"name", true}}},
        {"help", {}},
    };
    return s;
}

} // namespace

namespace cli {

int Runner::run() {
    const std::string& c = ctx.command;
    if (c == "state")
        return cmdState();
    if (c == "configure")
        return cmdConfigure();
    if (c == "record")
        return cmdRecord();
    if (c == "export")
        return cmdExport();
    if (c == "runs")
        return cmdRuns();
    if (c == "calibration")
        return cmdCalibration();
    if (c == "tare")
        return cmdTare();
    return usage("unknown command " + c);
}

} // namespace cli

int runCli(const std::vector<std::string>& argv, FILE* out, FILE* err,
           const std::atomic<bool>* interrupted) {
    CliContext ctx;
    ctx.out = out;
    ctx.err = err;
    ctx.interrupted = interrupted;

    // The command is the first word that is neither an option nor a global option's value.
    std::size_t commandAt = argv.size();
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a.rfind("-", 0) == 0) {
            std::string name = a.substr(a.find_first_not_of('-'));
            bool takesValue =
                name.find('=') == std::string::npos &&
                std::any_of(globalSpecs().begin(), globalSpecs().end(),
                            [&](const OptionSpec& s) { return s.takesValue && s.name == name; });
            if (takesValue)
                ++i;
            continue;
        }
        commandAt = i;
        break;
    }
    if (commandAt == argv.size()) {
        bool help = std::find(argv.begin(), argv.end(), "--help") != argv.end() ||
                    std::find(argv.begin(), argv.end(), "-h") != argv.end();
        std::fputs(mainHelp().c_str(), help ? out : err);
        return help ? ExitOk : ExitUsage;
    }
    ctx.command = argv[commandAt];
    auto specIt = commandSpecs().find(ctx.command);
    if (specIt == commandSpecs().end()) {
        std::fprintf(err, "korvex-cli: unknown command %s (see korvex-cli --help)\n",
                     ctx.command.c_str());
        return ExitUsage;
    }
    std::vector<OptionSpec> specs = globalSpecs();
    specs.insert(specs.end(), specIt->second.begin(), specIt->second.end());
    std::vector<std::string> rest(argv.begin(),
                                  argv.begin() + static_cast<std::ptrdiff_t>(commandAt));
    rest.insert(rest.end(), argv.begin() + static_cast<std::ptrdiff_t>(commandAt) + 1, argv.end());
    std::string error;
    if (!parseArgs(rest, specs, ctx.args, error)) {
        std::fprintf(err, "korvex-cli %s: %s (see korvex-cli %s --help)\n", ctx.command.c_str(),
                     error.c_str(), ctx.command.c_str());
        return ExitUsage;
    }
    if (ctx.command == "help") {
        if (ctx.args.positionals.empty()) {
            std::fputs(mainHelp().c_str(), out);
            return ExitOk;
        }
        std::string page = commandHelp(ctx.args.positionals[0]);
        if (page.empty()) {
            std::fprintf(err, "korvex-cli: no command %s\n", ctx.args.positionals[0].c_str());
            return ExitUsage;
        }
        std::fputs(page.c_str(), out);
        return ExitOk;
    }
    if (ctx.args.has("help")) {
        std::fputs(commandHelp(ctx.command).c_str(), out);
        return ExitOk;
    }
    ctx.json = ctx.args.has("json");
    ctx.verbose = ctx.args.has("verbose");
    ctx.quiet = ctx.args.has("quiet");
    for (auto [name, target] : {std::pair{"timeout", &ctx.dongleTimeout},
                                std::pair{"remote-timeout", &ctx.remoteTimeout}}) {
        if (!ctx.args.has(name))
            continue;
        auto v = parseDouble(ctx.args.value(name));
        if (!v || *v < 0 || *v > 3600) {
            std::fprintf(err, "korvex-cli: --%s takes a number of seconds\n", name);
            return ExitUsage;
        }
        *target = *v;
    }
    cli::Runner runner(ctx);
    int rc = runner.run();
    std::fflush(out);
    return rc;
}
