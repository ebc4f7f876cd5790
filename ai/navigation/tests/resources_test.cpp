// Named resources: the manager shape (keys, duplicates, growth), scripts, path-way blocks built byte by
// byte, neural nets (evaluation, file round trip, refusals), and all three packed into a world file,
// read by the engine's reader and loaded by the world's managers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "ai/navigation/neural_net.h"
#include "ai/navigation/path_way.h"
#include "ai/navigation/resource_manager.h"
#include "ai/navigation/tests/nav_test_support.h"
#include "ai/runtime/ais_reader.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "tools/ais_format/ais_format.h"
#include "tools/aires/resource_text.h"
#include "platform/process.h"

namespace {

using navtest::Add;
using navtest::Bytes;

class ResourcesTest : public navtest::NavTest {
protected:
  void SetUp() override {
    navtest::NavTest::SetUp();
    m_tree = new CConfigNode();
  }
  void TearDown() override {
    delete m_tree;  // engine memory: back before the engine shuts down
    Vusk::ReleaseAisReader();
    navtest::NavTest::TearDown();
  }
  // A "RawData" child holding bytes in memory.
  static CConfigNode* AddRaw(CConfigNode* parent, const Bytes& bytes) {
    CConfigNode* node = Add(parent, "RawData");
    EXPECT_TRUE(Vusk::GetAisReader()->AttachMemoryBlock(node, bytes.data(), uint32_t(bytes.size())));
    return node;
  }
  // Loads a resource of type T from bytes; the raw node lives in m_tree.
  template <class T> bool LoadFrom(T& resource, const Bytes& bytes) { return resource.Load(AddRaw(m_tree, bytes)); }

