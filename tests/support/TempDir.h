// Temporary folders and environment overrides that undo themselves.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

// A private temporary folder for one test, removed with everything in it (read-only parts
// included). It is named `prefix`-XXXXXX, in `base` or else the system's temporary folder.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "korvex-test", const std::filesystem::path& base = {});
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return root; }
    std::string str() const { return root.string(); }

    // Writes an executable shell script named `name` and returns its path.
    std::string script(const std::string& name, const std::string& body) const;

private:
    std::filesystem::path root;
};

// Sets (or, with nullopt, unsets) an environment variable for the life of the object; the
// old value comes back afterwards.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    void set(const std::optional<std::string>& value);

private:
    std::string name;
    std::optional<std::string> previous;
};

// Writes `text` to `file`, creating its folder.
void writeFile(const std::filesystem::path& file, const std::string& text);
// The whole file, or "" when it cannot be read.
std::string readFile(const std::filesystem::path& file);
