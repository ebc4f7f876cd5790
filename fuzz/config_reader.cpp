// The framework's configuration reader: the input as a whole "config.xml" read in 1024-byte
// chunks through expat into the section handlers.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "framework/application.h"
#include "framework/camera_manager.h"
#include "framework/framework.h"
#include "framework/hud.h"
#include "framework/input_manager.h"
#include "framework/rigid_bodies.h"
#include "fuzz/fuzz_kit.h"

namespace {

class ConfigOnly : public CStandardApplication {
public:
    explicit ConfigOnly(const char* file) : CStandardApplication(file) {}
    bool Init() override { return true; }
    void Update(float) override {}
    void RenderScene() override {}
    void Terminate() override {}
    const char* GetTitle() override { return "config"; }
};

} // namespace

std::int32_t AppEventHandler(std::int32_t, void*) { return SKEL_EVENT_NOT_HANDLED; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::QuietErrorBoxes();
    const std::string path = fuzzkit::WriteScratchFile(data, size);
    ConfigOnly application(path.c_str());
    application.ReadConfig();
    // The managers the sections made live on past the reader; each input starts without them.
    delete g_cameraManager;
    delete g_hud;
    g_hud = nullptr;
    CRigidBodyManager::Destroy();
    CInputManager::Destroy();
    return 0;
}
