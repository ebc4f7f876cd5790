// The framework's own cost per frame, without rendering: the time step, the game's (empty) update,
// the frame-rate sample and the render sequence around an empty scene, through the idle event as
// the shell sends it.

#include <benchmark/benchmark.h>

#include "framework/application.h"
#include "framework/fps_counter.h"
#include "framework/framework.h"

namespace {

class EmptyApp : public CStandardApplication {
public:
    EmptyApp() : CStandardApplication("config.xml") {}
    bool Init() override { return true; }
    void Update(float dt) override { benchmark::DoNotOptimize(dt); }
    void RenderScene() override {}
    void Terminate() override {}
    const char* GetTitle() override { return "bench"; }
};

EmptyApp* g_app = nullptr;
DWORD g_now = 0;
DWORD StepClock() { return g_now += 16; }

void BM_FrameworkFrame(benchmark::State& state) {
    EmptyApp app;
    g_app = &app;
    g_frameworkClock = StepClock;
    for (auto _ : state) {
        SkelEventDispatch(SKEL_EVENT_IDLE, nullptr);
    }
    state.SetItemsProcessed(state.iterations());
    g_app = nullptr;
    CFpsCounter::Destroy();
}
BENCHMARK(BM_FrameworkFrame);

// The frame-rate graph's vertices with a full history (debug level 2).
void BM_FpsGraph(benchmark::State& state) {
    CFpsCounter* fps = CFpsCounter::GetInstance();
    for (int i = 0; i < CFpsCounter::kHistorySize; ++i) {
        fps->Sample(0.016f);
    }
    std::vector<OvD3D9Im2DVertex> vertices;
    for (auto _ : state) {
        fps->BuildGraph(640.0f, 480.0f, 0.0f, 1.0f, &vertices);
        benchmark::DoNotOptimize(vertices.data());
    }
    CFpsCounter::Destroy();
}
BENCHMARK(BM_FpsGraph);

} // namespace

std::int32_t AppEventHandler(std::int32_t event, void* parameter) {
    return g_app != nullptr ? g_app->HandleEvent(event, parameter) : SKEL_EVENT_NOT_HANDLED;
}

BENCHMARK_MAIN();
