#include "demo/dunmarrow_application.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "ai/runtime/ais_reader.h"
#include "ai/runtime/class_desc.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/team.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "demo/ai_world_file.h"
#include "demo/bot_placement.h"
#include "demo/debug_lines.h"
#include "demo/default_classes.h"
#include "demo/game_order.h"
#include "demo/host_services.h"
#include "demo/my_team.h"
#include "demo/timer.h"
#include "demo/world_queries.h"
#include "framework/camera_manager.h"
#include "framework/animated_character.h"
#include "framework/character.h"
#include "framework/config_checks.h"
#include "framework/framework.h"
#include "framework/input_manager.h"
#include "framework/lights_font.h"
#include "framework/world_manager.h"
#include "graphics/core/stream.h"
#include "platform/crt.h"

namespace {

CDunmarrowApplication* g_instance = nullptr;

CVector3 ToVector(const OvV3d& v) { return CVector3(v.x, v.y, v.z); }
OvV3d ToV3d(const float* v) { return OvV3d{v[0], v[1], v[2]}; }

// A soldier fits where a line straight down from his middle meets the floor within 1.5 metres and
// the upright cylinder of his room, from his middle to well above any block or wall, meets
// nothing (its lines cross the top of a block he would stand in).
bool SoldierFitsInWorld(const float point[3], void*) {
    if (g_worldManager == nullptr) {
        return true;
    }
    const OvV3d middle{point[0], point[1], point[2]};
    if (g_worldManager->LineIntersect(middle, OvV3d{point[0], point[1] - 1.5f, point[2]}, false) == 0) {
        return false;
    }
    const OvV3d top{point[0], point[1] + 8.0f, point[2]};
    return g_worldManager->LineIntersect(middle, top, false) == 0 &&
           g_worldManager->CylinderIntersect(middle, top, 0.5f, false) == 0;
}

// "the 'Player' section (config.xml line 40)": what plays a character profile, for its box.
std::string PlayedBy(const char* section, const std::string& place) {
    return "the '" + std::string(section) + "' section" + (place.empty() ? "" : " (" + place + ")");
}

// Where the bots' brains read the order of this frame.
void PublishOrder(int mode, int toggled) {
    Demo::GameOrder& order = Demo::GetGameOrder();
    order.mode = mode;
    order.modeToggled = toggled;
}

} // namespace

// --- CDemoCharacterLink ---

int CDemoCharacterLink::GetMovementState() const { return character_->movementState; }
void CDemoCharacterLink::SetMovementState(int state) { character_->movementState = state; }
float CDemoCharacterLink::GetSpeed() const { return character_->GetSpeed(); }
float CDemoCharacterLink::GetForward() const { return character_->forward; }
float CDemoCharacterLink::GetSideways() const { return character_->sideways; }
void CDemoCharacterLink::SetForward(float value) { character_->forward = value; }
void CDemoCharacterLink::SetSideways(float value) { character_->sideways = value; }
void CDemoCharacterLink::SetTurnRate(float value) { character_->turnRate = value; }
void CDemoCharacterLink::SetAimPoint(const CVector3& point) {
    character_->SetAimPoint(OvV3d{point.x, point.y, point.z});
}
void CDemoCharacterLink::SetFiring() { character_->SetFiring(); }
float CDemoCharacterLink::GetHealth() const { return character_->GetHealth(); }

CVector3 CDemoCharacterLink::GetMuzzle() const {
    OvV3d position{}, right{}, up{}, at{};
    if (!character_->GetMuzzle(&position, &right, &up, &at)) {
        position = character_->GetPosition();
    }
    return ToVector(position);
}

DemoCharacterFrame CDemoCharacterLink::GetFrame() const {
    DemoCharacterFrame result{CVector3(1, 0, 0), CVector3(0, 1, 0), CVector3(0, 0, 1), CVector3(0, 0, 0)};
    if (const OvFrame* frame = character_->CClumpObject::GetFrame()) {
        const OvMatrix& m = frame->modelling;
        result.right = ToVector(m.right);
        result.up = ToVector(m.up);
        result.at = ToVector(m.at);
        result.position = ToVector(m.pos);
    }
    return result;
}

float CDemoCharacterLink::GetProfileWidth() const {
    const CCharacterProfile* profile = character_->GetProfile();
    return profile != nullptr ? profile->width : 0.0f;
}

