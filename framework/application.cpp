#include "framework/application.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <expat.h>

#include "framework/camera_manager.h"
#include "framework/character.h"
#include "framework/config_checks.h"
#include "framework/read_faults.h"
#include "framework/fps_counter.h"
#include "framework/framework.h"
#include "framework/hud.h"
#include "framework/input_manager.h"
#include "framework/lights_font.h"
#include "framework/projectiles.h"
#include "framework/rigid_bodies.h"
#include "framework/world_manager.h"
#include "graphics/core/resources.h"
#include "graphics/plugins/anim.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "graphics/plugins/collision.h"
#include "graphics/plugins/material_effects.h"
#include "graphics/plugins/particles.h"
#include "graphics/plugins/skin.h"
#include "graphics/plugins/spline.h"
#include "graphics/shared/skel/win/exit_status.h"
#include "graphics/world/world_membership.h"
#include "graphics/world/world_plugin.h"
#include "physics/graphics/body_atomic.h"
#include "graphics/toolkits/charset.h"
#include "platform/crt.h"

int g_debugLevel = 0;
bool g_stopOnError = false;
bool g_active = false;
bool g_paused = false;
HWND g_mainWindow = nullptr;
HINSTANCE g_mainInstance = nullptr;
FrameworkExitFunction g_frameworkExit = std::exit;
FrameworkClockFunction g_frameworkClock = timeGetTime;

namespace {

// After a reading of config.xml that stopped short, every box ends with where it stopped (what the
// message misses may lie beyond).
void ShowErrorBox(std::string shown) {
    g_stopOnError = true;
    if (!ConfigReadFault().empty()) {
        shown += "\n" + ConfigReadFault();
    }
    MessageBoxA(nullptr, shown.c_str(), kErrorBoxTitle, MB_ICONHAND);
}

} // namespace

// While config.xml is read, every message says where in it.
void ErrorBox(const char* text) { ShowErrorBox(WithConfigPlace(text)); }

void FileErrorBox(const std::string& path, const std::string& text) { ShowErrorBox(WithFileOrigin(path, text, "\n")); }

namespace {

// expat's element callbacks: the user data is the application.
// The parser is the handlers' argument (its user data is the application), so that the numbers an
// element's readers cannot read are reported with the element's line.
// The elements open at the parser's position, innermost last, with the lines they start on: an
// element left unclosed is found only where the parser stops, lines later.
std::vector<std::pair<std::string, unsigned long>> g_openElements;
// How many were open with the element said as one the game does not know (what it holds is not said
// again, nor read); 0 while none is open.
std::size_t g_leftOutDepth = 0;

void XMLCALL StartElementCallback(void* user, const XML_Char* name, const XML_Char** attributes) {
    auto parser = static_cast<XML_Parser>(user);
    const unsigned long line = XML_GetCurrentLineNumber(parser);
    SetConfigPlace(name, line, attributes);
    // Below the file's root: the section it is in (the outermost open), or the top level.
    const char* section = nullptr;
    for (std::size_t i = 1; i < g_openElements.size() && section == nullptr; ++i) {
        if (IsConfigSection(g_openElements[i].first.c_str())) {
            section = g_openElements[i].first.c_str();
        }
    }
    if (g_openElements.empty()) {
        SetConfigRoot(name, line);
    }
    const bool insideUnknown = g_leftOutDepth != 0;
    const bool unknown =
        !g_openElements.empty() && !insideUnknown && !CheckConfigElement(section, name, line, attributes);
    g_openElements.emplace_back(name, line);
    if (unknown) {
        g_leftOutDepth = g_openElements.size();
    }
    // An element said to be left out is, with all it holds.
    if (!unknown && !insideUnknown) {
        static_cast<CStandardApplication*>(XML_GetUserData(parser))->DispatchStartElement(name, attributes);
    }
    SetConfigPlace(nullptr, 0);
}

void XMLCALL EndElementCallback(void* user, const XML_Char* name) {
    auto parser = static_cast<XML_Parser>(user);
    const bool leftOut = g_leftOutDepth != 0;
    if (!g_openElements.empty()) {
        g_openElements.pop_back();
    }
    if (g_openElements.size() < g_leftOutDepth) {
        g_leftOutDepth = 0;
    }
    if (leftOut) {
        return;
    }
    ConfigElementEnded(name);
    SetConfigPlace(name, XML_GetCurrentLineNumber(parser));
    static_cast<CStandardApplication*>(XML_GetUserData(parser))->DispatchEndElement(name);
    SetConfigPlace(nullptr, 0);
}

// Where and why the parser stopped: an end tag that closes another element, or the file ending
// inside one, is the fault of the innermost element left open, named with its own line.
std::string XmlFault(XML_Parser parser, const std::string& file) {
    const XML_Error code = XML_GetErrorCode(parser);
    const std::string at = std::to_string(XML_GetCurrentLineNumber(parser));
    const std::string what = XML_ErrorString(code);
    const bool leftOpen = code == XML_ERROR_TAG_MISMATCH || code == XML_ERROR_NO_ELEMENTS ||
                          code == XML_ERROR_UNCLOSED_TOKEN || code == XML_ERROR_PARTIAL_CHAR;
    if (leftOpen && !g_openElements.empty()) {
        const auto& [name, line] = g_openElements.back();
        return file + " line " + std::to_string(line) + ": '" + name + "' opened there is not closed (at line " + at +
               ": " + what + ")";
    }
    return file + " line " + at + ": " + what;
}

bool Is(const char* a, const char* b) { return _stricmp(a, b) == 0; }

// The resource arena's size ("RessourceArena" "size") is held to these bytes: none at all draws
// nothing; any larger one is asked of the machine when the level is read, which may refuse it.
constexpr int kMinArenaSize = 0x10000;
constexpr int kMaxArenaSize = INT_MAX;

// The camera manager's text goes through the framework's font (nothing without one).
void PrintWithFont(const char* text, float x, float y, float size) {
    if (g_font != nullptr) {
        g_font->Print(text, OvV2d{x, y}, size);
    }
}

} // namespace

