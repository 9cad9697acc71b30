// Helpers shared by the storage tests: whole files as bytes.
#pragma once

#include "tests/support/RecordingListener.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

inline std::vector<uint8_t> fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
