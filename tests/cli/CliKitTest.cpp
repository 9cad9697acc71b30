// korvex-cli as a user runs it, against the simulated kit: a recording of two remotes
// whose CSV files agree with the measured rates and with the simulator's own record of
// what it sent, the reload of the stored run, and the exit codes of the common faults.
// Every test has its own documents folder and port registry.
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

struct CliResult {
    int code = -1;
    std::string out, err;
    double seconds = 0;
};

class CliKit : public ::testing::Test {
protected:
    TempDir folder;
    fs::path dir = folder.path(), docs = dir / "documents", runtime = dir / "runtime";
    // The program inherits these.
    ScopedEnv documentsDir{"KORVEX_DOCUMENTS_DIR", docs.string()};
    ScopedEnv runtimeDir{"KORVEX_RUNTIME_DIR", runtime.string()};
    ScopedEnv port{"KORVEX_PORT", std::nullopt};

    void SetUp() override {
        const char* bin = std::getenv("KORVEX_BUILD_BIN");
        ASSERT_TRUE(bin) << "KORVEX_BUILD_BIN is not set";
        program = fs::path(bin) / "korvex-cli";
        ASSERT_TRUE(fs::exists(program)) << program;
        fs::create_directories(docs);
        fs::create_directories(runtime);
    }

    // Runs korvex-cli with the test's folders; killed after `timeout` seconds.
    // `interruptAfter` > 0: a Ctrl-C to the program's process group, as a terminal sends
    // it, that many seconds after the first progress line.
    CliResult cli(const std::vector<std::string>& args, double timeout = 25, double interruptAfter = 0) {
        fs::path outPath = dir / "stdout", errPath = dir / "stderr";
        auto started = std::chrono::steady_clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr))
                _exit(126);
            std::vector<std::string> argv = {program.string()};
            argv.insert(argv.end(), args.begin(), args.end());
            std::vector<char*> c;
            for (auto& a : argv)
                c.push_back(a.data());
            c.push_back(nullptr);
            execv(program.c_str(), c.data());
            _exit(127);
        }
        CliResult r;
        int status = 0;
        bool interruptSent = false;
        std::optional<std::chrono::steady_clock::time_point> recordingSeen;
        bool ended = waitFor(std::chrono::milliseconds(long(timeout * 1000)), [&] {
            if (interruptAfter > 0 && !interruptSent) {
                if (!recordingSeen && readFile(errPath).find("recording") != std::string::npos)
                    recordingSeen = std::chrono::steady_clock::now();
                if (recordingSeen &&
                    std::chrono::steady_clock::now() - *recordingSeen > std::chrono::duration<double>(interruptAfter)) {
                    kill(-pid, SIGINT);
                    interruptSent = true;
                }
            }
            return waitpid(pid, &status, WNOHANG) == pid;
        });
        if (!ended) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "korvex-cli did not end within " << timeout << " s";
        }
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = readFile(outPath);
        r.err = readFile(errPath);
        return r;
    }

    json parse(const CliResult& r) {
        try {
            return json::parse(r.out);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "not JSON: " << e.what() << "\n" << r.out << "\nstderr:\n" << r.err;
            return json::object();
        }
    }

    fs::path program;
};

std::vector<std::vector<std::string>> readCsv(const fs::path& path) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::stringstream s(line);
        for (std::string f; std::getline(s, f, ',');)
            fields.push_back(f);
        rows.push_back(fields);
    }
    return rows;
}

// What the simulator sent, per (remote, sensor type): frame counter, index in the block
// and the values a host decoding with default constants obtains.
struct TruthSample {
    int counter, index;
    std::vector<double> values;
};
using Truth = std::map<std::pair<int, int>, std::vector<TruthSample>>;

Truth readTruth(const fs::path& path) {
    Truth truth;
    std::ifstream in(path);
    bool sent = false;
    for (std::string line; std::getline(in, line);) {
        std::stringstream s(line);
        std::string kind;
        s >> kind;
        if (kind == "frame") {
            std::string tick, remote, counter, config, index, status;
            s >> tick >> remote >> counter >> config >> index >> status;
            sent = status == "sent";
        } else if (kind == "sample" && sent) {
            int remote, counter, type, index;
            long long number;
            s >> remote >> counter >> type >> index >> number;
            TruthSample t{counter, index, {}};
            for (double v; s >> v;)
                t.values.push_back(v);
            truth[{remote, type}].push_back(t);
        }
    }
    return truth;
}

// Nominal rates of configuration 3 on remote 1 and 4 on remote 2.
const std::map<std::pair<int, int>, double> nominal = {
    {{1, 1}, 100}, {{1, 2}, 80}, {{1, 3}, 95}, {{1, 12}, 100}, {{2, 1}, 200}, {{2, 8}, 200}, {{2, 9}, 100},
};

} // namespace