float CDemoCharacterLink::GetProfileHeight() const {
    const CCharacterProfile* profile = character_->GetProfile();
    return profile != nullptr ? profile->height : 0.0f;
}

bool CDemoCharacterLink::GetBoneUp(int bone, CVector3* up) const {
    const OvMatrix* matrix = character_->GetBoneMatrix(bone);
    if (matrix == nullptr) {
        return false;
    }
    *up = ToVector(matrix->up);
    return true;
}

// --- CDunmarrowApplication ---

CDunmarrowApplication* CDunmarrowApplication::GetInstance() {
    if (g_instance == nullptr) {
        g_instance = new CDunmarrowApplication("config.xml");
    }
    return g_instance;
}

void CDunmarrowApplication::DestroyInstance() {
    delete g_instance;
    g_instance = nullptr;
}

CDunmarrowApplication::CDunmarrowApplication(const char* configFileName) : CStandardApplication(configFileName) {
    PublishOrder(mode_, 0);
    // The result is not looked at: a page that cannot be opened is said by the shell, and the game goes on.
    ShellExecuteA(nullptr, "open", kIntroPage, nullptr, nullptr, 3);
}

CDunmarrowApplication::~CDunmarrowApplication() { Terminate(); }

bool CDunmarrowApplication::ReadPosition(const char** attributes, float* out) {
    return ReadCheckedFloatAttribute("x", attributes, 0, "x", "InitialPosition", &out[0]) &&
           ReadCheckedFloatAttribute("y", attributes, 1, "y", "InitialPosition", &out[1]) &&
           ReadCheckedFloatAttribute("z", attributes, 2, "z", "InitialPosition", &out[2]);
}

bool CDunmarrowApplication::StartElement(const char* name, const char** attributes) {
    if (_stricmp(name, "Application") == 0) {
        applicationRead_ = true;
        applicationPlace_ = ConfigPlace();
        return true;
    }
    if (_stricmp(name, "Player") == 0) {
        inPlayerSection_ = true;
        playerPlace_ = ConfigPlace();
        return true;
    }
    if (_stricmp(name, "Bots") == 0) {
        inBotsSection_ = true;
        botsRead_ = true;
        botsPlace_ = ConfigPlace();
        // The character table holds the player and at most kMaxBots bots; a count below 1 means
        // none (said when it is below 0).
        if (!ReadCheckedIntAttribute("number", attributes, 0, "number", "Bots", INT_MIN, kMaxBots, &botCount_)) {
            return false;
        }
        if (botCount_ < 0) {
            ConfigWarning("'number' of 'Bots' is " + std::to_string(botCount_) +
                          ", below 0: the player plays alone, without bots");
        }
        return true;
    }
    if (_stricmp(name, "InitialPosition") == 0) {
        if (inPlayerSection_) {
            playerStartPlace_ = ConfigPlace();
            return ReadPosition(attributes, playerStart_);
        }
        if (inBotsSection_) {
            botStartPlace_ = ConfigPlace();
            return ReadPosition(attributes, botStart_);
        }
    }
    if (_stricmp(name, "AiPathData") == 0) {
        const char* value = ReadTextAttribute("value", attributes, 0);
        if (value == nullptr) {
            ErrorBox(MissingAttributeMessage("value", "AiPathData").c_str());
            return false;
        }
        // A longer path would be cut to another file's name: refuse it.
        if (std::strlen(value) > kMaxPathLength) {
            ErrorBox(AttributeFaultMessage("value", "AiPathData",
                                           "It is longer than " + std::to_string(kMaxPathLength) + " characters.")
                         .c_str());
            return false;
        }
        std::strcpy(aiPathData_, value);
        NoteConfigFile(value, "value");
        return true;
    }
    return true;
}

bool CDunmarrowApplication::EndElement(const char* name) {
    if (_stricmp(name, "Player") == 0) {
        inPlayerSection_ = false;
    } else if (_stricmp(name, "Bots") == 0) {
        inBotsSection_ = false;
    }
    return true;
}

