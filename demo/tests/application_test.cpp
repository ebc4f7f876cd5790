// The game's application: its configuration section, the order F1 switches, and starts that fail
// without a usable AI world file.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "demo/dunmarrow_application.h"
#include "demo/game_order.h"
#include "framework/framework.h"
#include "framework/input_manager.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "platform/window.h"
#include "testing/scratch_dir.h"

namespace {

class DunmarrowApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = MakeTestScratchDir("dun_demo_application");
        logPath = (dir / "messages.log").string();
        setenv("PLATFORM_HEADLESS", "1", 1);
        setenv("PLATFORM_MSGBOX_LOG", logPath.c_str(), 1);
        PlatformWindowReset();
    }
    void TearDown() override {
        g_stopOnError = false;
        Demo::GetGameOrder() = Demo::GameOrder{};
        CInputManager::Destroy();
        PlatformWindowReset();
        unsetenv("PLATFORM_MSGBOX_LOG");
        std::filesystem::remove_all(dir);
    }
    std::string Log() const {
        std::ifstream in(logPath, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    static void PressF1() {
        SkelKeyRecord record = {0, 129};
        CInputManager::KeyboardHandler(SKEL_EVENT_KEY_DOWN, &record);
        CInputManager::KeyboardHandler(SKEL_EVENT_KEY_UP, &record);
    }

    std::filesystem::path dir;
    std::string logPath;
};

TEST_F(DunmarrowApplicationTest, ReadsItsSectionAndRefusesWhatItCannotHold) {
    CDunmarrowApplication app("config.xml");
    EXPECT_STREQ(app.GetTitle(), "ZUNA - Dunmarrow");
    EXPECT_EQ(app.Mode(), CDunmarrowApplication::kTakeCover);
    const char* playerAt[] = {"x", "1.5", "y", "2", "z", "-3", nullptr};
    const char* botsAt[] = {"x", "4", "y", "0.5", "z", "6", nullptr};
    const char* eight[] = {"number", "8", nullptr};
    const char* path[] = {"value", "data/world.ais", nullptr};
    const char* none[] = {nullptr};

    // Positions outside both sections are ignored; inside they land in their own start.
    EXPECT_TRUE(app.StartElement("InitialPosition", playerAt));
    EXPECT_EQ(app.PlayerStart()[0], 0.0f);
    EXPECT_TRUE(app.StartElement("player", none));
    EXPECT_TRUE(app.StartElement("InitialPosition", playerAt));
    EXPECT_TRUE(app.EndElement("PLAYER"));
    EXPECT_TRUE(app.StartElement("Bots", eight));
    EXPECT_TRUE(app.StartElement("initialposition", botsAt));
    EXPECT_TRUE(app.EndElement("Bots"));
    EXPECT_TRUE(app.StartElement("AiPathData", path));
    EXPECT_TRUE(app.StartElement("Anything", none));
    EXPECT_EQ(app.PlayerStart()[0], 1.5f);
    EXPECT_EQ(app.PlayerStart()[1], 2.0f);
    EXPECT_EQ(app.PlayerStart()[2], -3.0f);
    EXPECT_EQ(app.BotStart()[0], 4.0f);
    EXPECT_EQ(app.BotStart()[2], 6.0f);
    EXPECT_EQ(app.BotCount(), 8);
    EXPECT_STREQ(app.AiPathData(), "data/world.ais");

    EXPECT_EQ(Log(), "");

    // A missing coordinate, a first attribute other than "value", no number, a coordinate and a
    // number that do not read: each refused with the box, the values read before kept.
    const char* noZ[] = {"x", "1", "y", "2", nullptr};
    const char* other[] = {"file", "x.ais", nullptr};
    const char* badY[] = {"x", "1", "y", "up", "z", "3", nullptr};
    const char* countNamed[] = {"count", "8", nullptr};
    const char* notANumber[] = {"number", "8 bots", nullptr};
    EXPECT_TRUE(app.StartElement("Player", none));
    EXPECT_FALSE(app.StartElement("InitialPosition", noZ));
    EXPECT_FALSE(app.StartElement("InitialPosition", badY));
    EXPECT_TRUE(app.EndElement("Player"));
    EXPECT_FALSE(app.StartElement("AiPathData", other));
    EXPECT_FALSE(app.StartElement("Bots", none));
    EXPECT_FALSE(app.StartElement("Bots", countNamed));
    EXPECT_FALSE(app.StartElement("Bots", notANumber));
    EXPECT_TRUE(app.EndElement("Bots"));
    EXPECT_STREQ(app.AiPathData(), "data/world.ais");
    EXPECT_EQ(app.PlayerStart()[2], -3.0f);
    EXPECT_EQ(app.BotCount(), 8);
    const std::string update = " section.\nPlease update your XML file\n";
    EXPECT_EQ(Log(), "'z' attribute not found in 'InitialPosition'" + update +
                         "'y' attribute not found in 'InitialPosition'" + update + "Its value 'up' is not a number.\n" +
                         "'value' attribute not found in 'AiPathData'" + update +
                         "'number' attribute not found in 'Bots'" + update + "'number' attribute not found in 'Bots'" +
                         update + "'number' attribute not found in 'Bots'" + update +
                         "Its value '8 bots' is not a whole number.\n");
    std::filesystem::remove(logPath);

    // More bots than the character table holds beside the player, and a path too long to keep.
    const char* tooMany[] = {"number", "292", nullptr};
    const char* most[] = {"number", "291", nullptr};
    const char* negative[] = {"number", "-1", nullptr};
    EXPECT_FALSE(app.StartElement("Bots", tooMany));
    EXPECT_FALSE(app.StartElement("Bots", negative));
    EXPECT_EQ(app.BotCount(), 8);
    EXPECT_NE(Log().find("Its value 292 is outside 0 to 291."), std::string::npos) << Log();
    EXPECT_NE(Log().find("Its value -1 is outside 0 to 291."), std::string::npos) << Log();
    EXPECT_TRUE(app.StartElement("Bots", most));
    EXPECT_EQ(app.BotCount(), 291);
    EXPECT_FALSE(app.OverrideBotCount(292));
    const std::string longPath(276, 'a');
    const char* tooLong[] = {"value", longPath.c_str(), nullptr};
    EXPECT_FALSE(app.StartElement("AiPathData", tooLong));
    EXPECT_STREQ(app.AiPathData(), "data/world.ais");
    const std::string longest(275, 'b');
    const char* fits[] = {"value", longest.c_str(), nullptr};
    EXPECT_TRUE(app.StartElement("AiPathData", fits));
    EXPECT_EQ(std::string(app.AiPathData()), longest);
}

TEST_F(DunmarrowApplicationTest, F1SwitchesTheOrderForOneFrameAtATime) {
    CDunmarrowApplication app("config.xml");
    // No AI world and no characters: the frame touches only the order.
    struct Step {
        bool press;
        int mode, toggled;
        const char* status;
        const char* hint;
    };
    const Step steps[] = {
        {false, 1, 0, "Taking cover", "F1: Come to me"}, {true, 0, 1, "Arriving", "F1: Take cover"},
        {false, 0, 0, "Arriving", "F1: Take cover"},     {true, 1, 1, "Taking cover", "F1: Come to me"},
        {true, 0, 1, "Arriving", "F1: Take cover"},      {true, 1, 1, "Taking cover", "F1: Come to me"},
    };
    // Update runs its steps and then the frame hook; the steps called one by one (as a benchmark
    // does, on every other frame here) do the same without the hook.
    int hookCalls = 0;
    app.SetFrameHook([](CDunmarrowApplication*, void* user) { ++*static_cast<int*>(user); }, &hookCalls);
    int updates = 0;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        if (step.press) {
            PressF1();
        }
        if (i % 2 == 0) {
            app.Update(1.0f / 60.0f);
            ++updates;
        } else {
            app.TakeOrder();
            app.UpdateAi();
            app.UpdateCharacters(1.0f / 60.0f);
        }
        EXPECT_EQ(hookCalls, updates);
        EXPECT_EQ(app.Mode(), step.mode);
        EXPECT_EQ(app.ModeToggled(), step.toggled);
        EXPECT_EQ(Demo::GetGameOrder().mode, step.mode);
        EXPECT_EQ(Demo::GetGameOrder().modeToggled, step.toggled);
        EXPECT_STREQ(app.StatusText(), step.status);
        EXPECT_STREQ(app.HintText(), step.hint);
    }
    EXPECT_FALSE(app.HasBotArray());
}

