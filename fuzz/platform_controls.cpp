// The window layer's environment controls: the PLATFORM_KEYS script and the PLATFORM_CAPTURE
// file-name pattern, both texts a user writes. The first byte chooses which one the rest is.
// A script that parses comes out sorted by frame; a pattern that is accepted names a file of
// a sane length for any frame.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/controls.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text = text.substr(0, text.find('\0')); // the environment holds no NUL
    std::string error;
    if (data[0] % 2 == 0) {
        std::vector<PlatformScriptEvent> events;
        if (!PlatformParseScript(text.c_str(), &events, &error)) {
            if (error.rfind("PLATFORM_KEYS: ", 0) != 0)
                std::abort(); // a refusal names the variable
            return 0;
        }
        for (std::size_t i = 1; i < events.size(); ++i)
            if (events[i - 1].frame > events[i].frame)
                std::abort();
        return 0;
    }
    setenv("PLATFORM_CAPTURE", text.c_str(), 1);
    PlatformControls controls;
    const bool ok = PlatformControlsFromEnvironment(&controls, &error);
    unsetenv("PLATFORM_CAPTURE");
    if (!ok || text.empty())
        return 0;
    for (const long frame : {0L, 7L, 2147483647L})
        if (PlatformCaptureName(controls.capture, frame).size() > text.size() + 120)
            std::abort();
    return 0;
}