TEST_F(CliKit, ThreeSecondsOfTwoRemotesGiveCsvFilesThatMatchRatesAndTheSimulatorsTruth) {
    fs::path truthPath = dir / "truth.txt";
    CliResult r = cli({"--simulate", "--quiet", "--json", "--sim-arg=--truth", "--sim-arg=" + truthPath.string(),
                       "record", "--config", "1=3", "--config", "2=4", "--seconds", "3", "--export"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    json report = parse(r);
    const double recorded = report["seconds"].get<double>();
    EXPECT_NEAR(recorded, 3.0, 0.5);
    EXPECT_TRUE(report["stacked"].get<bool>());
    ASSERT_EQ(report["sensors"].size(), nominal.size()) << r.out;

    Truth truth = readTruth(truthPath);
    for (const auto& sensor : report["sensors"]) {
        const int remote = sensor["remote"], type = sensor["sensorType"];
        SCOPED_TRACE("remote " + std::to_string(remote) + " sensor " + std::to_string(type));
        const double rate = nominal.at({remote, type});
        const double measured = sensor["measuredRate"];
        const std::size_t samples = sensor["samples"];
        ASSERT_TRUE(sensor.contains("csv"));
        auto rows = readCsv(sensor["csv"].get<std::string>());
        ASSERT_GE(rows.size(), 2u);
        EXPECT_EQ(rows.size() - 1, samples); // a header, then one line per sample

        // The measured rate is the kit's pace, and the lines are that rate times the time
        // covered (the last time stamp), which the recording's length bounds.
        EXPECT_NEAR(measured, rate, rate * 0.03);
        const double lastTime = std::stod(rows.back()[3]);
        EXPECT_NEAR(static_cast<double>(samples), measured * lastTime, measured * lastTime * 0.01);
        EXPECT_LE(lastTime, recorded + 0.05);
        EXPECT_GE(lastTime, recorded - 0.4);

        // Values: the CSV rows follow the simulator's samples one to one from the first
        // accepted frame. The wheel's position and acceleration depend on where the
        // recording began, so its values are left to the decoding tests.
        const auto& sent = truth[{remote, type}];
        ASSERT_FALSE(sent.empty());
        if (type == 9)
            continue;
        const int firstFrame = std::stoi(rows[1][1]), firstIndex = std::stoi(rows[1][2]);
        std::size_t at = 0;
        while (at < sent.size() && !(sent[at].counter == firstFrame && sent[at].index == firstIndex))
            ++at;
        ASSERT_LT(at, sent.size()) << "first CSV sample not among the samples sent";
        ASSERT_LE(at + samples, sent.size());
        int mismatches = 0;
        for (std::size_t k = 0; k < samples && mismatches < 5; ++k) {
            const auto& row = rows[k + 1];
            const auto& t = sent[at + k];
            if (std::stoi(row[1]) != t.counter || std::stoi(row[2]) != t.index) {
                ADD_FAILURE() << "line " << k << ": frame " << row[1] << "/" << row[2] << " but sent " << t.counter
                              << "/" << t.index;
                ++mismatches;
                continue;
            }
            for (std::size_t axis = 0; axis * 2 + 5 < row.size() && axis < t.values.size(); ++axis) {
                const double cal = std::stod(row[5 + axis * 2]);
                if (std::abs(cal - t.values[axis]) > 1e-4 * std::max(1.0, std::abs(t.values[axis]))) {
                    ADD_FAILURE() << "line " << k << " axis " << axis << ": " << cal << " but sent " << t.values[axis];
                    ++mismatches;
                }
            }
        }
    }
}

TEST_F(CliKit, ExportOfTheReloadedRunGivesTheSameCsvFiles) {
    CliResult rec = cli({"--simulate", "--quiet", "--json", "record", "--config", "1=3", "--config", "2=4", "--seconds",
                         "2", "--export"});
    ASSERT_EQ(rec.code, 0) << rec.out << rec.err;
    json recorded = parse(rec);
    const std::string id = recorded["run"];

    CliResult list = cli({"--json", "runs"});
    ASSERT_EQ(list.code, 0) << list.err;
    json runs = parse(list)["runs"];
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["acquisitionID"], id);

    CliResult exp = cli({"--json", "export", id, "--prefix", "again"});
    ASSERT_EQ(exp.code, 0) << exp.out << exp.err;
    json exported = parse(exp);
    ASSERT_EQ(exported["files"].size(), recorded["sensors"].size());
    std::map<std::pair<int, int>, std::string> again;
    for (const auto& f : exported["files"])
        again[{f["remote"].get<int>(), f["sensorType"].get<int>()}] = f["csv"];
    for (const auto& s : recorded["sensors"]) {
        std::pair<int, int> key{s["remote"].get<int>(), s["sensorType"].get<int>()};
        ASSERT_TRUE(again.count(key));
        EXPECT_EQ(fs::path(again[key]).filename().string(),
                  "again_" + std::to_string(key.first) + "_" + std::to_string(key.second) + ".csv");
        EXPECT_EQ(readFile(again[key]), readFile(s["csv"].get<std::string>())) << again[key];
    }

    // One sensor under a chosen name, from "last".
    CliResult one = cli({"export", "last", "--remote", "2", "--sensor", "8", "--name", "force"});
    ASSERT_EQ(one.code, 0) << one.err;
    fs::path named = docs / "Korvex-WorkFiles" / "export" / "force.csv";
    for (const auto& s : recorded["sensors"]) {
        if (s["remote"] == 2 && s["sensorType"] == 8) {
            EXPECT_EQ(readFile(named), readFile(s["csv"].get<std::string>()));
        }
    }

    // A run that does not exist is an error, not an empty export.
    EXPECT_EQ(cli({"export", "no-such-run"}).code, 1);
}

TEST_F(CliKit, NoDongleEndsWithItsExitCodeWithinTheTimeout) {
    // An empty private registry and no KORVEX_PORT: nothing to find.
    CliResult r = cli({"--json", "--timeout", "2", "state"}, 15);
    EXPECT_EQ(r.code, 3) << r.out << r.err;
    EXPECT_GE(r.seconds, 1.9);
    EXPECT_LT(r.seconds, 8.0);
    EXPECT_EQ(parse(r)["exitCode"], 3);
    EXPECT_NE(r.err.find("no dongle"), std::string::npos);

    CliResult rec = cli({"--timeout", "1", "record", "--config", "1=3", "--seconds", "1"}, 15);
    EXPECT_EQ(rec.code, 3);
    EXPECT_TRUE(fs::is_empty(runtime));
}

TEST_F(CliKit, CtrlCEndsARecordingCleanlyAndKeepsTheRun) {
    // The signal reaches the whole process group; the simulated kit runs in a group of its
    // own, so it stays until the run has been stopped and stacked.
    CliResult r = cli({"--simulate", "--json", "record", "--config", "1=2"}, 20, 1.0);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    json report = parse(r);
    EXPECT_FALSE(report["endedEarly"].get<bool>());
    EXPECT_TRUE(report["stacked"].get<bool>());
    ASSERT_EQ(report["sensors"].size(), 1u);
    EXPECT_GT(report["sensors"][0]["samples"].get<int>(), 100);
    json runs = parse(cli({"--json", "runs"}))["runs"];
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["acquisitionID"], report["run"]);
}

