// The framework's configuration reader where the program reads it: the input as a whole
// "config.xml", read in 1024-byte chunks through expat into the section handlers as the
// application's graphics open runs (engine up on the test driver whose rasters are plain
// memory, plugins attached), then the graphics close takes down whatever the sections made
// (worlds, lights, camera, characters, character set, managers) together with the engine.
//
// The engine's memory refuses blocks above 64 MB, as a smaller host would: a configured
// resource arena larger than that takes the arena's refusal path instead of the memory.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "framework/application.h"
#include "framework/framework.h"
#include "fuzz/fuzz_kit.h"
#include "graphics/core/engine.h"
#include "graphics/core/memory.h"
#include "graphics/core/testkit/memory_raster_driver.h"

namespace {

constexpr std::size_t kLargestBlock = std::size_t{64} << 20;

void* Allocate(std::size_t size, OvUInt32 hint) {
    return size <= kLargestBlock ? SkelMemoryFunctions()->allocate(size, hint) : nullptr;
}
void* Reallocate(void* block, std::size_t size, OvUInt32 hint) {
    return size <= kLargestBlock ? SkelMemoryFunctions()->reallocate(block, size, hint) : nullptr;
}
void* Callocate(std::size_t count, std::size_t size, OvUInt32 hint) {
    return size == 0 || count <= kLargestBlock / size ? SkelMemoryFunctions()->callocate(count, size, hint) : nullptr;
}

class ConfigOnly : public CStandardApplication {
public:
    explicit ConfigOnly(const char* file) : CStandardApplication(file) {}
    bool Init() override { return true; }
    void Update(float) override {}
    void RenderScene() override {}
    void Terminate() override {}
    const char* GetTitle() override { return "config"; }
    // The test driver offers no video modes to choose from: the device stays as it is.
    std::int32_t HandleEvent(std::int32_t event, void* parameter) override {
        if (event == SKEL_EVENT_SELECT_DEVICE) {
            return SKEL_EVENT_HANDLED;
        }
        if (event == SKEL_EVENT_MEMORY_FUNCTIONS) {
            *static_cast<OvMemoryFunctions*>(parameter) = {Allocate, SkelMemoryFunctions()->free, Reallocate,
                                                           Callocate};
            return SKEL_EVENT_HANDLED;
        }
        return CStandardApplication::HandleEvent(event, parameter);
    }
};

ConfigOnly* g_application = nullptr;

// A failed graphics open ends the program; here it ends the input.
void KeepRunning(int) {}

} // namespace

std::int32_t AppEventHandler(std::int32_t event, void* parameter) {
    return g_application != nullptr ? g_application->HandleEvent(event, parameter) : SKEL_EVENT_NOT_HANDLED;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::QuietErrorBoxes();
    g_frameworkExit = KeepRunning;
    OvEngineSetDriver(OvTestMemoryRasterDriver());
    const std::string path = fuzzkit::WriteScratchFile(data, size);
    ConfigOnly application(path.c_str());
    g_application = &application;
    SkelPlatform platform{};
    if (SkelEventDispatch(SKEL_EVENT_GRAPHICS_OPEN, &platform) == SKEL_EVENT_HANDLED) {
        SkelEventDispatch(SKEL_EVENT_GRAPHICS_CLOSE, nullptr);
    }
    g_application = nullptr;
    g_stopOnError = false;
    if (OvEngineGetStatus() != ovENGINESTATUSIDLE || OvTestMemoryRasterDriverState()->liveRasters != 0) {
        std::abort(); // the graphics close left the engine running or rasters behind
    }
    return 0;
}
