#pragma once
// Runs a command-line tool for an end-to-end test and takes what it prints.

#include <sys/wait.h>

#include <cstdio>
#include <string>

struct ToolRun {
    int status;         // exit status, -1 when the tool did not exit normally
    std::string output; // standard output and standard error together
};

inline ToolRun RunTool(const std::string& program, const std::string& arguments) {
    const std::string command = program + " " + arguments + " 2>&1";
    ToolRun run = {-1, {}};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[256];
    while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        run.output += buffer;
    }
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}