CStandardApplication::CStandardApplication(const char* configFileName)
    : configFileName_(configFileName != nullptr ? configFileName : "") {
    g_mainWindow = nullptr;
    g_mainInstance = nullptr;
    g_worldManager = nullptr;
    g_cameraManager = nullptr;
    g_hud = nullptr;
    g_debugLevel = 0;
    g_stopOnError = false;
    SetConfigReadFault("");
    ForgetFileFaults();
}

bool CStandardApplication::StartElement(const char* /*name*/, const char** /*attributes*/) { return true; }

bool CStandardApplication::EndElement(const char* /*name*/) { return true; }

void CStandardApplication::SetWindowHandle(HWND window) {
    g_mainWindow = window;
    g_mainInstance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
}

void CStandardApplication::ErrorBox(const char* text) { ::ErrorBox(text); }

std::int32_t CStandardApplication::HandleEvent(std::int32_t event, void* parameter) {
    switch (event) {
    case SKEL_EVENT_CAMERA_SIZE:
        if (g_cameraManager != nullptr && parameter != nullptr) {
            const auto* size = static_cast<const SkelSizeRect*>(parameter);
            g_cameraManager->Resize(size->width, size->height);
        }
        if (g_hud != nullptr) {
            g_hud->Reset();
        }
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_INPUT_DEVICE_ATTACH:
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_PLUGIN_ATTACH:
        return AttachPlugins() ? SKEL_EVENT_HANDLED : SKEL_EVENT_FAILED;
    case SKEL_EVENT_GRAPHICS_OPEN:
        // A failed open ends the process with a failing status: nothing could be shown.
        if (!GraphicsOpen(static_cast<SkelPlatform*>(parameter))) {
            g_frameworkExit(kSkelFailureStatus);
            return SKEL_EVENT_FAILED; // only when the exit was intercepted
        }
        // A configuration that already failed leaves nothing for the game to set up on.
        if (!g_stopOnError && !Init()) {
            g_stopOnError = true;
        }
        // The input devices; once frames have stopped there is nothing for them to feed.
        if (!g_stopOnError) {
            CInputManager::RegisterHandlers();
            CInputManager::GetInstance()->CreatePointer();
        }
        if (CCharacter::Count() > 0 && g_cameraManager != nullptr) {
            g_cameraManager->Follow(CCharacter::Get(0));
        }
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_GRAPHICS_CLOSE:
        // A game stopped by an error ends with a failing status once its window is closed.
        if (g_stopOnError) {
            SkelSetFailureStatus(kSkelFailureStatus);
        }
        Terminate();
        Shutdown();
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_APP_START:
        return AppStart() ? SKEL_EVENT_HANDLED : SKEL_EVENT_FAILED;
    case SKEL_EVENT_IDLE:
        // Stopped by an error, the window only waits for the user to close it: no frame, and
        // no turn of the loop until a message comes.
        if (g_stopOnError) {
            WaitMessage();
        } else {
            const DWORD start = g_frameworkClock();
            Frame();
            // The start screen changes little until it is scrolled or dismissed: while it holds
            // the game, the next frame comes with the next message or once the longest step a
            // frame takes has passed (so nothing behind the screen slows down), not at once. A
            // message ends the wait, so no input waits on it.
            if (g_paused) {
                const DWORD spent = g_frameworkClock() - start;
                const auto period = static_cast<DWORD>(kMaxStep * 1000.0f);
                MsgWaitForMultipleObjects(0, nullptr, FALSE, spent < period ? period - spent : 0, QS_ALLINPUT);
            }
        }
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_ACTIVATE:
        g_active = parameter != nullptr;
        return SKEL_EVENT_HANDLED;
    default:
        return SKEL_EVENT_NOT_HANDLED;
    }
}

