// The configuration reader: one case per message with its exact text, the silent refusals, the
// read chunks and malformed XML, and the positional attribute readers.

#include <algorithm>
#include <climits>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "test_app.h"

namespace {

const std::string kUpdate = " section.\nPlease update your XML file\n";

// Every field but the text and the file has the value of a configuration that sets nothing; a
// case with messages also stops the game.
struct ConfigCase {
    const char* what;
    std::string xml;                       // file contents; empty: no file at all
    std::string messages;                  // the message log afterwards, in order
    int debugLevel = 0;                    // g_debugLevel afterwards
    float scale = 1.0f;                    // the application's scale afterwards
    OvUInt32 arena = 0x800000;             // the resource arena size afterwards
    std::vector<std::string> section = {}; // elements the "Application" section handed the game
};

std::vector<ConfigCase> Cases() {
    // Each message names the file (FILE, the test's own) and the line in its cause.
    const std::string arena = "'size' attribute not found in 'RessourceArena'" + kUpdate;
    const std::string noArena = arena + "'RessourceArena' has no attribute 'size'; it has none (FILE line 1).\n";
    const std::string debug = "'level' attribute not found in 'Debug'" + kUpdate;
    auto scale = [](const std::string& cause, int line) {
        return "'value' attribute not found in 'Scale'" + kUpdate.substr(0, kUpdate.size() - 1) + "\nIts value " +
               cause + ". (FILE line " + std::to_string(line) + ")\n";
    };
    return {
        {"no file", "", "Configuration file not found\n config.xml should be added in root directory\n"},
        {"arena without size", "<Config><GraphicsGlobalSettings><RessourceArena/></GraphicsGlobalSettings></Config>",
         noArena},
        {"arena size not first",
         "<Config><GraphicsGlobalSettings><RessourceArena bytes=\"1\" size=\"2\"/></GraphicsGlobalSettings></Config>",
         arena + "'size' is attribute 2 of 2 there, out of its place: the attributes are read in their order (FILE "
                 "line 1).\n"},
        {"debug without level", "<Config><Debug/></Config>",
         debug + "'Debug' has no attribute 'level'; it has none (FILE line 1).\n"},
        {"debug level misnamed", "<Config><Debug levels=\"2\"/></Config>",
         debug + "'Debug' has no attribute 'level' among its 1 (FILE line 1).\n"},
        {"every message in order, parsing goes on",
         "<Config><GraphicsGlobalSettings><RessourceArena/></GraphicsGlobalSettings>\n<Debug/>"
         "<Scale value=\"2\"/></Config>",
         noArena + debug + "'Debug' has no attribute 'level'; it has none (FILE line 2).\n", 0, 2.0f},
        {"a scale that is no size or no number stops the game",
         "<Config><Scale value=\"0\"/>\n<Scale value=\"1e30\"/><Scale value=\"nan\"/><Scale value=\"4,5\"/></Config>",
         scale("0 is outside 0 (not included) to 1000000", 1) +
             scale("1e30 is outside 0 (not included) to 1000000", 2) +
             scale("nan is outside 0 (not included) to 1000000", 2) + scale("'4,5' is not a number", 2)},
        {"names in any case",
         "<config><GRAPHICSGLOBALSETTINGS><ressourcearena SIZE=\"70000\"/></GRAPHICSGLOBALSETTINGS>"
         "<DEBUG Level=\"2\"/><scale VALUE=\"0.5\"/></config>",
         "", 2, 0.5f, 70000},
        {"numbers that do not read keep the default", "<Config><Debug level=\"abc\"/></Config>", ""},
        {"numbers are read whole or not at all",
         "<Config><Debug level=\" 3x\"/><Debug level=\"4.5\"/><Debug level=\"1e30\"/><Debug level=\" 2 \"/>"
         "<Debug level=\"2xyz\"/><Debug level=\"9\"/><Debug level=\"-1\"/></Config>",
         "", 2},
        {"scale without value is refused without a box", "<Config><Scale/><Scale val=\"3\"/></Config>", ""},
        {"a scale of a million is taken", "<Config><Scale value=\"1e6\"/></Config>", "", 0, 1.0e6f},
        {"inside the graphics settings only the arena is read",
         "<Config><GraphicsGlobalSettings><Debug/><Scale value=\"9\"/><RessourceArena size=\"65536\"/>"
         "</GraphicsGlobalSettings></Config>",
         "", 0, 1.0f, 65536},
        {"an arena outside the graphics settings is ignored", "<Config><RessourceArena size=\"5\"/></Config>", ""},
        {"the application section takes what it knows inside it",
         "<Config><Application><Debug/><Bots number=\"2\"/></Application><Debug level=\"1\"/></Config>",
         "",
         1,
         1.0f,
         0x800000,
         {"<Application", "<Bots", "/Bots", "/Application"}},
        {"level objects, lights, cameras and characters need a world manager",
         "<Config><Switch/><Door px=\"1\"/><Light type=\"Ambient\"/><Camera/><Character name=\"a\"/>"
         "<Input/><Physics/><Audio/></Config>",
         ""},
        {"malformed XML ends the reading and keeps what was read",
         "<Config><Debug level=\"2\"/><<Scale value=\"3\"/></Config>", "", 2},
        {"an unclosed file keeps what was read", "<Config><Scale value=\"4\"/>", "", 0, 4.0f},
        {"not XML at all", "\xff\xfe\x00garbage", ""},
    };
}

TEST_F(FrameworkTest, EveryConfigurationCaseGivesItsMessage) {
    for (const ConfigCase& c : Cases()) {
        SCOPED_TRACE(c.what);
        std::remove(logPath.c_str());
        const std::string path = c.xml.empty() ? dir + "/missing.xml" : Write("config.xml", c.xml);
        TestApp app(path.c_str());
        app.ReadConfig();
        std::string messages = c.messages;
        for (std::size_t at = messages.find("FILE"); at != std::string::npos; at = messages.find("FILE", at)) {
            messages.replace(at, 4, path);
            at += path.size();
        }
        EXPECT_EQ(Log(), messages);
        EXPECT_EQ(g_stopOnError, !c.messages.empty());
        EXPECT_EQ(g_debugLevel, c.debugLevel);
        EXPECT_EQ(app.Scale(), c.scale);
        EXPECT_EQ(app.ResourceArenaSize(), c.arena);
        EXPECT_EQ(app.section, c.section);
        EXPECT_EQ(app.CurrentHandler(), nullptr);
    }
}

// A size or count is read whole and within its range, or refused with the box: the usual text,
// then the value, the range, the file and the line; the value read before stays.
TEST_F(FrameworkTest, SizesOutsideTheirRangeAreRefusedWithTheirCause) {
    const std::string head = "'size' attribute not found in 'RessourceArena'" + kUpdate;
    struct Case {
        const char* size;
        std::string cause; // empty: taken
    };
    const Case cases[] = {
        {"65536", ""},
        {" 268435456 ", ""},
        {"2147483647", ""}, // the machine is asked for it when the level is read
        {"65535", "Its value 65535 is outside 65536 to 2147483647."},
        {"0", "Its value 0 is outside 65536 to 2147483647."},
        {"-1", "Its value -1 is outside 65536 to 2147483647."},
        {"2147483648", "Its value 2147483648 is outside 65536 to 2147483647."},
        {"4294967295", "Its value 4294967295 is outside 65536 to 2147483647."},
        {"99999999999999999999", "Its value 99999999999999999999 is outside 65536 to 2147483647."},
        {"1e20", "Its value '1e20' is not a whole number."},
        {"8388608x", "Its value '8388608x' is not a whole number."},
        {"abc", "Its value 'abc' is not a whole number."},
        {"", "Its value '' is not a whole number."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::remove(logPath.c_str());
        g_stopOnError = false;
        const std::string path =
            Write("config.xml", std::string("<Config>\n<GraphicsGlobalSettings>\n<RessourceArena size=\"") + c.size +
                                    "\"/></GraphicsGlobalSettings></Config>");
        TestApp app(path.c_str());
        app.ReadConfig();
        const bool taken = c.cause.empty();
        EXPECT_EQ(Log(), taken ? "" : head.substr(0, head.size() - 1) + "\n" + c.cause + " (" + path + " line 3)\n");
        EXPECT_EQ(g_stopOnError, !taken);
        EXPECT_EQ(app.ResourceArenaSize(), taken ? static_cast<OvUInt32>(std::stoul(c.size)) : 0x800000u);
    }
}

// The reader hands the parser 1024 bytes at a time: files of one chunk exactly, of one byte
// more and of many chunks, with the element that matters split across a chunk boundary.
TEST_F(FrameworkTest, FilesOfOneAndManyChunks) {
    const std::string head = "<Config>";
    const std::string tail = "<Debug level=\"3\"/></Config>";
    for (std::size_t size :
         {std::size_t{1024}, std::size_t{1025}, std::size_t{1023}, std::size_t{2048}, std::size_t{5000}}) {
        for (std::size_t shift : {std::size_t{0}, std::size_t{5}, std::size_t{12}}) {
            SCOPED_TRACE(std::to_string(size) + " bytes, shift " + std::to_string(shift));
            const std::size_t pad = size - head.size() - tail.size() - shift;
            const std::string xml = head + std::string(pad, ' ') + tail + std::string(shift, '\n');
            ASSERT_EQ(xml.size(), size);
            TestApp app(Write("config.xml", xml).c_str());
            app.ReadConfig();
            EXPECT_EQ(g_debugLevel, 3);
            EXPECT_FALSE(g_stopOnError);
        }
    }
    EXPECT_EQ(Log(), "");
}

// Warnings go to the error stream: a number that does not read whole names its attribute, element
// and line and leaves the value as it was; malformed XML names its line, and an element left open
// the line it opens on. Every error box after such a reading says where it stopped.
TEST_F(FrameworkTest, NumbersThatDoNotReadAndMalformedXmlAreReportedWithTheirLines) {
    const std::string file = dir + "/config.xml";
    const std::string stop = "; the file is read no further: what follows is left out\n";
    struct Case {
        const char* xml;
        std::string said; // standard error, each line after "Warning: FILE line "
        std::string box;  // what an error box adds after the reading
    };
    const Case cases[] = {
        {"<Config>\n<Debug level=\"x\"/>\n<Debug level=\"\"/><Debug level=\"2\"/>\n<Debug level=\"3\"/>"
         "<Debug level=\"2xyz\"/>\n<Debug level=\"4\"/><</Config>",
         "2: 'level' of 'Debug' is 'x', not a whole number; the game uses 0 instead\n"
         "3: 'level' of 'Debug' is '', not a whole number; the game uses 0 instead\n"
         "4: 'level' of 'Debug' is '2xyz', not a whole number; the game uses 3 instead\n"
         "5: 'level' of 'Debug' is '4', outside 0 to 3; the game uses 3 instead\n"
         "5: not well-formed (invalid token)" +
             stop,
         "5: not well-formed (invalid token)"},
        {"<Config><Debug level=\"3\"/>\n<Application>\n<Bots number=\"2\">\n<AiPathData value=\"a\"/>\n</Application>\n"
         "<Debug level=\"2\"/>\n</Config>",
         "3: 'Bots' opened there is not closed (at line 5: mismatched tag)" + stop,
         "3: 'Bots' opened there is not closed (at line 5: mismatched tag)"},
        {"<Config>\n<Debug level=\"3\"/>\n<Application>\n<Bots",
         "3: 'Application' opened there is not closed (at line 4: unclosed token)" + stop,
         "3: 'Application' opened there is not closed (at line 4: unclosed token)"},
        // What an element left open holds is left out as its section does not know it, sections too.
        {"<Config><Debug level=\"3\"/>\n<Input><MouseMode Value=\"1\"/>\n<Debug level=\"2\"/>\n<Light type=\"Ambient\">"
         "<Color r=\"1\" g=\"1\" b=\"1\"/></Light>\n<Debug level=\"1\"/>\n</Config>",
         "3: 'Debug' is not an element the 'Input' section knows; it is left out\n"
         "4: 'Light' is not an element the 'Input' section knows; it is left out\n"
         "5: 'Debug' is not an element the 'Input' section knows; it is left out\n"
         "2: 'Input' opened there is not closed (at line 6: mismatched tag)" +
             stop,
         "2: 'Input' opened there is not closed (at line 6: mismatched tag)"},
        // Elements the game does not know or use, each with its line (and the name it may be a
        // misspelling of), but not what they hold; a misspelt section is named in the box that misses it.
        {"<Config><Debug level=\"3\"/>\n<Aplication><Bots number=\"2\"/><Foo/></Aplication>\n<Camera><Folow/>"
         "</Camera><GraphicsGlobalSettings><Debug/></GraphicsGlobalSettings><Audio><Debug "
         "level=\"1\"/></Audio></Config>",
         "2: 'Aplication' is not a section the game knows; it is left out (is it 'Application' misspelt?)\n"
         "3: a 'Camera' section before the 'Worlds' section is left out: it needs the level\n"
         "3: 'Folow' is not an element the 'Camera' section knows; it is left out (is it 'Follow' misspelt?)\n"
         "3: 'Debug' is not an element the 'GraphicsGlobalSettings' section knows; it is left out\n"
         "3: the 'Audio' section is left out: the game plays no sound\n",
         ""},
        // Elements a section reads, but only elsewhere: said with where they are read.
        {"<Config><Debug level=\"3\"/>\n<Character name=\"x\"><Speeds/><Actions><Geometry/></Actions></Character>\n"
         "<Light type=\"Ambient\"><Position/></Light><Camera><Fixed><InitialPosition/></Fixed></Camera>\n"
         "<Physics><Instances><Sphere/></Instances></Physics><Application><Player/><InitialPosition/></Application>"
         "</Config>",
         "2: a 'Character' section before the 'Worlds' section is left out: it needs the level\n"
         "2: 'Speeds' is not an element the 'Character' section knows at this place; it is left out: 'Speeds' is "
         "read only inside 'Actions'\n"
         "2: 'Geometry' is not an element the 'Character' section knows at this place; it is left out: 'Geometry' "
         "is not read inside 'Actions'\n"
         "3: 'Position' is not an element the 'Light' section knows at this place; it is left out: 'Position' is "
         "read only inside a 'Light' whose 'type' is 'Directional'\n"
         "3: 'InitialPosition' is not an element the 'Camera' section knows at this place; it is left out: "
         "'InitialPosition' is read only inside 'Free'\n"
         "4: 'Sphere' is not an element the 'Physics' section knows at this place; it is left out: 'Sphere' is read "
         "only inside 'Models'\n"
         "4: 'InitialPosition' is not an element the 'Application' section knows at this place; it is left out: "
         "'InitialPosition' is read only inside 'Player' or 'Bots'\n"
         "3: 2 more left out from this line on, as no 'Worlds' section comes before them: 'Light', 'Camera'\n",
         ""},
        // Without a 'Worlds' section the first left out says why; the rest are one line at the end.
        {"<Config><Debug level=\"3\"/>\n<Camera/>\n<Light/><Door/>\n<Door/><Character name=\"x\"/><Foo/></Config>",
         "2: a 'Camera' section before the 'Worlds' section is left out: it needs the level\n"
         "4: 'Foo' is not a section the game knows; it is left out\n"
         "3: 4 more left out from this line on, as no 'Worlds' section comes before them: 'Light', 2 'Door', "
         "'Character'\n",
         ""},
        // Refused without a box: said.
        {"<Config><Debug level=\"3\"/>\n<Scale/>\n<Light type=\"Ambient\"/><Switch/></Config>",
         "2: a 'Scale' without its 'value' is left out; the scale stays\n"
         "3: a 'Light' section before the 'Worlds' section is left out: it needs the level\n"
         "3: a 'Switch' before the 'Worlds' section is left out: it needs the level\n",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xml);
        std::remove(logPath.c_str());
        TestApp app(Write("config.xml", c.xml).c_str());
        testing::internal::CaptureStderr();
        app.ReadConfig();
        std::string said = c.said;
        for (std::size_t at = 0; at < said.size(); at = said.find('\n', at) + 1) {
            said.insert(at, "Warning: " + file + " line ");
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), said);
        EXPECT_EQ(g_debugLevel, 3);
        EXPECT_EQ(Log(), "");
        EXPECT_FALSE(g_stopOnError);
        ErrorBox("no AI world file");
        EXPECT_EQ(Log(), c.box.empty() ? "no AI world file\n"
                                       : "no AI world file\n" + file + " line " + c.box +
                                             "; the file was read no further: what follows was left out.\n");
    }
}

TEST(ConfigAttributes, ReadByPositionAndName) {
    const char* attrs[] = {"size", "12", "Flags", "0x10", "f", "2.5", nullptr};
    int i = -1;
    float f = -1.0f;
    EXPECT_TRUE(ReadIntAttribute("SIZE", attrs, 0, &i));
    EXPECT_EQ(i, 12);
    EXPECT_FALSE(ReadIntAttribute("size", attrs, 1, &i));
    testing::internal::CaptureStderr();
    EXPECT_TRUE(ReadIntAttribute("flags", attrs, 1, &i));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("'0x10', not a whole number"), std::string::npos);
    EXPECT_EQ(i, 12); // read whole or not at all
    EXPECT_TRUE(ReadFloatAttribute("f", attrs, 2, &f));
    EXPECT_EQ(f, 2.5f);
    EXPECT_STREQ(ReadTextAttribute("Size", attrs, 0), "12");
    EXPECT_EQ(ReadTextAttribute("size", attrs, 2), nullptr);
    // Positions past the end of the list are missing, whatever lies beyond it in memory.
    const char* one[] = {"filename", "a.bsp", nullptr};
    EXPECT_FALSE(ReadIntAttribute("flags", one, 2, &i));
    EXPECT_FALSE(ReadIntAttribute("flags", one, 1, &i));
    EXPECT_FALSE(ReadIntAttribute("flags", one, -1, &i));
    EXPECT_FALSE(ReadIntAttribute("flags", nullptr, 0, &i));
    // A value that is no number counts as present and leaves the number alone (with a warning
    // that, outside a configuration being read, has no line).
    const char* text[] = {"value", "abc", nullptr};
    i = 5;
    f = 5.0f;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(ReadIntAttribute("value", text, 0, &i));
    EXPECT_TRUE(ReadFloatAttribute("value", text, 0, &f));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: configuration: 'value' is 'abc', not a whole number; the game uses 5 instead\n"
              "Warning: configuration: 'value' is 'abc', not a number; the game uses 5 instead\n");
    EXPECT_EQ(i, 5);
    EXPECT_EQ(f, 5.0f);
    // Numbers beyond an int, not finite or beyond a million either way are never taken: each is
    // said and the number stays; a million itself is taken.
    const char* huge[] = {"a", "99999999999999999999", "b", "-1e999", "c",    "1e30", "d", "nan", "e", "-1000001",
                          "f", "2147483648",           "g", "1e6",    nullptr};
    testing::internal::CaptureStderr();
    EXPECT_TRUE(ReadIntAttribute("a", huge, 0, &i));
    EXPECT_TRUE(ReadIntAttribute("f", huge, 5, &i));
    EXPECT_EQ(i, 5);
    for (int k = 1; k < 6; ++k) {
        EXPECT_TRUE(ReadFloatAttribute(huge[2 * k], huge, k, &f));
    }
    EXPECT_EQ(f, 5.0f);
    const std::string said = testing::internal::GetCapturedStderr();
    for (const char* value : {"99999999999999999999", "-1e999", "1e30", "nan", "-1000001", "2147483648"}) {
        EXPECT_NE(said.find(std::string("is '") + value + "', outside -"), std::string::npos) << value;
    }
    EXPECT_TRUE(ReadFloatAttribute("g", huge, 6, &f));
    EXPECT_EQ(f, 1.0e6f);

    // Each number held to its own range, as the element it is read in has it: outside, it is said
    // with the value the game uses instead, or refused with the error box where the game cannot play
    // with it. Without a range of its own a number only has to be one.
    struct Ranged {
        const char* element;
        const char* attribute;
        const char* value;
        std::string said; // standard error, or (after "box: ") the cause under the box's first lines
    };
    const Ranged ranged[] = {
        {"Camera", "fov", "-40", "'fov' of 'Camera' is '-40', outside 1 to 179; the game uses 5 instead"},
        {"Speeds", "forwardRun", "4,5", "box: Its value '4,5' is not a number."},
        {"Geometry", "width", "-1",
         "box: Its value -1 is outside 0 (not included) to 1000000: a character has a height and a width."},
        {"color", "B", "0", ""},
        {"Position", "x", "-999999", ""},
    };
    auto read = [](const char* element, const char* attribute, const char* value, bool whole, int* i, float* f) {
        const char* list[] = {attribute, value, nullptr};
        g_stopOnError = false;
        testing::internal::CaptureStderr();
        SetConfigPlace(element, 0, list);
        EXPECT_TRUE(whole ? ReadIntAttribute(attribute, list, 0, i) : ReadFloatAttribute(attribute, list, 0, f));
        SetConfigPlace(nullptr, 0);
        return testing::internal::GetCapturedStderr();
    };
    for (const Ranged& r : ranged) {
        SCOPED_TRACE(std::string(r.element) + " " + r.attribute + " " + r.value);
        f = 5.0f;
        const std::string warned = read(r.element, r.attribute, r.value, false, &i, &f);
        const bool box = r.said.rfind("box: ", 0) == 0;
        EXPECT_EQ(g_stopOnError, box);
        EXPECT_EQ(LastNumberFate(), r.said.empty() ? NumberFate::Taken : box ? NumberFate::Refused : NumberFate::Kept);
        const std::string want = box ? r.said.substr(5) : "Warning: configuration: " + r.said + "\n";
        EXPECT_TRUE(box ? warned.find(want) != std::string::npos : warned == (r.said.empty() ? "" : want)) << warned;
        EXPECT_EQ(f == 5.0f, !r.said.empty());
    }
    // Every ranged attribute, by the reader the game reads it with, with a value held below, at the
    // ends of and above its range: a text outside it or no number is refused with the box (the value
    // stays), or said with the value the game goes on with, which is inside the range and the one stored.
    for (const ConfigNumberRange& r : ConfigNumberRanges()) {
        const std::string a = r.attribute;
        const bool whole = a == "level" || a == "axis" || a == "Value" || a == "accuracy";
        for (const double held : {r.least - 1.0, r.least, r.most, r.most + 1.0}) {
            for (const char* text : {"1e300", "-1e300", "x"}) {
                SCOPED_TRACE(std::string(r.element) + " " + a + " " + text + " over " + std::to_string(held));
                i = static_cast<int>(std::clamp(held, double{INT_MIN}, double{INT_MAX}));
                f = static_cast<float>(held);
                const double before = whole ? static_cast<double>(i) : static_cast<double>(f);
                const std::string warned = read(r.element, r.attribute, text, whole, &i, &f);
                const double used = whole ? static_cast<double>(i) : static_cast<double>(f);
                EXPECT_EQ(g_stopOnError, r.refuse);
                EXPECT_TRUE(!r.refuse || used == before) << used;
                if (r.refuse)
                    continue;
                EXPECT_TRUE(used >= r.least && used <= r.most && !(r.aboveLeast && used == r.least)) << used;
                const std::size_t at = warned.find("; the game uses ");
                ASSERT_NE(at, std::string::npos) << warned;
                EXPECT_EQ(static_cast<float>(std::stod(warned.substr(at + 16))), static_cast<float>(used)) << warned;
            }
        }
    }
    g_stopOnError = false;

    EXPECT_EQ(MissingAttributeMessage("value", "SolidSlide"),
              "'value' attribute not found in 'SolidSlide' section.\nPlease update your XML file");
}

} // namespace
