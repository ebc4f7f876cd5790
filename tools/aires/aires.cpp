// aires: writes a path-way or neural-net block of an AI world file from its text form, and prints
// such a block back as text.

#include <cstdio>
#include <string>
#include <vector>

#include "tools/ais_format/ais_format.h"
#include "tools/aires/resource_text.h"

namespace {

const char kUsage[] = "usage: aires write TEXT OUT.bin\n"
                      "       aires print BLOCK.bin\n"
                      "\n"
                      "write: makes a path-way or neural-net block (the RawData of a \"PathWay\" or \"NeuralNet\"\n"
                      "entry; aispack packs it into a world file) from TEXT:\n"
                      "  pathway name=\"Patrol\" flag=1     flag 1: the walker starts again after the last step\n"
                      "  walk 0 0 0                       a step: walk, run, jump or crouch, then x y z\n"
                      "  pause 2                          the step's command: pause S, rotate D, orient D\n"
                      "  command \"free text\"              ... or a free text of at most 63 bytes\n"
                      "  skip 7                           a record the engine ignores (type 5-10 or 15-255)\n"
                      "or\n"
                      "  neuralnet linear=0               linear=N (1-255): output layer without the activation\n"
                      "  layers 7 7                       neuron counts, input layer first\n"
                      "  weights 0 1 0 ...                per neuron of each later layer: bias, then one weight\n"
                      "                                   per neuron before; several weights lines append\n"
                      "Lines starting with # and empty lines are ignored.\n"
                      "print: writes the text form of a block to standard output (write of that text makes\n"
                      "the same bytes).\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "aires: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        args.push_back(arg);
    }
    const bool write = args.size() == 3 && args[0] == "write";
    const bool print = args.size() == 2 && args[0] == "print";
    if (!write && !print) {
        if (!args.empty() && args[0] != "write" && args[0] != "print")
            std::fprintf(stderr, "aires: unknown command '%s'\n", args[0].c_str());
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string error;
    std::vector<std::uint8_t> input;
    if (!AisFormat::ReadWholeFile(args[1], input, error))
        return Fail(error);
    if (write) {
        std::vector<std::uint8_t> block;
        if (!AiRes::ParseText(std::string(input.begin(), input.end()), block, error))
            return Fail(args[1] + ": " + error);
        if (!AisFormat::WriteWholeFile(args[2], block, error))
            return Fail(error);
        return 0;
    }
    std::string text;
    if (!AiRes::FormatBlock(input, text, error))
        return Fail(args[1] + ": " + error);
    std::fputs(text.c_str(), stdout);
    return 0;
}
