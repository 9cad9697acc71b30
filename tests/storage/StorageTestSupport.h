// Helpers shared by the storage tests: a real temporary folder, an environment override
// that is undone afterwards, and a listener that records what it is told.
#pragma once

#include "device/base/IKorvexListener.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "korvex-storage-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()))
            root = name.data();
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::filesystem::path path() const { return root; }
    std::string str() const { return root.string(); }

private:
    std::filesystem::path root;
};

// Sets (or unsets, with nullopt) an environment variable for the life of the object.
class EnvOverride {
public:
    EnvOverride(const char* name, std::optional<std::string> value) : name(name) {
        if (const char* old = std::getenv(name))
            previous = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~EnvOverride() {
        if (previous)
            setenv(name, previous->c_str(), 1);
        else
            unsetenv(name);
    }
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    const char* name;
    std::optional<std::string> previous;
};

class RecordingListener : public IKorvexListener {
public:
    void log(std::string line) override {
        std::lock_guard lock(mutex);
        logs.push_back(std::move(line));
    }
    bool error(int code, std::string detail) override {
        std::lock_guard lock(mutex);
        errors.emplace_back(code, std::move(detail));
        return false;
    }
    void warning(int, std::string) override {}
    void donglePluggedIn() override {}
    void dongleNotPluggedIn() override {}
    void replyReceived(int, int, int) override {}
    void hardwareStateChanged() override {}
    void acquisitionStackChanged() override {}
    void findRemoteResult(int) override {}
    void sensorRecalibrated(int, int) override {}
    void sendEvent(std::string, std::string) override {}

    std::vector<int> errorCodes() const {
        std::lock_guard lock(mutex);
        std::vector<int> codes;
        for (const auto& entry : errors)
            codes.push_back(entry.first);
        return codes;
    }
    std::vector<std::string> logLines() const {
        std::lock_guard lock(mutex);
        return logs;
    }
    bool logged(const std::string& text) const {
        std::lock_guard lock(mutex);
        for (const auto& line : logs)
            if (line == text)
                return true;
        return false;
    }
    void reset() {
        std::lock_guard lock(mutex);
        logs.clear();
        errors.clear();
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> logs;
    std::vector<std::pair<int, std::string>> errors;
};

inline std::vector<uint8_t> fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
