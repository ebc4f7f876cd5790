#pragma once
// Why a tool could not read or write a file, in words a user can act on: what the file system
// shows about the path ("no such file", "no such folder out", "a folder, not a file", ...).

#include <string>

// Why the file cannot be read: no such file, a folder, not readable, or empty. Empty when none of
// these holds; then *size (when given) is the file's size in bytes.
std::string FileReadProblem(const std::string& file, long long* size = nullptr);

// Why a file cannot be written at the path: a folder there, no such folder, a folder or file
// without write permission. Empty when nothing is visibly in the way.
std::string FileWriteProblem(const std::string& file);

// The words for a write that failed: FileWriteProblem, or "the write failed" when nothing shows.
std::string FileWriteFailure(const std::string& file);
