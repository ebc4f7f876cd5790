#pragma once
// The game: one player character and a team of soldier bots on the framework's level, the bots
// moved by the AI engine. They take cover from the player or come to him; F1 switches between the
// two. The application reads its own "Application" section of config.xml (player and bot starts,
// bot count, the AI world file), builds the AI world, binds each character to an AI entity, steps
// the AI once a frame and prints a two-line status text.

#include <cstdint>
#include <string>
#include <vector>

#include "demo/demo_character.h"
#include "framework/application.h"

class CCharacter;
class CConfigNode;
class CEntity;
class CMyTeam;
class CWorld;

// The AI engine's view of a framework character.
class CDemoCharacterLink : public IDemoCharacter {
public:
    explicit CDemoCharacterLink(CCharacter* character) : character_(character) {}

    int GetMovementState() const override;
    void SetMovementState(int state) override;
    float GetSpeed() const override;
    float GetForward() const override;
    float GetSideways() const override;
    void SetForward(float value) override;
    void SetSideways(float value) override;
    void SetTurnRate(float value) override;
    void SetAimPoint(const CVector3& point) override;
    void SetFiring() override;
    CVector3 GetMuzzle() const override;
    DemoCharacterFrame GetFrame() const override;
    float GetHealth() const override;
    float GetProfileWidth() const override;
    float GetProfileHeight() const override;
    bool GetBoneUp(int bone, CVector3* up) const override;

    CCharacter* Character() const { return character_; }

private:
    CCharacter* character_; // not owned
};

class CDunmarrowApplication : public CStandardApplication {
public:
    static constexpr int kTakeCover = 1;
    static constexpr int kComeToMe = 0;
    static constexpr int kMaxPathLength = 275;
    // The player and every bot share the framework's character table. The AI world loaded and the
    // framework's animation commands bound the bots further: each holds the player and the bots
    // (BotLimit).
    static constexpr int kMaxBots = 291;
    static constexpr std::size_t kAiPoolSize = 10000000;
    static constexpr const char* kIntroPage = ".\\HTML\\intro.html";

    // The process-wide application, made on first call with "config.xml".
    static CDunmarrowApplication* GetInstance();
    // Deletes the process-wide application (tools and tests that run it more than once).
    static void DestroyInstance();

    explicit CDunmarrowApplication(const char* configFileName);
    ~CDunmarrowApplication() override;

    bool StartElement(const char* name, const char** attributes) override;
    bool EndElement(const char* name) override;
    bool Init() override;
    void Update(float dt) override;
    void RenderScene() override;
    void Terminate() override;
    const char* GetTitle() override { return title_; }

    // Update's steps, in its order: F1 and the order the bots read, the AI world's step (the debug
    // lines cleared first), then each bot's and the player's update. Update runs them and then the
    // frame hook; a benchmark that times them apart calls them itself.
    void TakeOrder();
    void UpdateAi();
    void UpdateCharacters(float dt);

    // Replaces the configured bot count (tools); a negative value keeps the configuration's. The
    // same limit applies: false when above kMaxBots.
    bool OverrideBotCount(int count);
    // Replaces the x and z of the configured player's start (tools); its height stays the
    // configuration's.
    void OverridePlayerStart(float x, float z);
    // Whether a soldier fits at the player's start (floor within 1.5 m below it, not in a block):
    // the configuration's start is refused when not, a tool's is the tool's to judge.
    bool PlayerStartFits() const { return playerStartFits_; }
    // Called at the end of every Update (tools that watch the game); null for none.
    using FrameHook = void (*)(CDunmarrowApplication* application, void* user);
    void SetFrameHook(FrameHook hook, void* user) {
        frameHook_ = hook;
        frameHookUser_ = user;
    }

    // State for tools and tests.
    int Mode() const { return mode_; }
    int ModeToggled() const { return modeToggled_; }
    int BotCount() const { return botCount_; }
    // The most bots the game holds beside the player once the AI world is loaded (kMaxBots before).
    int BotLimit() const { return botLimit_; }
    const float* PlayerStart() const { return playerStart_; }
    const float* BotStart() const { return botStart_; }
    const char* AiPathData() const { return aiPathData_; }
    CCharacter* Player() const { return player_; }
    CCharacter* Bot(int i) const { return bots_.empty() ? nullptr : bots_[static_cast<std::size_t>(i)]; }
    bool HasBotArray() const { return !bots_.empty(); }
    CEntity* PlayerEntity() const { return playerEntity_; }
    CEntity* BotEntity(int i) const { return botEntities_[static_cast<std::size_t>(i)]; }
    CWorld* AiWorld() const { return aiWorld_; }
    CMyTeam* Team() const { return team_; }
    // The two lines RenderScene prints for the current mode.
    const char* StatusText() const { return mode_ == kTakeCover ? "Taking cover" : "Arriving"; }
    const char* HintText() const { return mode_ == kTakeCover ? "F1: Come to me" : "F1: Take cover"; }

private:
    bool ReadPosition(const char** attributes, float* out);
    // False, with the error box, when the configuration gave no level, camera or bots' section.
    bool CheckConfiguration();
    void DestroyCharacter(CCharacter*& character);

    char title_[17] = "ZUNA - Dunmarrow";
    CConfigNode* aiTree_ = nullptr;
    CWorld* aiWorld_ = nullptr;
    float playerStart_[3] = {0.0f, 0.0f, 0.0f};
    float botStart_[3] = {0.0f, 0.0f, 0.0f};
    std::vector<CCharacter*> bots_; // owned; empty when botCount_ < 1
    std::vector<CDemoCharacterLink> botLinks_;
    std::vector<CEntity*> botEntities_; // in the AI world
    int botCount_ = 0;
    int botOverride_ = -1;
    bool playerStartOverridden_ = false;
    float playerStartOverride_[2] = {0.0f, 0.0f}; // x, z
    bool playerStartFits_ = false;
    int botLimit_ = kMaxBots;
    CCharacter* player_ = nullptr; // owned
    CDemoCharacterLink* playerLink_ = nullptr;
    CEntity* playerEntity_ = nullptr;
    CMyTeam* team_ = nullptr;
    char aiPathData_[kMaxPathLength + 1] = {};
    bool inPlayerSection_ = false;
    bool inBotsSection_ = false;
    bool botsRead_ = false;        // a "Bots" element was read
    bool applicationRead_ = false; // the "Application" section was read
    // Where config.xml gave the Application section, the bots' count, and the player's and the
    // bots' starts ("config.xml line 43"; empty when it did not): the messages about them say it.
    std::string applicationPlace_;
    std::string botsPlace_;
    std::string playerPlace_;
    std::string playerStartPlace_;
    std::string botStartPlace_;
    int mode_ = kTakeCover;
    int modeToggled_ = 0;
    bool engineStarted_ = false;
    FrameHook frameHook_ = nullptr;
    void* frameHookUser_ = nullptr;
};

// The shell's application hook: every event goes to the application's HandleEvent.
std::int32_t AppEventHandler(std::int32_t event, void* parameter);
