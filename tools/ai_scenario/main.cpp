// ai_scenario: runs AI scenarios headless on the fake host and reports where the bots ended.
//
//   ai_scenario SCENARIO [--bots N] [--seconds T] [--seed S] [--csv FILE] [--plot FILE.png] [--timing]

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ai/runtime/engine.h"
#include "platform/crt.h"
#include "testing/fake_ai_host.h"
#include "tools/ai_scenario/agent_scenarios.h"
#include "tools/engine_error/file_words.h"

namespace {

constexpr int kMaxBots = 200;
constexpr double kMaxSeconds = 3600.0;

void PrintHelp() {
    std::printf("usage: ai_scenario SCENARIO [options]\n"
                "\n"
                "Runs an AI scenario headless on a 30 x 30 m floor with boxes and a navigation graph (a vertex\n"
                "every metre), at a fixed step of 0.05 s. Prints one line per bot, then a last line a script\n"
                "can read.\n"
                "\n"
                "scenarios:\n"
                "  hide    one threat in the middle; the bots look for cover (at most 2000\n"
                "          visibility checks a frame over all of them)                -> hidden K/N\n"
                "  follow  a leader walks a closed route; the bots keep their distance\n"
                "          and angle from it (K: within 1.5 times their distance)      -> following K/N\n"
                "  wander  the bots walk from random vertex to random vertex          -> visited V/TOTAL\n"
                "  goto    the host hands each bot places at random times             -> arrived K/N\n"
                "  flee    two threats walk through the bots' area; K: bots farther than 5 m from every\n"
                "          threat or out of its sight, C: bots ever within 1 m of one  -> safe K/N caught C\n"
                "  shoot   two teams of shooters (needs 2 bots or more), each with a named target on the\n"
                "          other side; F: shots past a friend inside the 10-degree cone -> shots S hits H friendly F\n"
                "  pathway the bots walk closed path ways with pauses and turns at\n"
                "          their steps (S: steps every bot reached, L: the fewest laps) -> steps S/8 laps L\n"
                "  attack  two teams of attack agents led by a small neural net; a bot\n"
                "          hit 20 times leaves (K: bots killed, S: bots stuck 5 s away\n"
                "          from any enemy)                                           -> kills K stuck S\n"
                "\n"
                "options:\n"
                "  --bots N        bots, 1 to %d (default 8; shoot: 2 or more)\n"
                "  --seconds T     simulated seconds, above 0 and at most %g (default 30)\n"
                "  --seed S        seed of the scenario's random choices, 0 to 4294967295 (default 1)\n"
                "  --csv FILE      write every entity's position per frame (frame,time,entity,x,y,z)\n"
                "  --plot FILE     draw a top view as PNG: boxes, graph, trails, final places by outcome\n"
                "  --timing        print the median and maximum wall time of the AI frame update\n"
                "  --help          this text\n"
                "\n"
                "exit status: 0 after a run, 1 when a file cannot be written or the run cannot start, 2 for\n"
                "a bad command line.\n",
                kMaxBots, kMaxSeconds);
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "ai_scenario: %s (try --help)\n", message.c_str());
    return 2;
}

// Checks before the run that the file can be written: opens it for appending (which changes no
// existing file) and removes it again when it did not exist.
bool CanWrite(const char* path) {
    const bool existed = access(path, F_OK) == 0;
    FILE* file = std::fopen(path, "ab");
    if (file == nullptr)
        return false;
    std::fclose(file);
    if (!existed)
        std::remove(path);
    return true;
}

// Parses a whole decimal number; false for text that is not one.
bool ParseNumber(const char* text, double* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0;
}

struct RunSettings {
    std::string scenario;
    scenario::ScenarioOptions options;
    const char* csvPath = nullptr;
    const char* plotPath = nullptr;
    bool timing = false;
};

