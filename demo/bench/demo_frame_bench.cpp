// demo_frame_bench: one whole frame of the game (dunmarrow) at 640 x 480, headless, at a fixed
// step of 1/60 s, timed part by part. See the usage text below.
//
// The game runs its program's frame; the clock is read as each of the framework's frame stages
// ends, and the game's update is its three steps (order, AI, characters) called one by one.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "demo/dunmarrow_application.h"
#include "framework/camera_manager.h"
#include "framework/fps_counter.h"
#include "framework/framework.h"
#include "framework/hud.h"
#include "framework/input_manager.h"
#include "framework/projectiles.h"
#include "framework/rigid_bodies.h"
#include "framework/world_manager.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "platform/d3d9_control.h"
#include "tools/common/arguments.h"

namespace {

const char kUsage[] =
    "usage: demo_frame_bench [--help] [--data DIR] [--bots N[,N...]]... [--frames F] [--warmup W] [--f1]\n"
    "                        [--four-pixel-steps]\n"
    "Runs the game (dunmarrow) headless in this process's children, one per bot count, at 640 x 480\n"
    "with a fixed step of 1/60 s, and times every frame part by part. The game runs on one thread;\n"
    "the software device's rasteriser shares large draws with its workers (PLATFORM_RASTER_THREADS,\n"
    "1 for one core; the table's heading says how many drew). For each bot\n"
    "count it prints a markdown table: milliseconds per frame (median, 95th percentile, slowest,\n"
    "mean), frames per second (from the mean), and each part's mean milliseconds per frame and\n"
    "share:\n"
    "  AI         the AI world's update (the bots' brains, agents, path finding, line queries)\n"
    "  animation  the characters' updates (movement, animation blend, the hierarchy's bone\n"
    "             matrices, motion-body forces); the skinned-atomic pipeline skins the vertices\n"
    "             as the world is drawn, so that part counts under rendering\n"
    "  physics    the world manager's update (level objects, the physics step) and the rigid bodies\n"
    "  rendering  the world (camera clear and world render), the scene (the game's scene, pointer,\n"
    "             overlay, HUD, bodies' drag, particles) and the present (camera end, show)\n"
    "  other      the rest: input, the order, HUD and camera updates, particles, rocks, frame rate\n"
    "and the AI + physics + animation total (mean and 95th percentile).\n"
    "  --data DIR        the data folder (default: demo_data beside the program's bin folder,\n"
    "                    which a build with tests makes with mkasset demo)\n"
    "  --bots N[,N...]   bot counts, each run on its own (0 to 291; may be given more than once;\n"
    "                    default 8 and 32)\n"
    "  --frames F        frames measured per run (default 600)\n"
    "  --warmup W        frames played before measuring (default 120; a start screen's frames\n"
    "                    are not played: ENTER dismisses it)\n"
    "  --f1              F1 pressed once half the measured frames have run: the bots take cover\n"
    "                    until then and come to the player after; the table then has a column for\n"
    "                    each order beside the whole run\n"
    "  --four-pixel-steps the rasteriser's fast rows shade four pixels a step even where the\n"
    "                    processor could take eight (the heading says which ran)\n"
    "Exit status 0 when every run completed, 1 when one could not start, 2 on bad usage.\n";

constexpr float kStep = 1.0f / 60.0f;

// The clock is read at these points of a frame; a part's time is the span up to the next point.
enum Part {
    kInput,     // time step, input manager
    kOrder,     // camera requests, the game's order
    kAi,        // the AI world's step
    kAnimation, // the characters' updates
    kWorldStep, // world manager's update: level objects, physics step
    kHudCamera, // HUD and camera manager updates
    kBodies,    // rigid bodies' update
    kParticles, // impact particles, rocks, frame-rate sample
    kWorldDraw, // camera begin, world render
    kSceneDraw, // the game's scene, pointer, overlay, HUD, drag, particles
    kPresent,   // camera end, show
    kPartCount
};

using Sample = std::array<double, kPartCount>; // milliseconds

struct Options {
    std::string data;
    std::vector<int> bots;
    long frames = 600;
    long warmup = 120;
    bool f1 = false;
    bool fourPixelSteps = false;
};

// The game with a timed frame.
class CTimedGame : public CDunmarrowApplication {
public:
    CTimedGame(long warmup, long frames, bool f1)
        : CDunmarrowApplication("config.xml"), warmup_(warmup), frames_(frames), f1_(f1) {
        samples_.reserve(static_cast<std::size_t>(frames));
        fixedStepSet_ = true;
        fixedStep_ = kStep;
    }

