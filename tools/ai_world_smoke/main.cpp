// ai_world_smoke: runs an AI world headless and prints one line per frame.
//
// The world is built from a definition tree made in code (smoke_world.h): 50 entities whose
// brains run two agents that ask the scheduler for two aperiodic tasks and one periodic task.
// The clock steps 1/32 s per frame; work done inside a granted task advances it by a few
// 1/4096 s, so the frame budget, the call limits and the time allowances all come into play.
// Between frames 100 and 149 five entities are out of the world.
//
// Each line: frame number, frame start time, the think order (entity indices in the order
// their brains thought), and per task granted/refused counts, periodic runs, applied action
// sets and whether the frame budget ran out. The output depends only on the seed.

#include <cstdio>
#include <string>
#include <vector>

#include "ai/runtime/entity.h"
#include "ai/runtime/team.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world_api.h"
#include "platform/clock.h"
#include "platform/crt.h"
#include "tools/ai_world_smoke/smoke_world.h"

namespace {

constexpr unsigned kSeed = 20261206;
constexpr int kEntities = 50;
constexpr int kFrames = 200;
constexpr double kFrameStep = 1.0 / 32.0;

std::string FormatOrder(const std::vector<int>& order) {
    std::string text;
    for (size_t i = 0; i < order.size(); ++i) {
        if (i != 0)
            text += ',';
        text += std::to_string(order[i]);
    }
    return text;
}

int Run() {
    const CHostServices services = Smoke::MakeHostServices(200);
    if (!Vusk::Initialise(&services)) {
        std::printf("engine initialisation failed\n");
        return 1;
    }
    crt_srand(kSeed);
    PlatformClockSetFixedStep(kFrameStep);

    CConfigNode* tree = Smoke::MakeWorldTree("64");
    CWorld* world = Vusk::CreateWorld(tree, 1u << 20);
    CConfigNode* definition = world != nullptr ? Vusk::ExpandEntityDefinition(world, "Bot") : nullptr;
    CConfigNode* teamDefinition = world != nullptr ? Vusk::FindTeamDefinition(world, "Squad") : nullptr;
    CTeam* squad = teamDefinition != nullptr ? Vusk::CreateTeam(teamDefinition, kEntities, "Squad") : nullptr;
    if (squad == nullptr || definition == nullptr) {
        std::printf("world creation failed\n");
        return 1;
    }
    std::vector<CEntity*> entities;
    for (int i = 0; i < kEntities; ++i) {
        CEntity* entity = Vusk::CreateEntity(nullptr, definition, 0, nullptr);
        if (entity == nullptr || !Vusk::AddEntity(world, entity) || !squad->AddMember(entity)) {
            std::printf("entity %d could not be created\n", i);
            return 1;
        }
        entity->SetPosition(CVector3(static_cast<float>(i), 0.0f, 0.0f));
        entities.push_back(entity);
    }

    CTimeManager* tm = CTimeManager::GetInstance();
    long totalGranted = 0;
    long totalRefused = 0;
    for (int frame = 0; frame < kFrames; ++frame) {
        if (frame == 100)
            for (int i = 10; i < 15; ++i)
                Vusk::RemoveEntity(world, entities[i]);
        if (frame == 150)
            for (int i = 10; i < 15; ++i)
                Vusk::AddEntity(world, entities[i]);
        Smoke::BeginFrame();
        Vusk::UpdateWorld(world);
        const SmokeTally& tally = Smoke::Tally();
        std::printf("frame %3d t=%.5f order=%s plan=%d/%d look=%d/%d scan=%d applied=%d over=%d\n", frame,
                    static_cast<double>(CTimeManager::GetFrameStartTime()), FormatOrder(tally.order).c_str(),
                    tally.granted[0], tally.refused[0], tally.granted[1], tally.refused[1], tally.scans, tally.applied,
                    tm->IsOverBudget() ? 1 : 0);
        totalGranted += tally.granted[0] + tally.granted[1];
        totalRefused += tally.refused[0] + tally.refused[1];
        PlatformClockAdvanceFrame();
    }
    const CVector3& last = entities.back()->GetPosition();
    std::printf("total granted=%ld refused=%ld squad=%u last=(%.3f, %.3f)\n", totalGranted, totalRefused,
                squad->GetMembers()->GetCount(), static_cast<double>(last.x), static_cast<double>(last.z));

    Vusk::DestroyTeam(squad);
    delete world;
    Vusk::DeleteTree(teamDefinition);
    Vusk::DeleteTree(definition);
    Vusk::DeleteTree(tree);
    Vusk::ReleaseEngine();
    return 0;
}

const char kUsage[] = "usage: ai_world_smoke [--help]\n"
                      "\n"
                      "Runs a synthetic AI world headless for 200 frames of 1/32 s: 50 entities whose brains ask\n"
                      "the time manager for two aperiodic tasks and one periodic task, with five entities out of\n"
                      "the world between frames 100 and 149. Prints one line per frame:\n"
                      "  frame N t=START order=I,J,... plan=G/R look=G/R scan=S applied=A over=0|1\n"
                      "(the think order by entity index; per task granted/refused counts; periodic runs; applied\n"
                      "action sets; whether the frame budget ran out), then a total line. The output depends only\n"
                      "on the built-in seed; the tests compare it with tools/ai_world_smoke/golden.txt.\n"
                      "\n"
                      "exit status: 0 after the run, 1 when the world cannot be built, 2 for a bad command line.\n";

} // namespace

int main(int argc, char** argv) {
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg != "--help" && arg != "-h") {
            std::fprintf(stderr, "ai_world_smoke: unknown argument '%s' (the program takes none; see --help)\n",
                         argv[i]);
            return 2;
        }
        help = true;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    return Run();
}
