// The game's application: its configuration section, the order F1 switches, and starts that fail
// without a usable AI world file.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "demo/bot_placement.h"
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
    // One element with its attributes as name, value pairs.
    auto start = [&app](const char* element, std::vector<const char*> pairs = {}) {
        pairs.push_back(nullptr);
        return app.StartElement(element, pairs.data());
    };
    const std::vector<const char*> playerAt = {"x", "1.5", "y", "2", "z", "-3"};

    // Positions outside both sections are ignored; inside they land in their own start.
    EXPECT_TRUE(start("InitialPosition", playerAt));
    EXPECT_EQ(app.PlayerStart()[0], 0.0f);
    EXPECT_TRUE(start("player"));
    EXPECT_TRUE(start("InitialPosition", playerAt));
    EXPECT_TRUE(app.EndElement("PLAYER"));
    EXPECT_TRUE(start("Bots", {"number", "8"}));
    EXPECT_TRUE(start("initialposition", {"x", "4", "y", "0.5", "z", "6"}));
    EXPECT_TRUE(app.EndElement("Bots"));
    EXPECT_TRUE(start("AiPathData", {"value", "data/world.ais"}));
    EXPECT_TRUE(start("Anything"));
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
    EXPECT_TRUE(start("Player"));
    EXPECT_FALSE(start("InitialPosition", {"x", "1", "y", "2"}));
    EXPECT_FALSE(start("InitialPosition", {"x", "1", "y", "up", "z", "3"}));
    EXPECT_TRUE(app.EndElement("Player"));
    EXPECT_FALSE(start("AiPathData", {"file", "x.ais"}));
    EXPECT_FALSE(start("Bots"));
    EXPECT_FALSE(start("Bots", {"count", "8"}));
    EXPECT_FALSE(start("Bots", {"number", "8 bots"}));
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

    // More bots than the character table holds beside the player, and a path too long to keep;
    // a count below 0 is none (said), as 0 is.
    EXPECT_FALSE(start("Bots", {"number", "292"}));
    EXPECT_EQ(app.BotCount(), 8);
    EXPECT_NE(Log().find("Its value 292 is outside -2147483648 to 291."), std::string::npos) << Log();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(start("Bots", {"number", "-1"}));
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "'number' of 'Bots' is -1, below 0: the player plays alone, without bots"),
              std::string::npos);
    EXPECT_EQ(app.BotCount(), -1);
    EXPECT_TRUE(start("Bots", {"number", "291"}));
    EXPECT_EQ(app.BotCount(), 291);
    EXPECT_FALSE(app.OverrideBotCount(292));
    EXPECT_FALSE(start("AiPathData", {"value", std::string(276, 'a').c_str()}));
    EXPECT_STREQ(app.AiPathData(), "data/world.ais");
    const std::string longest(275, 'b');
    EXPECT_TRUE(start("AiPathData", {"value", longest.c_str()}));
    EXPECT_EQ(std::string(app.AiPathData()), longest);

    // A start may lie a million away either way; beyond it the number is no level's.
    EXPECT_TRUE(start("Player"));
    EXPECT_TRUE(start("InitialPosition", {"x", "1e6", "y", "-1e6", "z", "0"}));
    EXPECT_EQ(app.PlayerStart()[1], -1.0e6f);
    EXPECT_FALSE(start("InitialPosition", {"x", "1000001", "y", "0", "z", "0"}));
    EXPECT_EQ(app.PlayerStart()[0], 1.0e6f);
    EXPECT_NE(Log().find("Its value 1000001 is outside -1000000 to 1000000."), std::string::npos) << Log();
}

// A floor of 12 x 12 metres round the origin with a block across x = 1..3, z = -6..2: a soldier
// fits where his middle is on the floor half a metre from its edge and from the block.
bool FitsOnTestFloor(const float p[3], void* calls) {
    ++*static_cast<int*>(calls);
    const bool onFloor = p[0] >= -5.5f && p[0] <= 5.5f && p[2] >= -5.5f && p[2] <= 5.5f;
    const bool inBlock = p[0] > 0.5f && p[0] < 3.5f && p[2] > -6.5f && p[2] < 2.5f;
    return onFloor && !inBlock;
}

TEST(BotPlacement, StringWhileFreeThenRowsUntilTheFloorIsFull) {
    // The string of starts as the game draws it, from (-5, 0.45, -5) with the player at the origin:
    // it runs into the player, the block and off the floor, and the rows take the rest.
    const float start[3] = {-5.0f, 0.45f, -5.0f};
    const float player[3] = {0.0f, 0.45f, 0.0f};
    int calls = 0;
    Demo::CBotPlacer placer(start, player, FitsOnTestFloor, &calls);
    float string[3] = {start[0], start[1], start[2]};
    std::uint32_t seed = 7;
    std::vector<std::array<float, 3>> placed;
    int fromString = 0;
    int firstMoved = -1;
    for (;;) {
        seed = seed * 1103515245u + 12345u;
        string[0] += 4.0f * static_cast<float>((seed >> 16) & 0x7FFF) / 32767.0f;
        seed = seed * 1103515245u + 12345u;
        string[2] += static_cast<float>((seed >> 16) & 0x7FFF) / 32767.0f;
        std::array<float, 3> at = {99.0f, 99.0f, 99.0f};
        if (!placer.Place(string, at.data())) {
            EXPECT_EQ(at[0], 99.0f); // left alone
            break;
        }
        const bool onString = at == std::array<float, 3>{string[0], string[1], string[2]};
        fromString += onString ? 1 : 0;
        if (!onString && firstMoved < 0)
            firstMoved = static_cast<int>(placed.size());
        placed.push_back(at);
        ASSERT_LT(placed.size(), 200u);
    }
    // Every start fits, away from the player and from each other.
    int dummy = 0;
    for (std::size_t i = 0; i < placed.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(FitsOnTestFloor(placed[i].data(), &dummy));
        EXPECT_EQ(placed[i][1], 0.45f);
        EXPECT_GE(std::hypot(placed[i][0] - player[0], placed[i][2] - player[2]), Demo::CBotPlacer::kRoom);
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_GE(std::hypot(placed[i][0] - placed[j][0], placed[i][2] - placed[j][2]), Demo::CBotPlacer::kRoom);
    }
    // The first steps of the string are on free floor; the floor holds many more bots than the
    // string does, and every one placed off the string is counted.
    EXPECT_GE(fromString, 2);
    EXPECT_GT(placed.size(), 40u);
    EXPECT_EQ(placer.MovedCount(), static_cast<int>(placed.size()) - fromString);
    // The first bot off the string gets the start's row (half a spacing north of the start).
    ASSERT_GE(firstMoved, 0);
    EXPECT_EQ(placed[static_cast<std::size_t>(firstMoved)][2], -5.0f + 0.5f * Demo::CBotPlacer::kRowSpacing);
    // Each spot of the rows is tried once at most.
    EXPECT_LE(calls,
              2 * Demo::CBotPlacer::kRowSteps * Demo::CBotPlacer::kRowsEachWay + static_cast<int>(placed.size()) + 1)
        << placed.size() << " " << fromString;
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