    std::int32_t HandleEvent(std::int32_t event, void* parameter) override {
        if (event == SKEL_EVENT_IDLE) {
            if (!g_stopOnError) {
                TimedFrame();
            }
            return SKEL_EVENT_HANDLED;
        }
        return CDunmarrowApplication::HandleEvent(event, parameter);
    }

    const std::vector<Sample>& Samples() const { return samples_; }
    long FramesPlayed() const { return played_; }
    int Width() const { return width_; }
    int Height() const { return height_; }

private:
    using Clock = std::chrono::steady_clock;

    void Mark(Part part) {
        const Clock::time_point now = Clock::now();
        sample_[part] = std::chrono::duration<double, std::milli>(now - last_).count();
        last_ = now;
    }

    // The game's update in its three steps, timed apart (the game's frame hook is not set here).
    void Update(float dt) override {
        TakeOrder();
        Mark(kOrder);
        UpdateAi();
        Mark(kAi);
        UpdateCharacters(dt);
        Mark(kAnimation);
    }

    void OnFrameStage(FrameStage stage) override {
        switch (stage) {
        case FrameStage::Input:
            Mark(kInput);
            break;
        case FrameStage::World:
            Mark(kWorldStep);
            break;
        case FrameStage::HudCamera:
            Mark(kHudCamera);
            break;
        case FrameStage::Bodies:
            Mark(kBodies);
            break;
        case FrameStage::Particles:
            Mark(kParticles);
            break;
        case FrameStage::WorldDraw:
            Mark(kWorldDraw);
            break;
        case FrameStage::SceneDraw:
            Mark(kSceneDraw);
            break;
        case FrameStage::Present:
            Mark(kPresent);
            break;
        }
    }

    // The framework's frame, its parts timed through the stage calls and the update above.
    void TimedFrame() {
        // F1 as the shell delivers a key: before the frame, once half the measured frames ran.
        if (f1_ && !pressed_ && samples_.size() == static_cast<std::size_t>(frames_ / 2)) {
            SkelKeyRecord f1 = {0, 129};
            CInputManager::KeyboardHandler(SKEL_EVENT_KEY_DOWN, &f1);
            CInputManager::KeyboardHandler(SKEL_EVENT_KEY_UP, &f1);
            pressed_ = true;
        }
        if (width_ == 0) {
            width_ = SkelGetState()->width;
            height_ = SkelGetState()->height;
        }
        const bool playing = !g_paused; // the start screen pauses the game until ENTER
        sample_ = {};
        last_ = Clock::now();
        Frame();
        if (playing && ++played_ > warmup_ && samples_.size() < static_cast<std::size_t>(frames_)) {
            samples_.push_back(sample_);
            if (samples_.size() == static_cast<std::size_t>(frames_)) {
                PostQuitMessage(0);
            }
        }
    }

