#include "tools/engine_error/file_words.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

std::string FileReadProblem(const std::string& file, long long* size) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? "no such file"
                                                   : std::string("cannot open it: ") + std::strerror(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return "a folder, not a file";
    }
    if (access(file.c_str(), R_OK) != 0) {
        return std::string("cannot open it: ") + std::strerror(errno);
    }
    if (st.st_size == 0) {
        return "the file is empty";
    }
    if (size != nullptr) {
        *size = static_cast<long long>(st.st_size);
    }
    return "";
}

std::string FileWriteProblem(const std::string& file) {
    const std::filesystem::path path(file);
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return "a folder, not a file";
    }
    const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    if (!std::filesystem::is_directory(parent, ec)) {
        return "no such folder " + parent.string();
    }
    if (access(parent.c_str(), W_OK) != 0) {
        return "cannot create a file in " + parent.string() + ": " + std::strerror(errno);
    }
    if (access(file.c_str(), F_OK) == 0 && access(file.c_str(), W_OK) != 0) {
        return std::string("cannot write it: ") + std::strerror(errno);
    }
    return "";
}

std::string FileWriteFailure(const std::string& file) {
    const std::string problem = FileWriteProblem(file);
    return problem.empty() ? "the write failed" : problem;
}
