#pragma once
// The graphics engine's error record in words for the tools' messages: what went wrong, from the
// core's common codes, its own codes and the reporting plugin, and what the tool's context adds
// about the file it read or wrote ("no such file", "not a PNG image", "truncated: the data ends at
// byte 1234"). A record no table knows keeps its numbers, so nothing is lost.

#include <string>

#include "graphics/core/error.h"

// What a tool knows of the call that failed.
struct EngineErrorContext {
    std::string file;     // the file the call read or wrote; empty when it had none
    bool writing = false; // the call wrote the file (read it otherwise)
    std::string what;     // what the file holds, e.g. "texture dictionary"; from a .png or .bmp
                          // name "PNG image" and "BMP image" when empty
};

// The record in words, without the file's name (the tool's message names it).
std::string EngineErrorWords(const OvError& error, const EngineErrorContext& context = {});

// The engine's held record (taken, and so cleared, with OvErrorGet) in words.
std::string HeldEngineErrorWords(const EngineErrorContext& context = {});
