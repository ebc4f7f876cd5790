#pragma once
// The framework's test application, the application hook that reaches it, a fake millisecond
// clock and a message-box log read back per test.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/application.h"
#include "framework/framework.h"

class TestApp : public CStandardApplication {
public:
    explicit TestApp(const char* configFile) : CStandardApplication(configFile) {}

    bool Init() override {
        ++inits;
        return initResult;
    }
    void Update(float dt) override {
        updates.push_back(dt);
        stages += "update ";
    }
    void RenderScene() override {
        ++renders;
        stages += "scene ";
    }
    void Terminate() override { ++terminates; }
    const char* GetTitle() override { return "Framework Test"; }
    bool StartElement(const char* name, const char** /*attributes*/) override {
        section.push_back(std::string("<") + name);
        return true;
    }
    bool EndElement(const char* name) override {
        section.push_back(std::string("/") + name);
        return true;
    }

    // The test picks the device itself: the test drivers offer no video modes to choose from.
    std::int32_t HandleEvent(std::int32_t event, void* parameter) override {
        if (event == SKEL_EVENT_SELECT_DEVICE) {
            return SKEL_EVENT_HANDLED;
        }
        return CStandardApplication::HandleEvent(event, parameter);
    }

    void OnFrameStage(FrameStage stage) override {
        static const char* const kNames[] = {"input",     "world",      "hud-camera", "bodies",
                                             "particles", "world-draw", "scene-draw", "present"};
        stages += kNames[static_cast<int>(stage)];
        stages += ' ';
    }

    void SetFixedStep(float seconds) {
        fixedStepSet_ = true;
        fixedStep_ = seconds;
    }

    bool initResult = true;
    int inits = 0;
    int renders = 0;
    int terminates = 0;
    std::vector<float> updates;
    std::vector<std::string> section; // elements the "Application" section handed the game
    std::string stages;               // the frame stages ended, the update and the scene, in order
};

// The application the hook hands events to (null: none, every event is "not handled").
inline CStandardApplication* g_testApp = nullptr;

// The fake clock the frame reads.
inline DWORD g_fakeNow = 0;
inline DWORD FakeClock() { return g_fakeNow; }

// A headless window layer whose message boxes go to a fresh log file; Log() reads it.
struct FrameworkTest : ::testing::Test {
    std::string logPath;
    std::string dir;

    void SetUp() override;
    void TearDown() override;
    std::string Log() const;
    // Writes a file in the test's folder and returns its path.
    std::string Write(const std::string& name, const std::string& text) const;
};
