// navgen: runs the AI engine's graph generator on a procedural level, headless, and writes the graphs and
// graph data it produces with a description of the level.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "tools/navgen/generator_run.h"
#include "tools/navgen/levels.h"
#include "tools/engine_error/file_words.h"

namespace {

void PrintUsage(FILE* out) {
    std::fprintf(out, "usage: navgen --level NAME --seed S --out DIR [--first-step STEP] [--radius R] [--sectors N]\n"
                      "\n"
                      "Builds a 30 x 30 m procedural level, lets the engine's graph generator explore it with one\n"
                      "walking entity (1.8 m tall, 0.6 m wide, 4 m/s) at 30 frames per simulated second, and writes\n"
                      "into DIR (created when missing):\n"
                      "  dense.graph         the explored vertices (spatial graph file, see tools/README.md)\n"
                      "  dense_edges.graph   the same with the edges between neighbours\n"
                      "  final.graph         the collapsed graph whose edges were walked\n"
                      "  final.fnd, final.astar, final.pcost, final.aw   its nearest-vertex, route, route-cost and\n"
                      "                      access-way data\n"
                      "  level.txt           one line 'box MINX MINY MINZ MAXX MAXY MAXZ' per solid box (m, y up)\n"
                      "Prints one line per phase (phase N: sim=..s wall=..s frames=.. queries=..) and the summary\n"
                      "  V=<vertices> E=<edges> sim=<simulated s> wall=<wall-clock s> queries=<engine queries>\n"
                      "\n"
                      "  --level NAME       open_room, two_rooms (a wall with a 2 m gap), pit (6 x 6 m, 10 m deep)\n"
                      "                     or maze (5 x 5 cells of 6 m, random from the seed)\n"
                      "  --seed S           seed of the random level (an integer; only the maze uses it)\n"
                      "  --out DIR          output folder\n"
                      "  --first-step STEP  DENSE_GRAPH (default), SIMPLIFY_EDGES (starts from DIR/dense_edges.graph)\n"
                      "                     or ADDITIONAL_DATA (builds the data of DIR/final.graph)\n"
                      "  --radius R         average exploration radius in metres (default 2.5; 0.5 to 10)\n"
                      "  --sectors N        directions tried around each vertex (default 36; 3 to 36)\n"
                      "  --help             shows this text\n"
                      "\n"
                      "Exit status: 0 when the generator finished, 1 when the output folder cannot be made or\n"
                      "written, 2 on bad arguments, 3 when the generator did not finish, built an empty graph or\n"
                      "could not read the saved graph its first step starts from.\n");
}

bool ParseUnsigned(const char* text, unsigned long* seed) {
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value > 0xffffffffUL)
        return false;
    *seed = value;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::string level, out, firstStep;
    const char* seedText = nullptr;
    const char* radiusText = nullptr;
    const char* sectorsText = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        }
        const bool known = std::strcmp(option, "--level") == 0 || std::strcmp(option, "--seed") == 0 ||
                           std::strcmp(option, "--out") == 0 || std::strcmp(option, "--first-step") == 0 ||
                           std::strcmp(option, "--radius") == 0 || std::strcmp(option, "--sectors") == 0;
        if (!known) {
            std::fprintf(stderr, "navgen: unknown argument %s (see navgen --help)\n", option);
            return 2;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "navgen: %s needs a value\n", option);
            return 2;
        }
        const char* value = argv[++i];
        if (std::strcmp(option, "--level") == 0)
            level = value;
        else if (std::strcmp(option, "--seed") == 0)
            seedText = value;
        else if (std::strcmp(option, "--out") == 0)
            out = value;
        else if (std::strcmp(option, "--radius") == 0)
            radiusText = value;
        else if (std::strcmp(option, "--sectors") == 0)
            sectorsText = value;
        else
            firstStep = value;
    }
    if (level.empty() || seedText == nullptr || out.empty()) {
        std::fprintf(stderr, "navgen: --level, --seed and --out are required (see navgen --help)\n");
        return 2;
    }
    unsigned long seed = 0;
    if (!ParseUnsigned(seedText, &seed)) {
        std::fprintf(stderr, "navgen: --seed %s is not an integer from 0 to 4294967295\n", seedText);
        return 2;
    }
    if (!firstStep.empty() && firstStep != "DENSE_GRAPH" && firstStep != "SIMPLIFY_EDGES" &&
        firstStep != "ADDITIONAL_DATA") {
        std::fprintf(stderr, "navgen: --first-step %s is not DENSE_GRAPH, SIMPLIFY_EDGES or ADDITIONAL_DATA\n",
                     firstStep.c_str());
        return 2;
    }
    navgen::GenerationOptions options;
    if (radiusText != nullptr) {
        char* end = nullptr;
        double radius = std::strtod(radiusText, &end);
        if (end == radiusText || *end != '\0' || !(radius >= 0.5 && radius <= 10.0)) {
            std::fprintf(stderr, "navgen: --radius %s is not a number of metres from 0.5 to 10\n", radiusText);
            return 2;
        }
        options.radiusAverage = static_cast<float>(radius);
    }
    if (sectorsText != nullptr) {
        unsigned long sectors = 0;
        if (!ParseUnsigned(sectorsText, &sectors) || sectors < 3 || sectors > 36) {
            std::fprintf(stderr, "navgen: --sectors %s is not an integer from 3 to 36\n", sectorsText);
            return 2;
        }
        options.sectors = static_cast<int>(sectors);
    }
    if (!navgen::MakeLevel(level, static_cast<std::uint32_t>(seed), &options.level)) {
        std::string names;
        for (const std::string& name : navgen::LevelNames())
            names += (names.empty() ? "" : ", ") + name;
        std::fprintf(stderr, "navgen: --level %s is not one of %s\n", level.c_str(), names.c_str());
        return 2;
    }
    const char* needed = firstStep == "SIMPLIFY_EDGES"    ? navgen::OutputFiles::kDenseWithEdges
                         : firstStep == "ADDITIONAL_DATA" ? navgen::OutputFiles::kFinal
                                                          : nullptr;
    if (needed != nullptr && !std::filesystem::exists(out + "/" + needed)) {
        std::fprintf(stderr, "navgen: --first-step %s reads %s/%s, which does not exist\n", firstStep.c_str(),
                     out.c_str(), needed);
        return 2;
    }
    std::error_code error;
    std::filesystem::create_directories(out, error);
    if (error) {
        std::fprintf(stderr, "navgen: cannot create the folder %s: %s\n", out.c_str(), error.message().c_str());
        return 1;
    }
    options.outDir = out;
    options.firstStep = firstStep;
    const std::string levelFile = out + "/" + navgen::OutputFiles::kLevel;
    if (!navgen::WriteLevelText(levelFile, options.level)) {
        std::fprintf(stderr, "navgen: cannot write %s: %s\n", levelFile.c_str(), FileWriteFailure(levelFile).c_str());
        return 1;
    }
    navgen::GenerationResult result;
    bool done = navgen::RunGeneration(options, &result);
    for (const navgen::PhaseFigures& phase : result.phases) {
        std::printf("phase %d: sim=%.1fs wall=%.2fs frames=%ld queries=%ld\n", phase.phase, phase.simulated, phase.wall,
                    phase.frames, phase.queries);
    }
    if (!done) {
        std::fprintf(stderr, "navgen: %s\n", result.error.c_str());
        return 3;
    }
    const std::string finalFile = out + "/" + navgen::OutputFiles::kFinal;
    if (!std::filesystem::exists(finalFile)) {
        std::fprintf(stderr, "navgen: the generator could not write %s\n", finalFile.c_str());
        return 1;
    }
    std::printf("V=%zu E=%zu sim=%.1fs wall=%.2fs queries=%ld\n", result.vertices.size() / 3, result.edges.size() / 2,
                result.simulated, result.wall, result.queries);
    return 0;
}
