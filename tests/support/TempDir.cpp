#include "tests/support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix, const fs::path& base) {
    std::string pattern = ((base.empty() ? fs::temp_directory_path() : base) / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    root = pattern;
}

TempDir::~TempDir() {
    // Tests take permissions away to provoke failures; give them back so all can go.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root, ec);
}

std::string TempDir::script(const std::string& name, const std::string& body) const {
    fs::path file = root / name;
    writeFile(file, "#!/bin/sh\n" + body + "\n");
    ::chmod(file.c_str(), 0755);
    return file.string();
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name(std::move(name)) {
    if (const char* old = std::getenv(this->name.c_str()))
        previous = old;
    set(value);
}

ScopedEnv::~ScopedEnv() { set(previous); }

void ScopedEnv::set(const std::optional<std::string>& value) {
    if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
    else
        ::unsetenv(name.c_str());
}

void writeFile(const fs::path& file, const std::string& text) {
    std::error_code ec;
    if (file.has_parent_path())
        fs::create_directories(file.parent_path(), ec);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