bool CDunmarrowApplication::CheckConfiguration() {
    // What the game cannot play without: a level and a camera. Without the bots' section (and no
    // count from a tool) the player plays alone.
    const std::string file = ConfigFileName();
    std::string missing;
    const char* wanted = nullptr; // what is missing, which a misspelt element may stand for
    // " (config.xml line 6)": where the level's section starts, for what it lacks.
    const std::string worldsPlace = g_worldManager == nullptr || g_worldManager->SectionPlace().empty()
                                        ? ""
                                        : " (" + g_worldManager->SectionPlace() + ")";
    // " its 'Config' element (config.xml line 2)": the element that holds the sections.
    const std::string root = ConfigRootPlace().empty() ? " it" : " " + ConfigRootPlace();
    if (g_worldManager == nullptr) {
        missing = "no level:" + root + " has no 'Worlds' section";
        wanted = "Worlds";
    } else if (g_worldManager->WorldCount() == 0) {
        missing = "no level: its 'Worlds' section" + worldsPlace + " loads no 'World'";
        wanted = "World";
    } else if (g_cameraManager == nullptr) {
        missing = "no 'Camera' section:" + root + " has none after its 'Worlds' section" + worldsPlace;
        wanted = "Camera";
    }
    if (wanted != nullptr) {
        // A misspelt section or element is said with the line it stands on.
        const std::string misspelt = UnknownElementInPlaceOf(wanted);
        ErrorBox((file + " has " + missing + "." + (misspelt.empty() ? "" : "\n" + misspelt + ".") +
                  "\nPlease update your XML file")
                     .c_str());
        return false;
    }
    if (!botsRead_ && botOverride_ < 0) {
        SkelWarningMessage(((applicationPlace_.empty() ? file : applicationPlace_) +
                            ": its 'Application' section has no 'Bots' section: the player plays alone, without bots")
                               .c_str());
    }
    // A start not given is 0, 0, 0: said with the section that misses it (a tool's start is its own).
    auto noStart = [&](const char* section, const std::string& place, const char* who) {
        const std::string at = !place.empty() ? place : !applicationPlace_.empty() ? applicationPlace_ : file;
        SkelWarningMessage((at + ": " +
                            (place.empty() ? "no '" + std::string(section) + "' section gives an 'InitialPosition'"
                                           : "its '" + std::string(section) + "' section gives no 'InitialPosition'") +
                            ": " + who + " 0, 0, 0")
                               .c_str());
    };
    if (playerStartPlace_.empty() && !playerStartOverridden_) {
        noStart("Player", playerPlace_, "the player starts at");
    }
    if (botStartPlace_.empty() && botCount_ > 0) {
        noStart("Bots", botsPlace_, "the bots start near");
    }
    return true;
}

bool CDunmarrowApplication::OverrideBotCount(int count) {
    if (count > kMaxBots) {
        return false;
    }
    botOverride_ = count;
    return true;
}

void CDunmarrowApplication::OverridePlayerStart(float x, float z) {
    playerStartOverridden_ = true;
    playerStartOverride_[0] = x;
    playerStartOverride_[1] = z;
}