int Run(const RunSettings& settings) {
    FakeAiHost& host = FakeAiHost::Instance();
    host.Reset();
    host.SetRecordQueries(false);
    const CHostServices services = host.MakeServices(static_cast<uint32_t>(settings.options.bots) + 16);
    if (!Vusk::Initialise(&services)) {
        std::fprintf(stderr, "ai_scenario: the engine did not start\n");
        return 1;
    }
    crt_srand(settings.options.seed);
    int status = 0;
    {
        std::unique_ptr<scenario::Scenario> scene = scenario::MakeScenario(settings.scenario, settings.options);
        FILE* csv = nullptr;
        if (!scene->Build(0)) {
            std::fprintf(stderr, "ai_scenario: the scenario could not be built\n");
            status = 1;
        } else if (settings.csvPath != nullptr && (csv = std::fopen(settings.csvPath, "w")) == nullptr) {
            std::fprintf(stderr, "ai_scenario: cannot write %s: %s\n", settings.csvPath,
                         FileWriteFailure(settings.csvPath).c_str());
            status = 1;
        }
        if (status == 0) {
            const std::vector<CEntity*> bots = scene->GetBots();
            const std::vector<CEntity*> others = scene->GetOthers();
            std::vector<CEntity*> entities = others;
            entities.insert(entities.end(), bots.begin(), bots.end());
            std::vector<std::vector<CVector3>> trails(entities.size());
            std::vector<double> frameSeconds, frameCpuSeconds;
            if (csv != nullptr)
                std::fprintf(csv, "frame,time,entity,x,y,z\n");
            const int frames = scene->GetTotalFrames();
            for (int f = 0; f <= frames; ++f) {
                if (f > 0) {
                    scene->Step();
                    frameSeconds.push_back(scene->GetWorld().GetLastAiSeconds());
                    frameCpuSeconds.push_back(scene->GetWorld().GetLastAiCpuSeconds());
                }
                for (size_t e = 0; e < entities.size(); ++e) {
                    const CVector3& p = scene->GetWorld().BodyOf(entities[e]).position;
                    trails[e].push_back(p);
                    if (csv != nullptr)
                        std::fprintf(csv, "%d,%.3f,%s,%.4f,%.4f,%.4f\n", f, f * settings.options.step,
                                     entities[e]->GetName(), p.x, p.y, p.z);
                }
            }
            if (csv != nullptr && std::fclose(csv) != 0) {
                std::fprintf(stderr, "ai_scenario: cannot write %s: %s\n", settings.csvPath,
                             FileWriteFailure(settings.csvPath).c_str());
                status = 1;
            }
            if (settings.timing && !frameSeconds.empty()) {
                // Wall time, and the processor time of this thread (which a busy machine does not
                // inflate by running other work in between).
                std::sort(frameSeconds.begin(), frameSeconds.end());
                std::sort(frameCpuSeconds.begin(), frameCpuSeconds.end());
                std::printf("ai frame over %zu frames: median %.3f ms, max %.3f ms (processor time: median %.3f ms, "
                            "max %.3f ms)\n",
                            frameSeconds.size(), frameSeconds[frameSeconds.size() / 2] * 1e3, frameSeconds.back() * 1e3,
                            frameCpuSeconds[frameCpuSeconds.size() / 2] * 1e3, frameCpuSeconds.back() * 1e3);
            }
            for (const std::string& line : scene->Report())
                std::printf("%s\n", line.c_str());
            if (settings.plotPath != nullptr) {
                scenario::PlotScene plot;
                plot.others.assign(trails.begin(), trails.begin() + static_cast<std::ptrdiff_t>(others.size()));
                plot.trails.assign(trails.begin() + static_cast<std::ptrdiff_t>(others.size()), trails.end());
                scene->Describe(plot);
                if (!scenario::WritePlot(plot, settings.plotPath)) {
                    std::fprintf(stderr, "ai_scenario: cannot write %s: %s\n", settings.plotPath,
                                 FileWriteFailure(settings.plotPath).c_str());
                    status = 1;
                }
            }
        }
    }
    Vusk::ReleaseEngine();
    return status;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        PrintHelp();
        return argc < 2 ? 2 : 0;
    }
    RunSettings settings;
    settings.scenario = argv[1];
    const std::vector<std::string>& names = scenario::ScenarioNames();
    if (std::find(names.begin(), names.end(), settings.scenario) == names.end())
        return Usage("unknown scenario '" + settings.scenario + "'");
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        }
        if (arg == "--timing") {
            settings.timing = true;
            continue;
        }
        if (arg != "--bots" && arg != "--seconds" && arg != "--seed" && arg != "--csv" && arg != "--plot")
            return Usage("unknown option '" + arg + "'");
        if (i + 1 >= argc)
            return Usage(arg + " needs a value");
        const char* value = argv[++i];
        double number = 0.0;
        if (arg == "--csv") {
            settings.csvPath = value;
        } else if (arg == "--plot") {
            settings.plotPath = value;
        } else if (!ParseNumber(value, &number)) {
            return Usage(arg + " '" + value + "' is not a number");
        } else if (arg == "--bots") {
            if (number != static_cast<int>(number) || number < 1 || number > kMaxBots)
                return Usage("--bots " + std::string(value) + " is out of range: a whole number from 1 to " +
                             std::to_string(kMaxBots));
            settings.options.bots = static_cast<int>(number);
        } else if (arg == "--seconds") {
            if (!(number > 0.0) || number > kMaxSeconds)
                return Usage("--seconds " + std::string(value) + " is out of range: above 0 and at most 3600");
            settings.options.seconds = static_cast<float>(number);
        } else {
            if (number != static_cast<double>(static_cast<uint32_t>(number)) || number < 0 || number > 4294967295.0)
                return Usage("--seed " + std::string(value) + " is out of range: a whole number from 0 to 4294967295");
            settings.options.seed = static_cast<unsigned>(number);
        }
    }
    if (settings.scenario == "shoot" && settings.options.bots < 2)
        return Usage("--bots " + std::to_string(settings.options.bots) +
                     " is out of range for shoot: a whole number from 2 to " + std::to_string(kMaxBots));
    for (const char* path : {settings.csvPath, settings.plotPath}) {
        if (path != nullptr && !CanWrite(path)) {
            std::fprintf(stderr, "ai_scenario: cannot write %s: %s\n", path, std::strerror(errno));
            return 1;
        }
    }
    return Run(settings);
}
