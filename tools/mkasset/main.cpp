// mkasset: the asset builder. Writes the files the engine reads (models, and the further kinds
// its subcommands add) from procedural descriptions.
//   mkasset COMMAND [ARGS...]     mkasset --help, mkasset COMMAND --help

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/mkasset/commands.h"
#include "tools/mkasset/stored_meshes.h"

namespace {

void Usage(std::FILE* out) {
    std::fprintf(out, "usage: mkasset COMMAND [ARGS...]\n"
                      "       mkasset COMMAND --help\n"
                      "commands:\n");
    for (const mkasset::Command* c = mkasset::kCommands; c->name != nullptr; ++c) {
        std::fprintf(out, "  %-10s %s\n", c->name, c->summary);
    }
    std::fprintf(out, "Every model (.dff) and level (.bsp) written carries the meshes the engine would build when\n"
                      "loading it (binary-mesh extension), checked to load back the same.\n"
                      "Exit status 0 on success, 1 when a file cannot be read or written, 2 on bad usage.\n");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return mkasset::kExitUsage;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        Usage(stdout);
        return mkasset::kExitOk;
    }
    for (const mkasset::Command* c = mkasset::kCommands; c->name != nullptr; ++c) {
        if (std::strcmp(argv[1], c->name) == 0) {
            for (int i = 2; i < argc; ++i) {
                if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
                    c->usage(stdout);
                    return mkasset::kExitOk;
                }
            }
            const int status = c->run(argc - 1, argv + 1);
            // The meshes go in once every file of the command is written, its textures too.
            std::string error;
            if (status == mkasset::kExitOk && !mkasset::StoreMeshesInFiles(mkasset::WrittenChunkFiles(), &error)) {
                return mkasset::Fail(c->name, mkasset::kExitFailed, error);
            }
            return status;
        }
    }
    std::fprintf(stderr, "mkasset: unknown command '%s'\n", argv[1]);
    Usage(stderr);
    return mkasset::kExitUsage;
}