// A missing file and files that are no AI world: Init fails with a message, Terminate cleans up,
// and a second start in the same process behaves the same.
TEST_F(DunmarrowApplicationTest, StartFailsWithoutAUsableAiWorldFile) {
    ASSERT_TRUE(OvTestEngineUp());
    std::ofstream(dir / "garbage.ais", std::ios::binary) << std::string("not an AI world file at all\n");
    std::ofstream(dir / "empty.ais", std::ios::binary);
    for (const std::string name : {"missing.ais", "garbage.ais", "empty.ais", "missing.ais"}) {
        SCOPED_TRACE(name);
        CDunmarrowApplication app("config.xml");
        const std::string path = (dir / name).string();
        const char* value[] = {"value", path.c_str(), nullptr};
        const char* four[] = {"number", "4", nullptr};
        ASSERT_TRUE(app.StartElement("AiPathData", value));
        ASSERT_TRUE(app.StartElement("Bots", four));
        EXPECT_FALSE(app.Init());
        EXPECT_EQ(app.AiWorld(), nullptr);
        EXPECT_EQ(app.Player(), nullptr);
        EXPECT_NE(Log().find(name), std::string::npos) << Log();
        app.Terminate();
        g_stopOnError = false;
    }
    EXPECT_TRUE(OvTestEngineDown());
}

} // namespace