bool CStandardApplication::AttachPlugins() {
    // The toolkit plugins register here, before the engine opens, in this order, stopping at the
    // first failure: world, collision, particle batches, animation, animation hierarchy, skin,
    // spline, material effects, physics body.
    return OvWorldPluginAttach() && OvCollisionPluginAttach() && OvParticleBatchPluginAttach() &&
           OvAnimPluginAttach() && OvAnimHierarchyPluginAttach() && OvSkinPluginAttach() && OvSplinePluginAttach() &&
           OvMaterialEffectsPluginAttach() && OvpBodyPluginAttach();
}

bool CStandardApplication::AppStart() {
    if (SkelStartUp() == SKEL_EVENT_FAILED) {
        return false;
    }
    SkelState* shell = SkelGetState();
    if (shell->width == 0) {
        shell->width = 640;
    }
    if (shell->height == 0) {
        shell->height = 480;
    }
    shell->title = GetTitle();
    return true;
}

bool CStandardApplication::GraphicsOpen(SkelPlatform* platform) {
    if (SkelGraphicsOpen(platform) == 0) {
        SkelErrorMessage("Error initializing Orvanta.");
        return false;
    }
    ReadConfig();
    // With no light configured, the default ambient and directional lights; the font on the
    // camera manager's camera.
    if (g_worldManager != nullptr && g_worldManager->LightCount() == 0) {
        defaultAmbient_ = new CLight(kDefaultAmbientLight);
        defaultDirectional_ = new CLight(kDefaultDirectionalLight);
        g_worldManager->AddLight(defaultAmbient_);
        g_worldManager->AddLight(defaultDirectional_);
    }
    if (g_cameraManager != nullptr && g_cameraManager->Camera() != nullptr && g_font == nullptr) {
        g_font = new CFont;
        g_font->Load(g_cameraManager->Camera());
        CCameraManager::SetTextFunction(PrintWithFont);
    }
    return true;
}

void CStandardApplication::Shutdown() {
    // The world manager (the camera manager's world cameras and the default lights taken out of it
    // first), camera manager, default lights, font, HUD and character profiles are taken down in
    // that order; then the raster character set; the rigid-body manager and the input manager
    // follow it once they exist. The font's toolkit holds the main camera: it goes before the
    // camera does.
    CCameraManager::SetTextFunction(nullptr);
    delete g_font;
    g_font = nullptr;
    // The rigid bodies live in the world manager's physics context: they go before it does.
    if (CRigidBodyManager* bodies = CRigidBodyManager::Existing()) {
        bodies->ReleaseInstances();
    }
    ReleaseRocks();
    if (g_worldManager != nullptr) {
        g_worldManager->RemoveCameras(g_cameraManager);
        g_worldManager->RemoveLight(defaultAmbient_);
        g_worldManager->RemoveLight(defaultDirectional_);
        delete g_worldManager;
        g_worldManager = nullptr;
    }
    delete g_cameraManager; // clears the pointer
    delete defaultAmbient_;
    delete defaultDirectional_;
    defaultAmbient_ = defaultDirectional_ = nullptr;
    delete lightUnderConstruction_;
    lightUnderConstruction_ = nullptr;
    // The game released its characters in Terminate: the command pool outlives every one of them.
    CCharacterProfile::DestroyAll();
    DestroyAnimationCommandPool();
    delete g_font;
    g_font = nullptr;
    delete g_hud;
    g_hud = nullptr;
    if (charset_ != nullptr) {
        OvCharsetDestroy(charset_);
        charset_ = nullptr;
    }
    CRigidBodyManager::Destroy();
    CInputManager::GetInstance()->ReleaseMouse();
    CInputManager::Destroy();
    CFpsCounter::Destroy();
    SkelGraphicsClose();
}