  CConfigNode* m_tree = nullptr;
};
AI_ENGINE_TEST_SUITE(ResourcesTest);

AiRes::PathWayRecord Position(uint8_t type, float x, float y, float z) {
  AiRes::PathWayRecord r;
  r.type = type;
  r.x = x, r.y = y, r.z = z;
  return r;
}
AiRes::PathWayRecord Command(uint8_t type, float value, const std::string& text = "") {
  AiRes::PathWayRecord r;
  r.type = type;
  r.value = value;
  r.text = text;
  return r;
}

TEST_P(ResourcesTest, ManagerKeysNamesDuplicatesAndGrowth) {
  CScriptManager manager;
  CConfigNode definition;
  Add(&definition, "Class", "CScriptManager");
  for (int i = 0; i < 9; ++i) {
    CConfigNode* entry = Add(&definition, i % 2 ? "SCRIPT" : "Script", nullptr, ("s" + std::to_string(i)).c_str());
    AddRaw(entry, i == 0 ? Bytes{} : Bytes(i, uint8_t('a' + i)));
  }
  ASSERT_TRUE(manager.Init(&definition));
  ASSERT_EQ(manager.GetEntryCount(), 9u);
  EXPECT_EQ(manager.GetCapacity(), 16u);
  for (uint32_t i = 0; i < 9; ++i) {
    EXPECT_STREQ(manager.GetEntry(i)->m_name, ("s" + std::to_string(i)).c_str());
    const CScript* script = manager.FindScript(("S" + std::to_string(i)).c_str());
    ASSERT_NE(script, nullptr);
    EXPECT_EQ(script->GetSize(), i);
    EXPECT_EQ(std::string(script->GetText()), std::string(i, char('a' + i)));
  }
  // A name held already (in another case), a name too long for an entry, missing pieces: refused.
  CConfigNode extra;
  EXPECT_FALSE(manager.AddResource("S3", AddRaw(&extra, Bytes{1})));
  EXPECT_FALSE(manager.AddResource(std::string(128, 'n').c_str(), AddRaw(&extra, Bytes{1})));
  EXPECT_TRUE(manager.AddResource(std::string(127, 'n').c_str(), AddRaw(&extra, Bytes{1})));
  EXPECT_FALSE(manager.AddResource(nullptr, AddRaw(&extra, Bytes{1})));
  EXPECT_TRUE(manager.AddResource("", AddRaw(&extra, Bytes{1})));  // an empty name is a name
  EXPECT_NE(manager.FindResource(""), nullptr);
  CConfigNode noRaw, noLabel, otherKey;
  noRaw.SetName("Script");
  noRaw.SetLabel("x");
  noLabel.SetName("Script");
  AddRaw(&noLabel, Bytes{1});
  otherKey.SetName("PathWay");
  otherKey.SetLabel("y");
  AddRaw(&otherKey, Bytes{1});
  EXPECT_FALSE(manager.ReadParam(&noRaw));
  EXPECT_FALSE(manager.ReadParam(&noLabel));
  EXPECT_FALSE(manager.ReadParam(&otherKey));
  EXPECT_EQ(manager.GetEntryCount(), 11u);

  CScriptManager second;
  CConfigNode twice;
  AddRaw(Add(&twice, "Script", nullptr, "Same"), Bytes{1});
  AddRaw(Add(&twice, "Script", nullptr, "SAME"), Bytes{2});
  EXPECT_FALSE(second.Init(&twice));
  EXPECT_EQ(second.GetEntryCount(), 1u);
  EXPECT_FALSE(second.Init(nullptr));
}

TEST_P(ResourcesTest, PathWayBlocksGiveTheirSteps) {
  AiRes::PathWay source;
  source.name = "Patrol";
  source.flag = 1;
  // A command before any position lands on the first step; types 5-10 and 15 change nothing; a later
  // command replaces an earlier one; the 64-byte text field keeps 63 bytes and a terminator.
  source.records = {Command(12, 45.0f),   Position(1, 1, 2, 3), Command(11, 2.0f), Command(7, 0),
                    Position(2, 4, 5, 6), Command(13, -90.0f),  Command(15, 0),    Command(14, 0, std::string(64, 'c')),
                    Command(5, 0),        Position(4, 7, 8, 9), Command(10, 0)};
  CPathWay way;
  ASSERT_TRUE(LoadFrom(way, AiRes::EncodePathWay(source)));
  EXPECT_STREQ(way.GetName(), "Patrol");
  EXPECT_EQ(way.GetFlag(), 1);
  ASSERT_EQ(way.GetStepCount(), 3u);
  EXPECT_EQ(way.GetCapacity(), 5u);
  const CPathWayStep* s = way.GetStep(0);
  EXPECT_STREQ(s->m_moveMode, "walk");
  EXPECT_STREQ(s->m_command, "pause 2.000000\n");
  EXPECT_EQ(s->m_position.z, 3.0f);
  EXPECT_STREQ(way.GetStep(1)->m_moveMode, "run");
  EXPECT_EQ(std::string(way.GetStep(1)->m_command), std::string(63, 'c'));
  EXPECT_STREQ(way.GetStep(2)->m_moveMode, "crouch");
  EXPECT_STREQ(way.GetStep(2)->m_command, "");

  // A name but no position: no steps. A name of 256 bytes, a missing end record, a short block: refused.
  AiRes::PathWay empty;
  empty.name = "Empty";
  empty.records = {Command(11, 1.0f)};
  CPathWay none;
  EXPECT_TRUE(LoadFrom(none, AiRes::EncodePathWay(empty)));
  EXPECT_EQ(none.GetStepCount(), 0u);
  AiRes::PathWay longName;
  longName.name = std::string(256, 'n');
  CPathWay refused;
  EXPECT_FALSE(LoadFrom(refused, AiRes::EncodePathWay(longName)));
  longName.name.pop_back();
  EXPECT_TRUE(LoadFrom(refused, AiRes::EncodePathWay(longName)));
  const Bytes good = AiRes::EncodePathWay(source);
  for (size_t n = 0; n < good.size(); ++n) {
    CPathWay cut;
    EXPECT_FALSE(LoadFrom(cut, Bytes(good.begin(), good.begin() + n))) << n;
  }
  Bytes badVersion = good;
  badVersion[16] = 2;
  EXPECT_FALSE(LoadFrom(refused, badVersion));
}

// Records where each step of a path way moved.
class RecordingPathWay : public CPathWay {
public:
  void OnStepMoved(uint32_t oldIndex, uint32_t newIndex) override {
    moves += std::to_string(oldIndex) + ">" + std::to_string(newIndex) + " ";
  }
  std::string moves;
};

TEST_P(ResourcesTest, InsertStepMovesLaterStepsUpAndDoublesTheArray) {
  RecordingPathWay way;
  CPathWayStep step;
  for (int i = 0; i < 5; ++i) {
    step.m_position.x = float(i);
    ASSERT_TRUE(way.InsertStep(step, CPathWay::kAppend));
  }
  EXPECT_EQ(way.GetCapacity(), 5u);
  EXPECT_FALSE(way.InsertStep(step, 6));
  EXPECT_FALSE(way.InsertStep(step, -1));
  step.m_position.x = 10.0f;
  std::strcpy(step.m_command, "orient 5");
  ASSERT_TRUE(way.InsertStep(step, 2));  // full: grows
  EXPECT_EQ(way.GetCapacity(), 10u);
  EXPECT_EQ(way.moves, "4>5 3>4 2>3 ");
  const float expected[] = {0, 1, 10, 2, 3, 4};
  ASSERT_EQ(way.GetStepCount(), 6u);
  for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(way.GetStep(i)->m_position.x, expected[i]) << i;
  EXPECT_STREQ(way.GetStep(2)->m_command, "orient 5");
  EXPECT_STREQ(way.GetStep(2)->m_moveMode, "walk");
  way.moves.clear();
  ASSERT_TRUE(way.InsertStep(step, 0));  // room left: moved in place
  EXPECT_EQ(way.moves, "5>6 4>5 3>4 2>3 1>2 0>1 ");

  // A long path way: the array is reallocated a logarithmic number of times, and every step stays.
  CPathWay longWay;
  uint32_t reallocations = 0;
  for (uint32_t i = 0; i < 40000; ++i) {
    const uint32_t before = longWay.GetCapacity();
    step.m_position.x = float(i);
    ASSERT_TRUE(longWay.InsertStep(step, CPathWay::kAppend));
    reallocations += longWay.GetCapacity() != before;
  }
  EXPECT_LE(reallocations, 14u);
  EXPECT_LT(longWay.GetCapacity(), 80000u);
  for (uint32_t i = 0; i < 40000; i += 997) EXPECT_EQ(longWay.GetStep(i)->m_position.x, float(i));
}

TEST_P(ResourcesTest, NeuralNetEvaluatesSavesAndRefusesBadBlocks) {
  AiRes::NeuralNet source;
  source.layers = {2, 3, 1};
  source.weights.assign(13, 0.5f);
  const Bytes saturated = AiRes::EncodeNeuralNet(source);
  ASSERT_EQ(saturated.size(), 95u);
  for (uint8_t linear : {0, 1, 0x31}) {
    source.linear = linear;
    CNeuralNet net;
    ASSERT_TRUE(LoadFrom(net, AiRes::EncodeNeuralNet(source)));
    EXPECT_EQ(net.m_learningRate, 0.5f);
    net.GetInputs()[0] = net.GetInputs()[1] = 1.0f;
    net.Evaluate();
    for (int j = 1; j <= 3; ++j) EXPECT_EQ(net.GetLayer(1)->GetValues()[j], 1.0f);  // 1.5 saturates
    EXPECT_EQ(net.GetOutputs()[0], linear ? 2.0f : 1.0f);
    // Save writes the bytes it read, the flag byte as it stands.
    const std::string path = navtest::TempPath("net.bin");
    EXPECT_EQ(navtest::SaveBytes(&net, path), AiRes::EncodeNeuralNet(source));
    // A negative sum gives 0 in a hidden layer.
    net.GetInputs()[0] = net.GetInputs()[1] = -4.0f;
    net.Evaluate();
    EXPECT_EQ(net.GetLayer(1)->GetValues()[1], 0.0f);
  }
  EXPECT_EQ(CNeuralNet().Activate(std::nanf("")), 0.0f);

  CNeuralNet net;
  ASSERT_TRUE(LoadFrom(net, saturated));
  const std::string path = navtest::TempPath("net.bin");
  EXPECT_EQ(navtest::SaveBytes(&net, path), saturated);
  CNeuralNet fromFile;
  EXPECT_TRUE(fromFile.LoadFromFile(path.c_str()));
  EXPECT_EQ(fromFile.GetWeightCount(), 13);
  NavTest::WriteBudget() = 3;
  EXPECT_FALSE(net.Save(path.c_str()));
  NavTest::WriteBudget() = -1;
  std::remove(path.c_str());
  EXPECT_FALSE(fromFile.LoadFromFile(path.c_str()));
  EXPECT_EQ(fromFile.GetLayerCount(), 0);

  // A single layer evaluates nothing: its outputs are its inputs.
  AiRes::NeuralNet single;
  single.layers = {7};
  single.weights = {0.0f};
  CNeuralNet identity;
  ASSERT_TRUE(LoadFrom(identity, AiRes::EncodeNeuralNet(single)));
  identity.GetInputs()[3] = 0.25f;
  identity.Evaluate();
  EXPECT_EQ(identity.GetOutputs()[3], 0.25f);

  // Layer counts or sizes below 1, no weights, fewer weights than the layers need, sizes that the block
  // cannot hold, and every truncation are refused.
  auto refused = [&](AiRes::NeuralNet bad) {
    CNeuralNet probe;
    return !LoadFrom(probe, AiRes::EncodeNeuralNet(bad)) && probe.GetLayerCount() == 0;
  };
  AiRes::NeuralNet bad = source;
  bad.layers = {};
  EXPECT_TRUE(refused(bad));
  bad = source, bad.layers[1] = 0;
  EXPECT_TRUE(refused(bad));
  bad = source, bad.layers[1] = -3;
  EXPECT_TRUE(refused(bad));
  bad = source, bad.weights.clear();
  EXPECT_TRUE(refused(bad));
  bad = source, bad.weights.resize(12);
  EXPECT_TRUE(refused(bad));
  // Layers of any size the weights that are there, or for a single layer the machine, can hold: on a
  // machine of 1 MB a single layer of a million neurons is refused, one of 70000 is taken, and so is a
  // net whose first layer has 70000 neurons backed by its 70001 weights.
  PlatformSetPhysicalMemory(1u << 20);
  bad = single, bad.layers[0] = 1000000;
  EXPECT_TRUE(refused(bad));
  AiRes::NeuralNet wide = single;
  wide.layers = {70000};
  CNeuralNet wideNet;
  EXPECT_TRUE(LoadFrom(wideNet, AiRes::EncodeNeuralNet(wide)));
  wide.layers = {70000, 1};
  wide.weights.assign(70001, 0.5f);
  EXPECT_TRUE(LoadFrom(wideNet, AiRes::EncodeNeuralNet(wide)));
  wide.weights.resize(70000);
  EXPECT_FALSE(LoadFrom(wideNet, AiRes::EncodeNeuralNet(wide)));
  PlatformSetPhysicalMemory(0);
  Bytes huge = saturated;
  huge[23] = 0xff, huge[24] = 0xff, huge[25] = 0xff, huge[26] = 0x0f;  // K far beyond the block
  CNeuralNet probe;
  EXPECT_FALSE(LoadFrom(probe, huge));
  for (size_t n = 0; n < saturated.size(); ++n) {
    CNeuralNet cut;
    EXPECT_FALSE(LoadFrom(cut, Bytes(saturated.begin(), saturated.begin() + n))) << n;
  }
}

// The three kinds packed into a world file the way aispack writes it, read back through the engine's
// world file reader, and loaded by the world's managers.
TEST_P(ResourcesTest, PackedWorldFileLoadsAllThreeKinds) {
  ASSERT_TRUE(OvTestEngineUp());
  AiRes::PathWay way;
  way.name = "Loop";
  way.records = {Position(1, 0, 0, 0), Command(11, 1.5f), Position(2, 5, 0, 0)};
  AiRes::NeuralNet net;
  net.layers = {7, 7};
  net.weights.assign(56, 0.25f);
  // Longer than the loader's first text buffer, so that the text grows as the block arrives.
  std::string script;
  for (int i = 0; script.size() < 10000; ++i) script += "say hello " + std::to_string(i) + "\n";

  AisFormat::Document doc;
  auto node = [](const char* name, const char* label) {
    AisFormat::Node n;
    n.name = name;
    n.label = label;
    return n;
  };
  auto leaf = [](const char* name, const char* value) {
    AisFormat::Node n;
    n.kind = AisFormat::Kind::Leaf;
    n.name = name;
    n.value = value;
    return n;
  };
  auto raw = [&doc](const Bytes& bytes) {
    AisFormat::Node n;
    n.kind = AisFormat::Kind::RawData;
    doc.blocks.push_back(bytes);
    return n;
  };
  doc.root = node("World", "");
  doc.root.children = {leaf("MaxEntity", "4"), leaf("OneMeter", "1"), leaf("Tpf", "20"), node("GlobalServices", "")};
  const char* const kinds[][3] = {{"Scripts", "CScriptManager", "Script"},
                                  {"Ways", "CPathWayManager", "PathWay"},
                                  {"Nets", "CNeuralNetManager", "NeuralNet"}};
  const Bytes blocks[] = {Bytes(script.begin(), script.end()), AiRes::EncodePathWay(way), AiRes::EncodeNeuralNet(net)};
  AisFormat::Node services = node("Services", "");
  for (int i = 0; i < 3; ++i) {
    doc.root.children[3].children.push_back(leaf("Service", kinds[i][0]));
    AisFormat::Node service = node("Service", kinds[i][0]);
    AisFormat::Node entry = node(kinds[i][2], "First");
    entry.children.push_back(raw(blocks[i]));
    service.children = {leaf("Class", kinds[i][1]), entry};
    services.children.push_back(service);
  }
  doc.root.children.push_back(services);
  Bytes file;
  std::string error;
  ASSERT_TRUE(AisFormat::Encode(doc, file, error)) << error;

  // From memory and from a file on disk (whose stream cannot tell how much is left); then the file cut
  // inside the script block, which must not load as a shorter script.
  const std::string path = navtest::TempPath("packed_world.ais");
  const size_t scriptEnd = std::search(file.begin(), file.end(), script.end() - 20, script.end()) - file.begin() + 20;
  ASSERT_LT(scriptEnd, file.size());
  for (int run = 0; run < 4; ++run) {
    const bool fromDisk = run % 2 == 1;
    const bool cut = run >= 2;
    const Bytes bytes = cut ? Bytes(file.begin(), file.begin() + scriptEnd - 1) : file;
    OvMemory memory{const_cast<uint8_t*>(bytes.data()), static_cast<OvUInt32>(bytes.size())};
    OvStream* stream = nullptr;
    if (fromDisk) {
      navtest::WriteFileBytes(path, bytes);
      stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str());
    } else {
      stream = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
    }
    ASSERT_NE(stream, nullptr);
    CConfigNode* tree = Vusk::LoadAisFile(stream);
    ASSERT_NE(tree, nullptr);
    CWorld* world = Vusk::CreateWorld(tree, 0);
    ASSERT_NE(world, nullptr);
    auto* scripts = static_cast<CScriptManager*>(world->GetGlobalService(&CScriptManager::s_classDesc));
    auto* ways = static_cast<CPathWayManager*>(world->GetGlobalService(&CPathWayManager::s_classDesc));
    auto* nets = static_cast<CNeuralNetManager*>(world->GetGlobalService(&CNeuralNetManager::s_classDesc));
    if (cut) {
      EXPECT_EQ(scripts, nullptr) << run;
    } else {
      ASSERT_TRUE(scripts && ways && nets) << run;
      ASSERT_NE(scripts->FindScript("first"), nullptr);
      EXPECT_EQ(scripts->FindScript("first")->GetSize(), script.size()) << run;
      EXPECT_TRUE(std::string(scripts->FindScript("first")->GetText()) == script) << run;
      ASSERT_NE(ways->FindPathWay("FIRST"), nullptr);
      EXPECT_EQ(ways->FindPathWay("FIRST")->GetStepCount(), 2u);
      EXPECT_STREQ(ways->FindPathWay("FIRST")->GetStep(0)->m_command, "pause 1.500000\n");
      ASSERT_NE(nets->FindNet("First"), nullptr);
      EXPECT_EQ(nets->FindNet("First")->GetWeightCount(), 56);
    }
    delete world;
    Vusk::ReleaseTree(tree);
    OvStreamClose(stream, nullptr);
  }
  std::remove(path.c_str());
  OvError ignored;
  OvErrorGet(&ignored);
  EXPECT_TRUE(OvTestEngineDown());
}

}  // namespace