bool CDunmarrowApplication::Init() {
    SetWindowHandle(SkelGetWindowHandle());
    if (botOverride_ >= 0) {
        botCount_ = botOverride_;
    }
    if (playerStartOverridden_) {
        playerStart_[0] = playerStartOverride_[0];
        playerStart_[2] = playerStartOverride_[1];
    }
    if (CDefaultEntityClass::s_desc.GetIndex() == -1 || CDefaultActionClass::s_desc.GetIndex() == -1) {
        return false;
    }
    if (!Demo::CheckAiClasses()) {
        return false;
    }
    CHostServices services{};
    DemoServices::Fill(&services);
    Demo::TimerInit();
    // The AI's line queries see the framework's world, dynamic objects included.
    DemoWorldQueries::SetWorldManager(nullptr);
    DemoWorldQueries::Install(&services);
    if (!Vusk::Initialise(&services)) {
        return false;
    }
    engineStarted_ = true;
    OvWorld* worlds[DemoServices::kMaxCollisionWorlds] = {};
    int worldCount = 0;
    for (int i = 0; g_worldManager != nullptr && i < g_worldManager->WorldCount() &&
                    worldCount < DemoServices::kMaxCollisionWorlds;
         ++i) {
        worlds[worldCount++] = g_worldManager->GetWorld(i);
    }
    DemoServices::SetCollisionWorlds(worlds, worldCount);

    // Without the Application section's "AiPathData" there is no AI world to build.
    if (aiPathData_[0] == '\0') {
        // A file not read to its end is said by the box itself, with where the reading stopped.
        // A misspelt section or element is said with the line it stands on.
        const std::string misspelt = UnknownElementInPlaceOf(applicationRead_ ? "AiPathData" : "Application");
        const std::string holder = applicationRead_ ? "its 'Application' section" +
                                                          (applicationPlace_.empty() ? "" : " (" + applicationPlace_ + ")")
                                   : ConfigRootPlace().empty() ? "it"
                                                               : ConfigRootPlace();
        ErrorBox(
            (std::string(ConfigFileName()) + " names no AI world file: " + holder + " has no " +
             (applicationRead_ ? "'AiPathData'" : "'Application' section") +
             "." + (misspelt.empty() ? "" : "\n" + misspelt + ".") + "\nPlease update your XML file")
                .c_str());
        return false;
    }
    Demo::AiWorldFile aiFile;
    std::string fault;
    const bool aiFileLoaded = Demo::LoadAiWorld(aiPathData_, kAiPoolSize, &aiFile, &fault);
    aiTree_ = aiFile.tree;
    aiWorld_ = aiFile.world;
    if (!aiFileLoaded) {
        FileErrorBox(aiPathData_, fault);
        return false;
    }
    // The world holds the player and the bots: its entity limit bounds the bots, as the
    // framework's animation commands do.
    const int worldLimit = static_cast<int>(aiWorld_->GetMaxEntity()) - 1;
    botLimit_ = std::max(0, std::min({kMaxBots, worldLimit, kMaxAnimatedCharacters - 1}));
    if (botCount_ > botLimit_) {
        ErrorBox(("The game holds at most " + std::to_string(botLimit_) + " bots, not " + std::to_string(botCount_) +
                  ": the AI world file '" + std::string(aiPathData_) + "' holds " +
                  std::to_string(aiWorld_->GetMaxEntity()) + " entities and the animation commands serve " +
                  std::to_string(kMaxAnimatedCharacters) + " characters, the player among them" +
                  (botsPlace_.empty() ? std::string() : ".\nThe count is 'number' of 'Bots', " + botsPlace_ + "."))
                     .c_str());
        return false;
    }
    if (!DemoDebugLines::Open(Vusk::GetWorldOneMeter(aiWorld_))) {
        SkelWarningMessage("Can't initialise debug rendering system");
    }
    if (!CheckConfiguration()) {
        return false;
    }
    // The player and every bot take a moving body, as the level's own do: the box says the count.
    if (g_worldManager != nullptr && !g_worldManager->RoomForMovingBodies(1 + std::max(botCount_, 0))) {
        return false;
    }
    if (botCount_ > 0) {
        bots_.assign(static_cast<std::size_t>(botCount_), nullptr);
        botEntities_.assign(static_cast<std::size_t>(botCount_), nullptr);
        botLinks_.reserve(static_cast<std::size_t>(botCount_));
    }

    // The player starts where a soldier fits, as each bot does: on the floor, clear of blocks (a
    // start a tool gave is the tool's to choose).
    playerStartFits_ = SoldierFitsInWorld(playerStart_, nullptr);
    if (!playerStartOverridden_ && !playerStartFits_) {
        char start[96];
        std::snprintf(start, sizeof start, "(%g, %g, %g)", playerStart_[0], playerStart_[1], playerStart_[2]);
        ErrorBox(("No free floor for the player\nThe player's start " + std::string(start) +
                  ", the 'InitialPosition' of the 'Player' section in " +
                  (playerStartPlace_.empty() ? std::string(ConfigFileName()) : playerStartPlace_) +
                  ", has no floor within 1.5 m below it, or stands in a block.")
                     .c_str());
        return false;
    }
    player_ = new CCharacter;
    // A box shown while a character is made (its model, its body) ends the start: the bots would
    // show it again.
    if (!player_->InitFromProfile("BlueSoldier", ToV3d(playerStart_), PlayedBy("Player", playerPlace_)) ||
        g_stopOnError) {
        return false;
    }
    player_->SetPosition(ToV3d(playerStart_));
    player_->SetYRotation(100.0f);
    player_->movementState = kMoveRun;
    player_->SetInputControlled(true);
    player_->SetAnimate(true);
    player_->SetVisible(true);
    if (g_worldManager != nullptr) {
        g_worldManager->AddObject(player_);
    }
    playerLink_ = new CDemoCharacterLink(player_);

    CConfigNode* definition = Vusk::ExpandEntityDefinition(aiWorld_, "Player");
    if (definition == nullptr) {
        FileErrorBox(aiPathData_, Demo::MissingEntityMessage(aiPathData_, "Player", aiFile.whole));
        g_frameworkExit(-2);
        return false; // only when the exit was intercepted
    }
    playerEntity_ = Vusk::CreateEntity("Player", definition, Vusk::GetClassBitMask(), playerLink_);
    Vusk::ReleaseTree(definition);
    if (playerEntity_ == nullptr || !Vusk::AddEntity(aiWorld_, playerEntity_)) {
        FileErrorBox(aiPathData_,
                     "Cannot create the player's AI entity\nIts definition \"Player\" in the AI world file '" +
                         std::string(aiPathData_) + "' does not make an entity: the file is damaged.");
        return false;
    }
    // A tree cut short may still hold the player: the rest of the file is missing all the same.
    if (!aiFile.whole) {
        FileErrorBox(aiPathData_, "The AI world file '" + std::string(aiPathData_) +
                                      "' is damaged or cut short: its tree does not read to its end.");
        return false;
    }

    CConfigNode* teamDefinition = Vusk::FindTeamDefinition(aiWorld_, "Dunmarrow");
    const bool teamDefinitionFound = teamDefinition != nullptr;
    team_ = dynamic_cast<CMyTeam*>(
        Vusk::CreateTeam(teamDefinition, static_cast<std::uint32_t>(botCount_ > 0 ? botCount_ : 0), nullptr));
    Vusk::DeleteTree(teamDefinition);
    if (team_ == nullptr) {
        FileErrorBox(aiPathData_,
                     "Cannot create the bots' team \"Dunmarrow\" of the AI world file '" + std::string(aiPathData_) +
                         "'\n" +
                         (teamDefinitionFound ? "Its team definition, or the world's 'MaxTeam', is damaged."
                                              : "The file holds no team definition \"Dunmarrow\".") +
                         (aiFile.whole ? "" : " The file is cut short."));
        return false;
    }

    CConfigNode* guard = Vusk::ExpandEntityDefinition(aiWorld_, "Guard");
    bool ok = guard != nullptr || botCount_ < 1;
    const float configuredStart[3] = {botStart_[0], botStart_[1], botStart_[2]};
    Demo::CBotPlacer placer(configuredStart, playerStart_, SoldierFitsInWorld, nullptr);
    // A box shown while a bot is made (its animations, its AI entity) ends the start, as one of
    // its model does.
    for (int i = 0; ok && !g_stopOnError && i < botCount_; ++i) {
        auto* bot = new CCharacter;
        bots_[static_cast<std::size_t>(i)] = bot;
        if (!bot->InitFromProfile("RedSoldier", ToV3d(botStart_), PlayedBy("Bots", botsPlace_)) || g_stopOnError) {
            ok = false;
            break;
        }
        const float r1 = static_cast<float>(crt_rand()) / static_cast<float>(CRT_RAND_MAX);
        const float r2 = static_cast<float>(crt_rand()) / static_cast<float>(CRT_RAND_MAX);
        botStart_[0] += 4.0f * r1;
        botStart_[2] += r2;
        // The string of starts while it stays on free floor, else the next free spot.
        float at[3];
        if (!placer.Place(botStart_, at)) {
            char start[96];
            std::snprintf(start, sizeof start, "(%g, %g, %g)", configuredStart[0], configuredStart[1],
                          configuredStart[2]);
            ErrorBox(("No free floor left for bot " + std::to_string(i) + "\nThe level has no free floor " +
                      (i == 0 ? "" : "left ") + "near the bots' start " + start +
                      ", the 'InitialPosition' of the 'Bots' section in " +
                      (botStartPlace_.empty() ? std::string(ConfigFileName()) : botStartPlace_) + ".")
                         .c_str());
            ok = false;
            break;
        }
        bot->SetPosition(ToV3d(at));
        bot->SetYRotation(100.0f);
        bot->movementState = kMoveRun;
        bot->SetInputControlled(false);
        bot->SetAnimate(true);
        if (g_worldManager != nullptr) {
            g_worldManager->AddObject(bot);
        }
        botLinks_.emplace_back(bot);
        char name[32];
        std::snprintf(name, sizeof name, "Soldier%d", i);
        CEntity* entity = Vusk::CreateEntity(name, guard, Vusk::GetClassBitMask(), &botLinks_.back());
        if (entity == nullptr || !Vusk::AddEntity(aiWorld_, entity)) {
            ErrorBox(("Cannot create the AI entity " + std::string(name)).c_str());
            ok = false;
            break;
        }
        botEntities_[static_cast<std::size_t>(i)] = entity;
        team_->AddMember(entity);
    }
    if (guard != nullptr) {
        Vusk::ReleaseTree(guard);
    } else if (botCount_ > 0) {
        FileErrorBox(aiPathData_, Demo::MissingEntityMessage(aiPathData_, "Guard", aiFile.whole));
    }
    if (!ok || g_stopOnError) {
        return false;
    }
    if (g_worldManager != nullptr) {
        g_worldManager->SetCylinderShape(16.0f, 1.0f);
    }
    return true;
}