TEST_F(CliKit, MissingRemoteAndUnknownConfigurationHaveTheirOwnExitCodes) {
    CliResult missing = cli({"--simulate", "--sim-arg=--remotes", "--sim-arg=1", "--remote-timeout", "1", "record",
                             "--config", "2=3", "--seconds", "1"});
    EXPECT_EQ(missing.code, 4) << missing.err;
    EXPECT_NE(missing.err.find("remote 2 is not connected"), std::string::npos) << missing.err;

    CliResult refused = cli({"--simulate", "configure", "1", "11"});
    EXPECT_EQ(refused.code, 5) << refused.err;
    EXPECT_NE(refused.err.find("configuration 11"), std::string::npos) << refused.err;
}

TEST_F(CliKit, TareOfAStoredRunIsSavedAsTheRemotesForceCalibration) {
    CliResult rec = cli({"--simulate", "--quiet", "record", "--config", "2=4", "--seconds", "2"});
    ASSERT_EQ(rec.code, 0) << rec.err;
    // The simulated probe rests from 0.5 s to 2 s of every 2 s push cycle at some phase;
    // a window over the whole run still gives a finite tare and the scale in use.
    CliResult tare = cli({"--json", "tare", "--remote", "2", "--run", "last", "--save"});
    ASSERT_EQ(tare.code, 0) << tare.out << tare.err;
    json t = parse(tare);
    EXPECT_NEAR(t["scale"].get<double>(), -120.0, 0.01);
    EXPECT_EQ(t["after"]["samples"], t["before"]["samples"]);

    CliResult list = cli({"--json", "calibration", "list"});
    ASSERT_EQ(list.code, 0) << list.err;
    json records = parse(list)["calibrations"];
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["sensor"], 8);
    EXPECT_NEAR(records[0]["calOffset"].get<double>(), t["tareCounts"].get<double>(), 1e-6);

    const std::string id = std::to_string(records[0]["remoteID"].get<int>());
    EXPECT_EQ(cli({"calibration", "delete", "--remote-id", id, "--sensor", "8"}).code, 0);
    EXPECT_EQ(cli({"calibration", "delete", "--remote-id", id, "--sensor", "8"}).code, 1);
    EXPECT_EQ(parse(cli({"--json", "calibration"}))["calibrations"].size(), 0u);
}
