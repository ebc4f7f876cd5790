#include "platform/window.h"

std::unique_ptr<PlatformBackend> PlatformSdlBackend(std::string* error)
{
    *error = "this build has no SDL2 back end";
    return nullptr;
}