    long warmup_;
    long frames_;
    bool f1_;
    bool pressed_ = false;
    long played_ = 0; // frames not paused
    int width_ = 0;
    int height_ = 0;
    Clock::time_point last_;
    Sample sample_{};
    std::vector<Sample> samples_;
};

CTimedGame* g_game = nullptr;

int Usage(const std::string& message) {
    std::fprintf(stderr, "demo_frame_bench: %s\n%s", message.c_str(), kUsage);
    return 2;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// The figures of a run of frames.
struct Figures {
    long frames = 0;
    double median = 0.0, p95 = 0.0, mean = 0.0, worst = 0.0;
    double simulationP95 = 0.0; // AI + animation + physics
    double ai = 0.0, animation = 0.0, physics = 0.0, world = 0.0, scene = 0.0, present = 0.0, other = 0.0;
};

Figures Summarise(const std::vector<Sample>& samples, std::size_t begin, std::size_t end) {
    Figures f;
    std::vector<double> totals;
    std::vector<double> simulation;
    Sample sums{};
    for (std::size_t i = begin; i < end; ++i) {
        double total = 0.0;
        for (int part = 0; part < kPartCount; ++part) {
            sums[part] += samples[i][part];
            total += samples[i][part];
        }
        totals.push_back(total);
        simulation.push_back(samples[i][kAi] + samples[i][kAnimation] + samples[i][kWorldStep] + samples[i][kBodies]);
    }
    f.frames = static_cast<long>(end - begin);
    if (f.frames == 0) {
        return f;
    }
    const double n = static_cast<double>(f.frames);
    f.median = Percentile(totals, 0.5);
    f.p95 = Percentile(totals, 0.95);
    f.worst = *std::max_element(totals.begin(), totals.end());
    f.simulationP95 = Percentile(simulation, 0.95);
    double all = 0.0;
    for (double sum : sums) {
        all += sum;
    }
    f.mean = all / n;
    f.ai = sums[kAi] / n;
    f.animation = sums[kAnimation] / n;
    f.physics = (sums[kWorldStep] + sums[kBodies]) / n;
    f.world = sums[kWorldDraw] / n;
    f.scene = sums[kSceneDraw] / n;
    f.present = sums[kPresent] / n;
    f.other = f.mean - f.ai - f.animation - f.physics - f.world - f.scene - f.present;
    return f;
}

void PrintTable(int bots, const Options& options, const std::vector<Sample>& samples) {
    std::vector<std::pair<std::string, Figures>> columns;
    columns.emplace_back("whole run", Summarise(samples, 0, samples.size()));
    if (options.f1) {
        const std::size_t half = static_cast<std::size_t>(options.frames / 2); // F1 acts in this frame
        columns.emplace_back("take cover", Summarise(samples, 0, half));
        columns.emplace_back("come to me", Summarise(samples, half, samples.size()));
    }
    std::printf("\n### %d bots: %zu frames at 640 x 480 after %ld of warm-up%s, rasteriser on %d thread%s, %d pixels "
                "a step\n\n",
                bots, samples.size(), options.warmup, options.f1 ? ", F1 pressed halfway" : "", D3d9RasterThreadCount(),
                D3d9RasterThreadCount() == 1 ? "" : "s", D3d9RasterWide() ? 8 : 4);
    std::printf("| |");
    for (const auto& column : columns) {
        std::printf(" %s |", column.first.c_str());
    }
    std::printf("\n|---|");
    for (std::size_t i = 0; i < columns.size(); ++i) {
        std::printf("---|");
    }
    std::printf("\n");
    auto row = [&](const char* label, auto value) {
        std::printf("| %s |", label);
        for (const auto& column : columns) {
            std::printf(" %s |", value(column.second).c_str());
        }
        std::printf("\n");
    };
    auto ms = [](double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", v);
        return std::string(text);
    };
    auto share = [](double v, double whole) {
        char text[48];
        std::snprintf(text, sizeof text, "%.3f (%.1f %%)", v, whole > 0.0 ? 100.0 * v / whole : 0.0);
        return std::string(text);
    };
    row("ms per frame, median", [&](const Figures& f) { return ms(f.median); });
    row("ms per frame, 95th percentile", [&](const Figures& f) { return ms(f.p95); });
    row("ms per frame, slowest", [&](const Figures& f) { return ms(f.worst); });
    row("ms per frame, mean", [&](const Figures& f) { return ms(f.mean); });
    row("frames per second (mean)", [&](const Figures& f) {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f", f.mean > 0.0 ? 1000.0 / f.mean : 0.0);
        return std::string(text);
    });
    row("AI, ms (share)", [&](const Figures& f) { return share(f.ai, f.mean); });
    row("animation, ms (share)", [&](const Figures& f) { return share(f.animation, f.mean); });
    row("physics, ms (share)", [&](const Figures& f) { return share(f.physics, f.mean); });
    row("rendering, ms (share)", [&](const Figures& f) { return share(f.world + f.scene + f.present, f.mean); });
    row("- world", [&](const Figures& f) { return share(f.world, f.mean); });
    row("- scene", [&](const Figures& f) { return share(f.scene, f.mean); });
    row("- present", [&](const Figures& f) { return share(f.present, f.mean); });
    row("other, ms (share)", [&](const Figures& f) { return share(f.other, f.mean); });
    row("AI + physics + animation, ms (share)",
        [&](const Figures& f) { return share(f.ai + f.physics + f.animation, f.mean); });
    row("AI + physics + animation, 95th percentile ms", [&](const Figures& f) { return ms(f.simulationP95); });
    std::fflush(stdout);
}

// One run in this process: the game started, run and taken down. 0 when every frame ran.
int RunOnce(int bots, const Options& options) {
    // The run ends once the frames are measured; the frame limit only stops a game that stays on
    // its start screen. ENTER dismisses a start screen (without one nothing reads it).
    const long total = options.warmup + options.frames;
    setenv("PLATFORM_HEADLESS", "1", 1);
    setenv("PLATFORM_FRAMES", std::to_string(total + 100).c_str(), 1);
    setenv("PLATFORM_FIXED_STEP", "0.016666666666666666", 1);
    setenv("PLATFORM_KEYS", "1:RETURN", 1);
    unsetenv("PLATFORM_CAPTURE");

    g_game = new CTimedGame(options.warmup, options.frames, options.f1);
    g_game->OverrideBotCount(bots);
    SkelWinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
    const long played = g_game->FramesPlayed();
    const std::vector<Sample> samples = g_game->Samples();
    const int started = g_game->BotCount();
    const int mode = g_game->Mode();
    const int width = g_game->Width();
    const int height = g_game->Height();
    delete g_game;
    g_game = nullptr;
    if (samples.size() != static_cast<std::size_t>(options.frames)) {
        std::fprintf(stderr,
                     "demo_frame_bench: the game with %d bots played %ld of %ld frames (see its messages above)\n",
                     bots, played, total);
        return 1;
    }
    if (started != bots) {
        std::fprintf(stderr, "demo_frame_bench: asked for %d bots, the game started %d\n", bots, started);
        return 1;
    }
    if (mode != (options.f1 ? CDunmarrowApplication::kComeToMe : CDunmarrowApplication::kTakeCover)) {
        std::fprintf(stderr, "demo_frame_bench: the game's order at the end is not the one asked for\n");
        return 1;
    }
    if (width != 640 || height != 480) {
        std::fprintf(stderr, "demo_frame_bench: the frame is %d x %d, not 640 x 480\n", width, height);
        return 1;
    }
    PrintTable(bots, options, samples);
    return 0;
}

} // namespace

std::int32_t AppEventHandler(std::int32_t event, void* parameter) {
    return g_game != nullptr ? g_game->HandleEvent(event, parameter) : SKEL_EVENT_NOT_HANDLED;
}

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--f1") {
            options.f1 = true;
            continue;
        }
        if (arg == "--four-pixel-steps") {
            options.fourPixelSteps = true;
            continue;
        }
        if (arg != "--data" && arg != "--bots" && arg != "--frames" && arg != "--warmup") {
            return Usage("unknown argument " + arg);
        }
        if (i + 1 >= argc) {
            return Usage("missing value after " + arg);
        }
        const std::string value = argv[++i];
        long number = 0;
        if (arg == "--data") {
            options.data = value;
        } else if (arg == "--bots") {
            std::size_t start = 0;
            for (;;) {
                const std::size_t comma = value.find(',', start);
                const std::string item = value.substr(start, comma == std::string::npos ? comma : comma - start);
                if (!tools::ParseLong(item.c_str(), 0, CDunmarrowApplication::kMaxBots, &number)) {
                    return Usage("bad --bots '" + value + "': '" + item + "' is no count from 0 to " +
                                 std::to_string(CDunmarrowApplication::kMaxBots));
                }
                options.bots.push_back(static_cast<int>(number));
                if (comma == std::string::npos) {
                    break;
                }
                start = comma + 1;
            }
        } else if (arg == "--frames") {
            if (!tools::ParseLong(value.c_str(), 2, 10000000, &number)) {
                return Usage("bad --frames '" + value + "' (2 to 10000000)");
            }
            options.frames = number;
        } else {
            if (!tools::ParseLong(value.c_str(), 0, 10000000, &number)) {
                return Usage("bad --warmup '" + value + "' (0 to 10000000)");
            }
            options.warmup = number;
        }
    }
    if (options.bots.empty()) {
        options.bots = {8, 32};
    }
    if (options.data.empty()) {
        options.data = tools::DataBesideProgram("demo_data");
    }
    std::error_code ec;
    std::filesystem::current_path(options.data, ec);
    if (ec || !std::filesystem::exists("config.xml")) {
        std::fprintf(stderr, "demo_frame_bench: no config.xml in the data folder %s (make one with mkasset demo)\n",
                     options.data.c_str());
        return 1;
    }
    std::printf("demo_frame_bench: %s, fixed step 1/60 s\n", options.data.c_str());
    std::fflush(stdout);
    if (options.fourPixelSteps) {
        D3d9SetRasterWide(0);
    }
    // Each run in a child of its own: the game's process-wide state starts afresh every time.
    int status = 0;
    for (int bots : options.bots) {
        const pid_t child = fork();
        if (child < 0) {
            std::perror("demo_frame_bench: fork");
            return 1;
        }
        if (child == 0) {
            std::_Exit(RunOnce(bots, options));
        }
        int wstatus = 0;
        if (waitpid(child, &wstatus, 0) < 0 || !WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) {
            std::fprintf(stderr, "demo_frame_bench: the run with %d bots failed\n", bots);
            status = 1;
        }
    }
    return status;
}