float CStandardApplication::TimeStep(DWORD elapsedMs, bool fixedStepSet, float fixedStep) {
    if (fixedStepSet) {
        return fixedStep;
    }
    const float seconds = static_cast<float>(elapsedMs) * 0.001f;
    return seconds > kMaxStep ? kMaxStep : seconds;
}

void CStandardApplication::Frame() {
    if (firstFrame_) {
        lastFrameTime_ = g_frameworkClock();
        firstFrame_ = false;
    }
    const DWORD now = g_frameworkClock();
    const DWORD elapsed = now - lastFrameTime_; // modulo 2^32: a wrapped clock gives the small step
    lastFrameTime_ = now;
    const float dt = TimeStep(elapsed, fixedStepSet_, fixedStep_);
    lastStep_ = dt;
    CInputManager* input = CInputManager::GetInstance();
    input->Update(dt);
    OnFrameStage(FrameStage::Input);
    if (!g_paused) {
        if (input->TakeNextCameraRequest() && g_cameraManager != nullptr) {
            g_cameraManager->NextCamera();
        }
        if (input->TakeNextFixedCameraRequest() && g_cameraManager != nullptr) {
            g_cameraManager->NextFixedCamera();
        }
        Update(dt);
    }
    if (g_worldManager != nullptr) {
        g_worldManager->Update(dt);
    }
    OnFrameStage(FrameStage::World);
    if (g_hud != nullptr) {
        g_hud->Update(dt);
    }
    if (g_cameraManager != nullptr) {
        g_cameraManager->Update(dt);
    }
    OnFrameStage(FrameStage::HudCamera);
    // Unless paused, the rigid bodies and the impact particles (the thrown rocks go with the world
    // manager's update).
    if (!g_paused) {
        if (CRigidBodyManager* bodies = CRigidBodyManager::Existing()) {
            bodies->Update(dt);
        }
    }
    OnFrameStage(FrameStage::Bodies);
    if (!g_paused) {
        CProjectileTable::UpdateParticles(dt);
    }
    CFpsCounter::GetInstance()->Sample(static_cast<float>(elapsed) * 0.001f);
    OnFrameStage(FrameStage::Particles);
    Render();
}

void CStandardApplication::Render() {
    // The worlds are drawn through their world cameras; the camera manager's camera then takes its
    // update up again for everything drawn over them.
    if (g_cameraManager != nullptr) {
        g_cameraManager->BeginUpdate();
        if (renderWorld_ && g_worldManager != nullptr) {
            g_worldManager->Render();
        }
        g_cameraManager->ResumeUpdate();
    }
    OnFrameStage(FrameStage::WorldDraw);
    RenderScene();
    // The debug texts need the camera's update: the frame rate from level 1, the world's
    // statistics (and above level 2 its debug drawing) from level 2.
    if (g_cameraManager != nullptr) {
        if (g_debugLevel >= 1) {
            CFpsCounter::GetInstance()->Render(g_font);
        }
        if (g_debugLevel > 1 && g_worldManager != nullptr) {
            g_worldManager->PrintStatistics(g_font);
        }
    }
    CInputManager::GetInstance()->DrawPointer();
    if (g_cameraManager != nullptr) {
        g_cameraManager->RenderOverlay();
        RenderCameraText();
    }
    if (g_hud != nullptr) {
        g_hud->Render();
    }
    // The rigid bodies' drag and the impact particles.
    if (CRigidBodyManager* bodies = CRigidBodyManager::Existing()) {
        bodies->Render();
    }
    CProjectileTable::RenderParticles();
    OnFrameStage(FrameStage::SceneDraw);
    if (g_cameraManager != nullptr) {
        g_cameraManager->EndUpdate();
        g_cameraManager->ShowRaster();
    }
    OnFrameStage(FrameStage::Present);
}

