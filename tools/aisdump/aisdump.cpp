// aisdump: prints an AI world file (".AIS") as text, one line per node, and with --extract
// writes each raw data block to a file that the text names, so that aispack can rebuild the
// file byte for byte.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/ais_format/ais_format.h"

namespace {

const char kUsage[] = "usage: aisdump FILE.AIS [--extract DIR]\n"
                      "\n"
                      "Prints the node tree of an AI world file as text on standard output: one line per node,\n"
                      "indented by two spaces per level:\n"
                      "  node label=\"...\" name=\"...\"        a node with children\n"
                      "  leaf name=\"...\" value=\"...\"        a key and its value\n"
                      "  raw size=N block=K [file=\"...\"]    a RawData node: its block's size and number\n"
                      "\n"
                      "--extract DIR  also writes raw block K to DIR/block-K.bin (K with at least four digits,\n"
                      "               DIR created when missing) and names that file in the text; save the text\n"
                      "               in DIR, then aispack DIR/tree.txt OUT.AIS rebuilds the file byte for byte:\n"
                      "                 mkdir -p d && aisdump a.AIS --extract d > d/tree.txt\n"
                      "                 aispack d/tree.txt b.AIS\n"
                      "\n"
                      "Only files in the canonical form that aispack writes are accepted; otherwise the offset of\n"
                      "the first deviation is reported and the exit status is 1. A bad command line exits with\n"
                      "status 2.\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "aisdump: %s\n", message.c_str());
    return 1;
}

int BadUsage(const std::string& message) {
    std::fprintf(stderr, "aisdump: %s (aisdump --help tells the usage)\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string input;
    std::string extract;
    bool extracting = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--extract") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return BadUsage("--extract needs a folder");
            if (extracting)
                return BadUsage("--extract given twice");
            extract = argv[++i];
            extracting = true;
        } else if (arg.empty() || arg[0] == '-') {
            return BadUsage("unknown option '" + arg + "'");
        } else if (!input.empty()) {
            return BadUsage("one file at a time: '" + input + "' and '" + arg + "'");
        } else {
            input = arg;
        }
    }
    if (input.empty())
        return BadUsage("no FILE.AIS given");

    std::string error;
    std::vector<std::uint8_t> bytes;
    AisFormat::Document doc;
    if (!AisFormat::ReadWholeFile(input, bytes, error) || !AisFormat::Decode(bytes.data(), bytes.size(), doc, error)) {
        return Fail(input + ": " + error);
    }
    if (extracting) {
        std::error_code code;
        std::filesystem::create_directories(extract, code);
        if (code)
            return Fail("cannot create " + extract + ": " + code.message());
        for (AisFormat::Node* raw : AisFormat::RawDataNodes(doc.root)) {
            char name[32];
            std::snprintf(name, sizeof(name), "block-%04u.bin", raw->block);
            raw->file = name;
            if (!AisFormat::WriteWholeFile((std::filesystem::path(extract) / name).string(), doc.blocks[raw->block],
                                           error)) {
                return Fail(error);
            }
        }
    }
    std::string text = AisFormat::FormatText(doc.root);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        return Fail("cannot write the text");
    }
    return 0;
}
