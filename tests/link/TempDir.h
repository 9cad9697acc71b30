// A private temporary folder for one test, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "korvex-link-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            path = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes an executable shell script named `name` and returns its path.
    std::string script(const std::string& name, const std::string& body) const
    {
        auto file = path / name;
        {
            std::ofstream out(file);
            out << "#!/bin/sh\n" << body << "\n";
        }
        ::chmod(file.c_str(), 0755);
        return file.string();
    }

    std::filesystem::path path;
};

// Sets an environment variable for the life of the object, restoring the old value after.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string& value) : name(std::move(name))
    {
        if (const char* old = std::getenv(this->name.c_str())) {
            hadOld = true;
            oldValue = old;
        }
        ::setenv(this->name.c_str(), value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (hadOld)
            ::setenv(name.c_str(), oldValue.c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    void set(const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

private:
    std::string name;
    bool hadOld = false;
    std::string oldValue;
};