void CStandardApplication::RenderCameraText() {
    if (g_cameraManager == nullptr || !g_cameraManager->TextShown() || g_paused || g_font == nullptr) {
        return;
    }
    // In the camera text's colour; the font keeps its own for everything else.
    const OvRGBA fontColour = g_font->Colour();
    g_font->SetColour(g_cameraManager->TextColour());
    g_cameraManager->PrintInfo();
    g_font->SetColour(fontColour);
}

void CStandardApplication::ReadConfig() {
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser == nullptr) {
        return;
    }
    XML_SetUserData(parser, this);
    XML_UseParserAsHandlerArg(parser);
    XML_SetElementHandler(parser, StartElementCallback, EndElementCallback);
    SetConfigReadFault("");
    // A folder of its name opens, but does not read: said as what it is.
    const bool folder = DataFolderAt(configFileName_);
    const int fd = folder ? -1 : _open(configFileName_.c_str(), _O_RDONLY | _O_BINARY);
    SetConfigFileName(configFileName_.c_str());
    if (fd < 0) {
        SetConfigFileName(nullptr);
        g_stopOnError = true;
        const std::string text = std::string(kConfigNotFoundMessage) +
                                 (folder ? "\nThe file '" + configFileName_ + "' is a folder, not a file." : "");
        MessageBoxA(nullptr, text.c_str(), kErrorBoxTitle, MB_ICONHAND);
        XML_ParserFree(parser);
        return;
    }
    char buffer[kConfigReadChunk];
    g_openElements.clear();
    g_leftOutDepth = 0;
    depth_ = 0;
    ForgetUnknownElements();
    SetConfigRoot(nullptr, 0);
    for (;;) {
        const int count = _read(fd, buffer, sizeof buffer);
        if (count < 0) {
            SkelWarningMessage((configFileName_ + " could not be read to its end: what follows is left out").c_str());
            SetConfigReadFault(configFileName_ + " could not be read to its end: what follows was left out.");
            break;
        }
        const bool final = count < kConfigReadChunk;
        // Malformed XML ends the reading where it is; what was read stays.
        if (XML_Parse(parser, buffer, count, final ? 1 : 0) == XML_STATUS_ERROR) {
            const std::string fault = XmlFault(parser, configFileName_);
            SkelWarningMessage((fault + "; the file is read no further: what follows is left out").c_str());
            SetConfigReadFault(fault + "; the file was read no further: what follows was left out.");
            break;
        }
        if (final) {
            break;
        }
    }
    _close(fd);
    XML_ParserFree(parser);
    FoldLeftOutBeforeLevel();
    SetConfigFileName(nullptr);
}

