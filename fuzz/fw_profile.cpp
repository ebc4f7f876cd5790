// A character profile's section: the input as XML whose every element goes to a character
// profile, as the configuration reader hands a "Character" section to it (positional attributes,
// the Actions, Speeds and Animation elements, the end-of-Animations check, animation files read
// through the animation cache), then the profile is deleted and the cache emptied.

#include <expat.h>

#include <cstdint>
#include <cstdlib>

#include "framework/character.h"
#include "framework/framework.h"
#include "fuzz/fuzz_kit.h"
#include "graphics/plugins/anim.h"
#include "graphics/shared/skel/win/skeleton.h"

namespace {

void RegisterPlugins() { OvAnimPluginAttach(); }

void XMLCALL Start(void* user, const XML_Char* name, const XML_Char** attributes) {
    static_cast<CCharacterProfile*>(user)->StartElement(name, attributes);
}

void XMLCALL End(void* user, const XML_Char* name) { static_cast<CCharacterProfile*>(user)->EndElement(name); }

} // namespace

std::int32_t AppEventHandler(std::int32_t, void*) { return SKEL_EVENT_NOT_HANDLED; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::QuietErrorBoxes();
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    auto* profile = new CCharacterProfile("fuzz", 1.0f);
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser != nullptr) {
        XML_SetUserData(parser, profile);
        XML_SetElementHandler(parser, Start, End);
        XML_Parse(parser, reinterpret_cast<const char*>(data), static_cast<int>(size), 1);
        XML_ParserFree(parser);
    }
    delete profile;
    CAnimationCache::Clear();
    g_stopOnError = false;
    return 0;
}
