// Small file helpers for tests that work on real files under Wine.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

inline bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// A drive letter that is not mapped, so that nothing can be created on it.
inline char UnmappedDrive() {
    DWORD mapped = GetLogicalDrives();
    for (char letter = 'Y'; letter > 'C'; --letter) {
        if ((mapped & (1u << (letter - 'A'))) == 0) {
            return letter;
        }
    }
    return 0;
}