void CStandardApplication::DispatchStartElement(const char* name, const char** attributes) {
    const int depth = depth_++;
    if (insideGraphicsSettings_) {
        if (Is(name, "RessourceArena")) {
            int size = static_cast<int>(resourceArenaSize_);
            if (ReadCheckedIntAttribute("size", attributes, 0, "size", "RessourceArena", kMinArenaSize, kMaxArenaSize,
                                        &size)) {
                resourceArenaSize_ = static_cast<OvUInt32>(size);
            }
        }
        return;
    }
    if (currentHandler_ != nullptr) {
        currentHandler_->StartElement(name, attributes);
        return;
    }
    // Inside a section no handler reads (one left out, "Audio"): nothing is read.
    if (depth > 1) {
        return;
    }
    CConfigSectionHandler* opened = nullptr;
    if (Is(name, "GraphicsGlobalSettings")) {
        insideGraphicsSettings_ = true;
    } else if (Is(name, "Worlds")) {
        SayLeftOutBeforeLevel(); // what came before it was out of order
        if (!OvResourcesSetArenaSize(resourceArenaSize_)) {
            ::ErrorBox(("The resource arena of " + std::to_string(resourceArenaSize_) +
                        " bytes ('size' of 'RessourceArena') cannot be made: the machine has no room for it.")
                           .c_str());
        }
        // One character set serves however many "Worlds" sections there are.
        if (charset_ == nullptr) {
            charset_ = OvCharsetCreate(&charsetForeground_, &charsetBackground_);
            if (charset_ == nullptr) {
                SkelErrorMessage("Cannot create raster charset.");
                return;
            }
        }
        // One world manager serves however many "Worlds" sections there are.
        if (g_worldManager == nullptr) {
            g_worldManager = new CWorldManager(scale_);
        }
        opened = g_worldManager;
    } else if (Is(name, "Debug")) {
        if (!ReadIntAttribute("level", attributes, 0, &g_debugLevel)) {
            ::ErrorBox(MissingAttributeMessage("level", "Debug").c_str());
        }
    } else if (Is(name, "Scale")) {
        // Without a value the scale is refused (said); one that is no scale stops the game.
        if (!ReadFloatAttribute("value", attributes, 0, &scale_)) {
            ConfigWarning("a 'Scale' without its 'value' is left out; the scale stays");
        }
    } else if (ConfigureLevelObject(name, attributes)) {
        // a level object, read at once and handed to the world manager; no section opens
    } else if (Is(name, "Application")) {
        opened = this;
    } else if (Is(name, "Light") && g_worldManager != nullptr) {
        delete lightUnderConstruction_;
        lightUnderConstruction_ = new CLight;
        opened = lightUnderConstruction_;
    } else if (Is(name, "Input")) {
        opened = CInputManager::GetInstance();
    } else if (Is(name, "Hud")) {
        // One start screen serves however many "Hud" sections there are; its images are read as
        // it is made.
        if (g_hud == nullptr) {
            g_hud = new CHud;
            g_hud->Init();
        }
        opened = g_hud;
    } else if (Is(name, "Physics")) {
        opened = CRigidBodyManager::GetInstance();
    } else if (Is(name, "Camera") && g_worldManager != nullptr) {
        // One camera manager serves however many "Camera" sections there are.
        if (g_cameraManager == nullptr) {
            const SkelState* shell = SkelGetState();
            g_cameraManager = new CCameraManager(scale_);
            g_cameraManager->CreateCamera(shell->width, shell->height, true);
            g_cameraManager->Resize(shell->width, shell->height);
            static CWorldPick pick;
            g_cameraManager->SetPickWorld(&pick);
        }
        opened = g_cameraManager;
    } else if (Is(name, "Character") && g_worldManager != nullptr) {
        // The profile joins the profile table at once (a full table refuses it with its message).
        if (const char* profileName = ReadTextAttribute("name", attributes, 0)) {
            auto* profile = new CCharacterProfile(profileName, scale_);
            if (CCharacterProfile::Add(profile)) {
                opened = profile;
            } else {
                delete profile;
            }
        } else {
            ConfigWarning("a 'Character' without its 'name' first is left out");
        }
    } else if ((Is(name, "Light") || Is(name, "Camera") || Is(name, "Character")) && g_worldManager == nullptr) {
        LeaveOutBeforeLevel(name, true);
    }
    // The level objects open theirs within the world manager, once it exists; until then they are
    // refused as with no world manager (said).
    if (opened != nullptr) {
        currentHandler_ = opened;
        opened->StartElement(name, attributes);
    }
}

void CStandardApplication::DispatchEndElement(const char* name) {
    depth_ = depth_ > 0 ? depth_ - 1 : 0;
    if (currentHandler_ != nullptr) {
        currentHandler_->EndElement(name);
    }
    // An element of a section's name inside a section is that section's to read: it ends nothing.
    if (depth_ > 1) {
        return;
    }
    if (Is(name, "GraphicsGlobalSettings")) {
        insideGraphicsSettings_ = false;
    }
    for (const char* section :
         {"Worlds", "Physics", "Hud", "Input", "Audio", "Character", "Application", "Light", "Camera"}) {
        if (Is(name, section)) {
            currentHandler_ = nullptr;
        }
    }
    // The end of "Light" hands the light under construction to the world manager (a light it
    // refuses is deleted); the end of "Camera" gives the worlds their world cameras made from the
    // camera manager.
    if (Is(name, "Light") && lightUnderConstruction_ != nullptr) {
        if (g_worldManager == nullptr || !g_worldManager->AddLight(lightUnderConstruction_)) {
            delete lightUnderConstruction_;
        }
        lightUnderConstruction_ = nullptr;
    }
    if (Is(name, "Camera") && g_cameraManager != nullptr && g_cameraManager->Camera() != nullptr &&
        g_worldManager != nullptr) {
        g_worldManager->AddCameras(g_cameraManager);
    }
}
