#pragma once
// A scratch folder for the test that is running: unique to this process and this test, so that
// tests running side by side (ctest -j, or several build trees on one machine) never share files.
// The folder is created empty; the caller removes it when done.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

inline std::filesystem::path MakeTestScratchDir(const std::string& prefix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = prefix + "_" + std::to_string(::getpid());
    if (info != nullptr) {
        name += std::string("_") + info->test_suite_name() + "_" + info->name();
    }
    for (char& c : name) {
        if (c == '/') {
            c = '_'; // parameterised test names carry slashes
        }
    }
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}