void CDunmarrowApplication::Update(float dt) {
    TakeOrder();
    UpdateAi();
    UpdateCharacters(dt);
    if (frameHook_ != nullptr) {
        frameHook_(this, frameHookUser_);
    }
}

void CDunmarrowApplication::TakeOrder() {
    if (CInputManager::GetInstance()->TakeFunctionKeyRequest(1)) {
        modeToggled_ = 1;
        if (mode_ == kTakeCover) {
            mode_ = kComeToMe;
        } else if (mode_ == kComeToMe) {
            mode_ = kTakeCover;
        }
    } else {
        modeToggled_ = 0;
    }
    PublishOrder(mode_, modeToggled_);
}

void CDunmarrowApplication::UpdateAi() {
    DemoDebugLines::Clear();
    Vusk::UpdateWorld(aiWorld_);
}

void CDunmarrowApplication::UpdateCharacters(float dt) {
    for (CCharacter* bot : bots_) {
        if (bot != nullptr) {
            bot->Update(dt);
        }
    }
    if (player_ != nullptr) {
        player_->Update(dt);
    }
}

void CDunmarrowApplication::RenderScene() {
    DemoDebugLines::Render();
    if (player_ != nullptr) {
        player_->RenderProjectiles();
    }
    for (CCharacter* bot : bots_) {
        if (bot != nullptr) {
            bot->RenderInfo(g_font);
        }
    }
    if (player_ != nullptr) {
        player_->RenderInfo(g_font);
    }
    for (CCharacter* bot : bots_) {
        if (bot != nullptr) {
            bot->RenderProjectiles();
        }
    }
    // The order, not while the start screen holds the game: it would show beside the screen's text.
    if (g_font != nullptr && !g_paused) {
        g_font->Print(StatusText(), OvV2d{0.7f, 0.2f}, 0.03f);
        g_font->Print(HintText(), OvV2d{0.7f, 0.15f}, 0.03f);
    }
}

void CDunmarrowApplication::DestroyCharacter(CCharacter*& character) {
    if (character == nullptr) {
        return;
    }
    if (g_worldManager != nullptr) {
        g_worldManager->RemoveObject(character);
    }
    character->Release();
    delete character;
    character = nullptr;
}

void CDunmarrowApplication::Terminate() {
    DemoDebugLines::Close();
    if (team_ != nullptr) {
        Vusk::DestroyTeam(team_);
        team_ = nullptr;
    }
    // The AI world goes before the characters its entities point at, and the engine with it, so
    // that a later start begins afresh.
    delete aiWorld_;
    aiWorld_ = nullptr;
    if (aiTree_ != nullptr) {
        Vusk::DeleteTree(aiTree_);
        aiTree_ = nullptr;
    }
    if (engineStarted_) {
        Vusk::ReleaseEngine();
        engineStarted_ = false;
    }
    playerEntity_ = nullptr;
    botEntities_.clear();
    for (CCharacter*& bot : bots_) {
        DestroyCharacter(bot);
    }
    bots_.clear();
    botLinks_.clear();
    DestroyCharacter(player_);
    delete playerLink_;
    playerLink_ = nullptr;
}
