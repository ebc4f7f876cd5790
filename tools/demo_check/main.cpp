// demo_check: the game run headless at a fixed step in this process, scripted, and its bots'
// behaviour reported. See the usage text below.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ai/navigation/graph_manager.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/world_api.h"
#include "demo/dunmarrow_agent.h"
#include "demo/dunmarrow_application.h"
#include "demo/timer.h"
#include "framework/character.h"
#include "framework/clump_object.h"
#include "framework/framework.h"
#include "framework/rigid_bodies.h"
#include "framework/world_manager.h"
#include "graphics/core/frame.h"
#include "graphics/world/world.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "tools/demo_check/behaviour_plot.h"
#include "tools/common/arguments.h"

namespace {

const char kUsage[] = "usage: demo_check [--help] [--data DIR] [--bots N] [--frames F] [--press F1@FRAME]...\n"
                      "                  [--player X,Z] [--step S] [--real-clock] [--trace FILE.csv]\n"
                      "                  [--plot FILE.png] [--vertices]\n"
                      "Runs the game (dunmarrow) headless in this process at a fixed step (1/60 s) on its data\n"
                      "folder and reports how its bots behave. Each frame it notes the bots' order (1 take cover,\n"
                      "0 come to me), each bot's position, its distance to the player and whether the player can\n"
                      "see it (the AI's own line of sight from the player's eye to the bot's eye).\n"
                      "  --data DIR        the data folder (default: demo_data beside the program's bin folder,\n"
                      "                    which the build makes with mkasset demo)\n"
                      "  --bots N          bots instead of the configuration's number (0 to 291; the AI world\n"
                      "                    file may hold fewer, which the game then names)\n"
                      "  --frames F        frames to run (default 3600, one minute)\n"
                      "  --press F1@FRAME  F1 pressed once FRAME frames have run (it acts in frame FRAME + 1);\n"
                      "                    may be given more than once\n"
                      "  --player X,Z      the player starts at x = X, z = Z (metres) instead of the\n"
                      "                    configuration's place (its height stays the configuration's); a\n"
                      "                    place the game refuses as a start (no floor within 1.5 m below it,\n"
                      "                    or in a block) is bad usage\n"
                      "  --step S          seconds a frame (default 1/60; 0.001 to 0.25): a long step is what a\n"
                      "                    slow window gives the game on the real clock\n"
                      "  --vertices        only list the bots' graph, one line \"vertex I: X Y Z\" a vertex,\n"
                      "                    after the first frame\n"
                      "  --real-clock      the AI's clock (its time budgets) on the real clock, not the frames'\n"
                      "  --trace FILE.csv  one line per frame: frame, mode, hidden, then per bot x, y, z, distance\n"
                      "                    (metres) and visible (1 when the player sees the bot)\n"
                      "  --plot FILE.png   the bots' distances to the player and the hidden count over time, with\n"
                      "                    the presses marked (past 16 bots: each grey, with the nearest, median\n"
                      "                    and farthest in colour)\n"
                      "A start screen in the configuration (a \"Hud\" section) is dismissed with ENTER after the\n"
                      "first frame; the frame it holds the game paused is not counted, so frames and presses\n"
                      "mean the same with and without it.\n"
                      "Then it names the cover places: the vertices of the bots' graph where a soldier is covered\n"
                      "from the player's eye at the start, and how many of them the graph's edges reach from the\n"
                      "vertex nearest the player (each bot holds a place of his own, so more bots than reachable\n"
                      "places cannot all hide): \"cover places: K of the graph's V vertices, from the player's\n"
                      "start; R reachable\". Then the player's place in that frame: \"place: the player at (X, Z)\n"
                      "in frame F; on foot from the team's start: yes|no; the graph's nearest vertex D m off, its\n"
                      "reach R m\" (on foot: a walk on the floor leads there from the first bot's start, without\n"
                      "the teleporter, the lift or the bumper; the reach is the graph's search radius, within which\n"
                      "the bots' path finder looks for the vertex of a goal). The last three lines are \"lost: L/N\n"
                      "at cover, M/N at the end\" (bots with no floor under them: below the floor or outside the\n"
                      "level), \"take cover: hidden H/N\"\n"
                      "(in the frame before the first press, or the last frame without one) and the end under the\n"
                      "order then in force: \"come to me: near K/N\" (near = within sqrt(150) metres of the player,\n"
                      "the widest radius at which a bot stops by him) or, when the team was sent back into cover\n"
                      "(no press, or a second), \"take cover at the end: hidden H/N, near K/N\". A lost bot is never\n"
                      "counted hidden or near.\n"
                      "Before them: \"pushed: crate C m, ball B m, the player P m; inside a body: K at the end, at\n"
                      "most M\" (the farthest any body of each model of the configuration's \"Physics\" section, and\n"
                      "the player, who stands still, were moved across the floor from where they started; a\n"
                      "character is inside a body when his sphere's centre is in the cube within the body's\n"
                      "bounding sphere, grown by 0.2 m: a crate's own box).\n"
                      "Exit status 0 when the game ran and no bot was lost, 1 when it could not start, stopped on\n"
                      "an error (its data refused) or could not create every bot, 2 on bad usage (a --player place\n"
                      "the game refuses among it), 3 when the report shows a bot lost (at cover or at the end).\n";

constexpr double kDefaultStep = 1.0 / 60.0;
constexpr float kNearRadius2 = 150.0f; // squared metres
// A character's sphere centre this close to a crate's box, or in it, stands inside the crate.
constexpr float kInsideMargin = 0.2f;
// The foot check: a soldier's sphere and the cells of its flood (m).
constexpr float kSoldierRadius = 0.4f;
constexpr float kFootCell = 0.25f;
constexpr float kKneeHeight = 0.5f; // above the floor

struct Options {
    std::string data;
    int bots = -1;
    long frames = 3600;
    std::vector<long> presses;
    const char* playerArg = nullptr; // the text of --player
    float player[2] = {0.0f, 0.0f};  // x, z of --player
    bool realClock = false;
    bool vertices = false; // --vertices: list the graph's vertices after the first frame
    double step = kDefaultStep;
    std::string trace;
    std::string plot;
};

struct Watch {
    const Options* options = nullptr;
    std::FILE* trace = nullptr;
    long frame = 0;
    long coverFrame = 0; // frame whose hidden count is reported
    int hiddenAtCover = 0;
    int lostAtCover = 0;
    int nearAtEnd = 0;
    int hiddenAtEnd = 0;
    int modeAtEnd = CDunmarrowApplication::kTakeCover; // the order in force in the last frame
    int lostAtEnd = 0;
    bool startRefused = false; // --player named a place where a soldier does not fit
    int coverPlaces = 0;       // graph vertices covered from the player's eye in the first frame
    int reachablePlaces = 0;   // of them, those reached from the vertex nearest the player
    int vertices = 0;
    int bots = 0;
    // Where the team starts (the first bot in the first frame, else the player): the foot check's
    // start.
    CVector3 teamStart;
    // The player's place at the cover frame: on foot from the team's start, and how far the bots'
    // graph is.
    CVector3 place;
    bool placeOnFoot = false;
    float placeVertexDistance = -1.0f; // to the nearest vertex of the graph; -1: no graph
    float graphReach = 0.0f;           // the graph's search radius
    BehaviourSeries series;
    // The bodies of the configuration's "Physics" section and the player where they started.
    std::vector<OvV3d> bodyStarts;
    std::vector<std::size_t> bodyKinds; // per body, its model's place in bodyNames
    OvV3d playerStart = {};
    std::vector<std::string> bodyNames; // the bodies' model names, each once, in the order met
    std::vector<double> bodyPushed;     // per name, the farthest a body was moved across the floor (m)
    double playerPushed = 0.0;          // the farthest the player was moved across the floor (m)
    int insideAtEnd = 0;                // characters inside a body in the last frame
    int insideMost = 0;                 // the most in any frame
};

int Usage(const std::string& message) {
    std::fprintf(stderr, "demo_check: %s\n%s", message.c_str(), kUsage);
    return 2;
}

CVector3 Eye(const CEntity* entity) {
    const CEntityEyePosition* eye = entity->FindAttribute<CEntityEyePosition>();
    return eye != nullptr ? eye->value : entity->GetPosition();
}

// A bot with no floor under it (nothing within 100 metres straight down) has fallen out of the
// level or through its floor.
bool IsLost(const CVector3& p) {
    return g_worldManager != nullptr &&
           g_worldManager->LineIntersect(OvV3d{p.x, p.y, p.z}, OvV3d{p.x, p.y - 100.0f, p.z}, true) == 0;
}

// The vertices of the bots' graph where a soldier is covered from the player's eye, and those of
// them that a walk along the graph's edges from the vertex nearest the player reaches.
void CountCoverPlaces(const CEntity* player, Watch* watch) {
    CGraphManager* manager = Vusk::GetGraphManager();
    CSpatialGraph* graph = manager != nullptr ? manager->FindGraph(DunmarrowAgent::kMoveGraph) : nullptr;
    if (graph == nullptr) {
        return;
    }
    const CVector3 eye = Eye(player);
    const float eyeHeight = eye.y - player->GetPosition().y;
    const std::int32_t last = graph->GetLastVertexIndex();
    std::vector<char> covered(static_cast<std::size_t>(last + 1), 0);
    std::int32_t nearest = -1;
    float best = 0.0f;
    for (std::int32_t i = 0; i <= last; ++i) {
        if (const CGraphVertex* vertex = graph->GetVertex(i)) {
            ++watch->vertices;
            covered[i] =
                DunmarrowAgent::IsCoveredFrom(eye, vertex->GetPosition(), eyeHeight, const_cast<CEntity*>(player)) ? 1
                                                                                                                   : 0;
            watch->coverPlaces += covered[i];
            const float d2 = CVector3::DistanceSquared(vertex->GetPosition(), player->GetPosition());
            if (nearest < 0 || d2 < best) {
                nearest = i;
                best = d2;
            }
        }
    }
    if (nearest < 0) {
        return;
    }
    std::vector<char> seen(covered.size(), 0);
    std::vector<const CGraphVertex*> todo = {graph->GetVertex(nearest)};
    seen[nearest] = 1;
    while (!todo.empty()) {
        const CGraphVertex* v = todo.back();
        todo.pop_back();
        watch->reachablePlaces += covered[v->GetIndex()];
        for (std::int32_t k = 0; k < v->GetOutgoingCount(); ++k) {
            const CGraphVertex* next = v->GetOutgoingEdge(k)->GetDestination();
            if (next != nullptr && seen[next->GetIndex()] == 0) {
                seen[next->GetIndex()] = 1;
                todo.push_back(next);
            }
        }
    }
}

OvV3d FramePosition(const CClumpObject* object) {
    OvFrame* frame = object != nullptr ? object->GetFrame() : nullptr;
    return frame != nullptr ? OvFrameGetMatrix(frame)->pos : OvV3d{};
}

double Across(const OvV3d& a, const OvV3d& b) { return std::hypot(double{a.x} - b.x, double{a.z} - b.z); }

// How many of the points lie in the body's box grown by kInsideMargin: the cube inside its
// bounding sphere, along its frame's axes (a crate's own box).
int CountInside(const CClumpObject* object, const std::vector<OvV3d>& points) {
    OvFrame* frame = object != nullptr ? object->GetFrame() : nullptr;
    const OvSphere* sphere = object != nullptr ? object->GetBoundingSphere() : nullptr;
    if (frame == nullptr || sphere == nullptr) {
        return 0;
    }
    const OvMatrix* m = OvFrameGetMatrix(frame);
    OvV3d axes[3] = {m->right, m->up, m->at};
    for (OvV3d& axis : axes) {
        const float length = std::sqrt(axis.x * axis.x + axis.y * axis.y + axis.z * axis.z);
        if (length == 0.0f) {
            return 0;
        }
        axis = {axis.x / length, axis.y / length, axis.z / length};
    }
    const float half = sphere->radius / std::sqrt(3.0f) + kInsideMargin;
    int inside = 0;
    for (const OvV3d& point : points) {
        const OvV3d d = {point.x - m->pos.x, point.y - m->pos.y, point.z - m->pos.z};
        inside += std::all_of(std::begin(axes), std::end(axes),
                              [&](const OvV3d& a) { return std::fabs(d.x * a.x + d.y * a.y + d.z * a.z) <= half; })
                      ? 1
                      : 0;
    }
    return inside;
}

// How far the configuration's bodies and the player were moved, and the characters standing
// inside a body.
void WatchBodies(CDunmarrowApplication* app, Watch* watch) {
    CRigidBodyManager* bodies = CRigidBodyManager::Existing();
    const int count = bodies != nullptr ? bodies->InstanceCount() : 0;
    const bool first = watch->bodyStarts.empty() && count > 0;
    // The characters' sphere centres: their feet raised by the sphere's radius.
    std::vector<OvV3d> centres;
    const auto addCentre = [&centres](const CCharacter* c) {
        OvV3d centre = FramePosition(c);
        centre.y += 0.4f;
        centres.push_back(centre);
    };
    if (app->Player() != nullptr) {
        addCentre(app->Player());
        if (watch->frame == 1) {
            watch->playerStart = FramePosition(app->Player());
        }
        watch->playerPushed = std::max(watch->playerPushed, Across(FramePosition(app->Player()), watch->playerStart));
    }
    for (int i = 0; app->HasBotArray() && i < app->BotCount(); ++i) {
        if (const CCharacter* bot = app->Bot(i)) {
            addCentre(bot);
        }
    }
    int inside = 0;
    for (int i = 0; i < count; ++i) {
        const CClumpObject* object = bodies->GetInstanceRecord(i).object;
        const OvV3d at = FramePosition(object);
        const std::size_t index = static_cast<std::size_t>(i);
        if (first) {
            // Each body's model name, met once: its column of the report.
            const std::string name = object != nullptr ? object->GetName() : "";
            const auto named = std::find(watch->bodyNames.begin(), watch->bodyNames.end(), name);
            watch->bodyKinds.push_back(static_cast<std::size_t>(named - watch->bodyNames.begin()));
            if (named == watch->bodyNames.end()) {
                watch->bodyNames.push_back(name);
                watch->bodyPushed.push_back(0.0);
            }
            watch->bodyStarts.push_back(at);
        } else if (index < watch->bodyStarts.size()) {
            double& pushed = watch->bodyPushed[watch->bodyKinds[index]];
            pushed = std::max(pushed, Across(at, watch->bodyStarts[index]));
        }
        inside += CountInside(object, centres);
    }
    watch->insideAtEnd = inside;
    watch->insideMost = std::max(watch->insideMost, inside);
}

// Whether the segment meets the level, its planes and triangles or a body, from either end (the
// level's faces are met from their front only).
bool Blocked(const OvV3d& a, const OvV3d& b) {
    return g_worldManager->LineIntersect(a, b, false) != 0 || g_worldManager->LineIntersect(b, a, false) != 0;
}

// Whether a walk on the floor leads from `from` to `to`: a flood over cells
// kFootCell apart across the level's box, at the floor's height under `from`, through the cells
// with floor under them and a soldier's sphere of room round them at his knees, from cell to cell
// along lines that meet nothing. The teleporter, the lift and the bumper are not walked: a place
// only they lead to is not reached.
bool ReachedOnFoot(const CVector3& from, const CVector3& to) {
    if (g_worldManager == nullptr || g_worldManager->WorldCount() == 0) {
        return false;
    }
    float fraction = 0.0f;
    const OvV3d above{from.x, from.y, from.z};
    if (g_worldManager->LineIntersect(above, OvV3d{from.x, from.y - 3.0f, from.z}, false, &fraction) == 0) {
        return false;
    }
    const float knee = from.y - 3.0f * fraction + kKneeHeight;
    const OvBBox& box = g_worldManager->GetWorld(0)->boundingBox;
    const int columns = static_cast<int>((box.sup.x - box.inf.x) / kFootCell) + 1;
    const int rows = static_cast<int>((box.sup.z - box.inf.z) / kFootCell) + 1;
    if (!(columns > 0 && rows > 0) || static_cast<long>(columns) * rows > 4000000L) {
        return false;
    }
    const auto at = [&](int c, int r) {
        return OvV3d{box.inf.x + static_cast<float>(c) * kFootCell, knee,
                     box.inf.z + static_cast<float>(r) * kFootCell};
    };
    // 0 not looked at, 1 stands, 2 does not, 3 stands and reached.
    std::vector<char> cells(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows), 0);
    const auto cell = [&](int c, int r) -> char& {
        return cells[static_cast<std::size_t>(r) * static_cast<std::size_t>(columns) + static_cast<std::size_t>(c)];
    };
    const auto stands = [&](int c, int r) {
        char& state = cell(c, r);
        if (state == 0) {
            const OvV3d p = at(c, r);
            bool room = g_worldManager->LineIntersect(p, OvV3d{p.x, p.y - kKneeHeight - 0.5f, p.z}, false) != 0;
            for (int k = 0; room && k < 8; ++k) {
                const float angle = static_cast<float>(k) * 0.7853982f;
                room =
                    g_worldManager->LineIntersect(
                        p, OvV3d{p.x + kSoldierRadius * std::cos(angle), p.y, p.z + kSoldierRadius * std::sin(angle)},
                        false) == 0;
            }
            state = room ? 1 : 2;
        }
        return state;
    };
    const int startColumn = static_cast<int>(std::lround((from.x - box.inf.x) / kFootCell));
    const int startRow = static_cast<int>(std::lround((from.z - box.inf.z) / kFootCell));
    if (startColumn < 0 || startColumn >= columns || startRow < 0 || startRow >= rows ||
        stands(startColumn, startRow) != 1) {
        return false;
    }
    std::deque<std::pair<int, int>> todo = {{startColumn, startRow}};
    cell(startColumn, startRow) = 3;
    while (!todo.empty()) {
        const auto [c, r] = todo.front();
        todo.pop_front();
        const OvV3d p = at(c, r);
        // The player's middle may stand a sphere's radius from a wall, the cells' a little more.
        const float near = kFootCell + 0.5f * kSoldierRadius;
        if (std::fabs(p.x - to.x) <= near && std::fabs(p.z - to.z) <= near) {
            return true;
        }
        const int steps[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
        for (const auto& step : steps) {
            const int nc = c + step[0], nr = r + step[1];
            if (nc < 0 || nc >= columns || nr < 0 || nr >= rows || stands(nc, nr) != 1 || Blocked(p, at(nc, nr))) {
                continue;
            }
            cell(nc, nr) = 3;
            todo.emplace_back(nc, nr);
        }
    }
    return false;
}

// The player's place: on foot from the team's start, and the nearest vertex of the bots' graph.
void NotePlace(const CEntity* player, Watch* watch) {
    watch->place = player->GetPosition();
    watch->placeOnFoot = ReachedOnFoot(watch->teamStart, watch->place);
    CGraphManager* manager = Vusk::GetGraphManager();
    CSpatialGraph* graph = manager != nullptr ? manager->FindGraph(DunmarrowAgent::kMoveGraph) : nullptr;
    if (graph == nullptr) {
        return;
    }
    watch->graphReach = graph->GetSearchRadius();
    for (std::int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
        if (const CGraphVertex* vertex = graph->GetVertex(i)) {
            const float d = std::sqrt(CVector3::DistanceSquared(vertex->GetPosition(), watch->place));
            if (watch->placeVertexDistance < 0.0f || d < watch->placeVertexDistance) {
                watch->placeVertexDistance = d;
            }
        }
    }
}

// "vertex I: X Y Z" for each vertex of the bots' graph.
void PrintVertices() {
    CGraphManager* manager = Vusk::GetGraphManager();
    CSpatialGraph* graph = manager != nullptr ? manager->FindGraph(DunmarrowAgent::kMoveGraph) : nullptr;
    for (std::int32_t i = 0; graph != nullptr && i <= graph->GetLastVertexIndex(); ++i) {
        if (const CGraphVertex* vertex = graph->GetVertex(i)) {
            const CVector3& p = vertex->GetPosition();
            std::printf("vertex %d: %.3f %.3f %.3f\n", i, static_cast<double>(p.x), static_cast<double>(p.y),
                        static_cast<double>(p.z));
        }
    }
}

// The real monotonic clock as the AI clock's performance counter.
BOOL RealFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 1000000000;
    return TRUE;
}
BOOL RealCounter(LARGE_INTEGER* count) {
    count->QuadPart =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    return TRUE;
}

void OnFrame(CDunmarrowApplication* app, void* user) {
    auto* watch = static_cast<Watch*>(user);
    ++watch->frame;
    const CEntity* player = app->PlayerEntity();
    if (player == nullptr) {
        return;
    }
    WatchBodies(app, watch);
    const float oneMeter = Vusk::GetWorldOneMeter(app->AiWorld());
    const CVector3 eye = Eye(player);
    int hidden = 0;
    int nearCount = 0;
    int lost = 0;
    std::vector<double> distances;
    std::string line;
    char cell[128];
    for (int i = 0; i < watch->bots; ++i) {
        const CEntity* bot = app->BotEntity(i);
        const CVector3 p = bot->GetPosition();
        const CVector3 d = p - player->GetPosition();
        const float distance2 = d.x * d.x + d.y * d.y + d.z * d.z;
        const bool visible = Vusk::HasLineOfSight(eye, Eye(bot), const_cast<CEntity*>(player), 1);
        const bool isLost = IsLost(p);
        lost += isLost ? 1 : 0;
        hidden += visible || isLost ? 0 : 1;
        nearCount += distance2 <= kNearRadius2 * oneMeter * oneMeter && !isLost ? 1 : 0;
        const double distance = std::sqrt(static_cast<double>(distance2)) / oneMeter;
        distances.push_back(distance);
        std::snprintf(cell, sizeof cell, ",%.3f,%.3f,%.3f,%.3f,%d", static_cast<double>(p.x), static_cast<double>(p.y),
                      static_cast<double>(p.z), distance, visible ? 1 : 0);
        line += cell;
    }
    if (watch->trace != nullptr) {
        std::fprintf(watch->trace, "%ld,%d,%d%s\n", watch->frame, app->Mode(), hidden, line.c_str());
    }
    if (watch->frame == watch->coverFrame) {
        watch->hiddenAtCover = hidden;
        watch->lostAtCover = lost;
        NotePlace(player, watch);
    }
    watch->nearAtEnd = nearCount;
    watch->hiddenAtEnd = hidden;
    watch->modeAtEnd = app->Mode();
    watch->lostAtEnd = lost;
    watch->series.seconds.push_back(static_cast<double>(watch->frame) * watch->options->step);
    watch->series.hidden.push_back(hidden);
    watch->series.distances.push_back(std::move(distances));
}

// "X,Z": two finite numbers within a million metres.
bool ParsePlace(const char* text, float out[2]) {
    const char* at = text;
    for (int k = 0; k < 2; ++k) {
        char* end = nullptr;
        errno = 0;
        const double value = std::strtod(at, &end);
        if (end == at || errno != 0 || !(std::fabs(value) <= 1e6) || *end != (k == 0 ? ',' : '\0')) {
            return false;
        }
        out[k] = static_cast<float>(value);
        at = end + 1;
    }
    return true;
}

// The configuration has a "Hud" section: the game starts paused behind the start screen until
// ENTER.
bool HasStartScreen(const char* config) {
    std::ifstream in(config, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    for (std::size_t at = text.find("<hud"); at != std::string::npos; at = text.find("<hud", at + 1)) {
        const char next = at + 4 < text.size() ? text[at + 4] : '\0';
        if (next == '/' || next == '>' || std::isspace(static_cast<unsigned char>(next))) {
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--real-clock") {
            options.realClock = true;
            continue;
        }
        if (arg == "--vertices") {
            options.vertices = true;
            continue;
        }
        if (arg != "--data" && arg != "--bots" && arg != "--frames" && arg != "--press" && arg != "--trace" &&
            arg != "--plot" && arg != "--step" && arg != "--player") {
            return Usage("unknown argument " + arg);
        }
        if (i + 1 >= argc) {
            return Usage("missing value after " + arg);
        }
        const char* value = argv[++i];
        long number = 0;
        if (arg == "--data") {
            options.data = value;
        } else if (arg == "--bots") {
            if (!tools::ParseLong(value, 0, CDunmarrowApplication::kMaxBots, &number)) {
                return Usage(std::string("bad --bots '") + value + "' (0 to " +
                             std::to_string(CDunmarrowApplication::kMaxBots) + ")");
            }
            options.bots = static_cast<int>(number);
        } else if (arg == "--frames") {
            if (!tools::ParseLong(value, 1, 100000000, &number)) {
                return Usage(std::string("bad --frames '") + value + "' (1 to 100000000)");
            }
            options.frames = number;
        } else if (arg == "--press") {
            if (std::strncmp(value, "F1@", 3) != 0 || !tools::ParseLong(value + 3, 0, 100000000, &number)) {
                return Usage(std::string("bad --press '") + value + "' (F1@FRAME)");
            }
            options.presses.push_back(number);
        } else if (arg == "--step") {
            char* end = nullptr;
            errno = 0;
            const double step = std::strtod(value, &end);
            if (end == value || *end != '\0' || errno != 0 || !(step >= 0.001 && step <= 0.25)) {
                return Usage(std::string("bad --step '") + value + "' (0.001 to 0.25 seconds)");
            }
            options.step = step;
        } else if (arg == "--player") {
            if (!ParsePlace(value, options.player)) {
                return Usage(std::string("bad --player '") + value + "' (X,Z: two numbers in metres)");
            }
            options.playerArg = value;
        } else if (arg == "--trace") {
            options.trace = value;
        } else {
            options.plot = value;
        }
    }
    if (options.data.empty()) {
        options.data = tools::DataBesideProgram("demo_data");
    }
    if (options.vertices) {
        options.frames = 1;
        options.presses.clear();
    }
    std::sort(options.presses.begin(), options.presses.end());
    Watch watch;
    watch.options = &options;
    watch.coverFrame = options.presses.empty() ? options.frames : std::min(options.presses.front(), options.frames);
    if (!options.trace.empty()) {
        // The trace is named relative to where the tool was started, not to the data folder.
        options.trace = std::filesystem::absolute(options.trace).string();
        watch.trace = std::fopen(options.trace.c_str(), "w");
        if (watch.trace == nullptr) {
            std::fprintf(stderr, "demo_check: cannot write %s\n", options.trace.c_str());
            return 1;
        }
    }
    if (!options.plot.empty()) {
        options.plot = std::filesystem::absolute(options.plot).string();
    }
    std::error_code ec;
    std::filesystem::current_path(options.data, ec);
    if (ec || !std::filesystem::exists("config.xml")) {
        std::fprintf(stderr, "demo_check: no config.xml in the data folder %s (make one with mkasset demo)\n",
                     options.data.c_str());
        return 1;
    }

    // The start screen takes ENTER from its second frame on; the game's frames after it come one
    // presented frame later.
    const bool startScreen = HasStartScreen("config.xml");
    std::string keys = startScreen ? "1:RETURN" : "";
    for (long frame : options.presses) {
        const long presented = startScreen && frame > 0 ? frame + 1 : frame;
        if (!keys.empty()) {
            keys += ',';
        }
        keys += std::to_string(presented);
        keys += ":F1";
    }
    setenv("PLATFORM_HEADLESS", "1", 1);
    setenv("PLATFORM_FRAMES", std::to_string(options.frames + (startScreen ? 1 : 0)).c_str(), 1);
    char step[32];
    std::snprintf(step, sizeof step, "%.17g", options.step);
    setenv("PLATFORM_FIXED_STEP", step, 1);
    setenv("PLATFORM_KEYS", keys.c_str(), 1);
    unsetenv("PLATFORM_CAPTURE");

    static const Demo::ClockSource kRealClock = {RealFrequency, RealCounter, nullptr, nullptr, nullptr};
    if (options.realClock) {
        Demo::SetClockSource(&kRealClock);
    }
    CDunmarrowApplication* app = CDunmarrowApplication::GetInstance();
    app->OverrideBotCount(options.bots);
    if (options.playerArg != nullptr) {
        app->OverridePlayerStart(options.player[0], options.player[1]);
    }
    app->SetFrameHook(OnFrame, &watch);
    // The bots are counted once the game has started them: the first frame sees them.
    struct Counter {
        static void First(CDunmarrowApplication* a, void* user) {
            auto* w = static_cast<Watch*>(user);
            // A start the game would refuse from its configuration: the run measures nothing.
            if (w->options->playerArg != nullptr && !a->PlayerStartFits()) {
                w->startRefused = true;
                // The start as the game was given it, not where the player stands after a frame.
                const float* start = a->PlayerStart();
                w->place = CVector3(start[0], start[1], start[2]);
                PostQuitMessage(0);
                return;
            }
            w->bots = 0;
            while (w->bots < a->BotCount() && a->BotEntity(w->bots) != nullptr) {
                ++w->bots;
            }
            if (w->trace != nullptr) {
                std::fprintf(w->trace, "frame,mode,hidden");
                for (int i = 0; i < w->bots; ++i) {
                    std::fprintf(w->trace, ",x%d,y%d,z%d,distance%d,visible%d", i, i, i, i, i);
                }
                std::fprintf(w->trace, "\n");
            }
            if (a->PlayerEntity() != nullptr) {
                CountCoverPlaces(a->PlayerEntity(), w);
                w->teamStart = w->bots > 0 ? a->BotEntity(0)->GetPosition() : a->PlayerEntity()->GetPosition();
            }
            if (w->options->vertices) {
                PrintVertices();
            }
            a->SetFrameHook(OnFrame, user);
            OnFrame(a, user);
        }
    };
    app->SetFrameHook(Counter::First, &watch);
    const int status = SkelWinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
    const int bots = watch.bots;
    const int wanted = app->BotCount();
    const bool started = watch.frame > 0;
    CDunmarrowApplication::DestroyInstance();
    if (watch.trace != nullptr) {
        std::fclose(watch.trace);
    }
    if (watch.startRefused) {
        std::fprintf(stderr,
                     "demo_check: bad --player '%s': the start (%g, %g, %g) has no floor within 1.5 m below it, or "
                     "stands in a block; the game starts no soldier there\n",
                     options.playerArg, static_cast<double>(watch.place.x), static_cast<double>(watch.place.y),
                     static_cast<double>(watch.place.z));
        return 2;
    }
    if (!started) {
        std::fprintf(stderr, "demo_check: the game did not start (see its messages above)\n");
        return 1;
    }
    if (status != 0) {
        std::fprintf(stderr, "demo_check: the game stopped on an error, status %d (see its messages above)\n", status);
        return 1;
    }
    if (bots != wanted) {
        std::fprintf(stderr, "demo_check: the game created %d of its %d bots (see its messages above)\n", bots, wanted);
        return 1;
    }
    if (options.vertices) {
        return 0;
    }
    if (!options.plot.empty()) {
        watch.series.presses.reserve(options.presses.size());
        for (long frame : options.presses) {
            watch.series.presses.push_back(static_cast<double>(frame) * options.step);
        }
        if (!WriteBehaviourPlot(watch.series, options.plot.c_str())) {
            std::fprintf(stderr, "demo_check: cannot write %s\n", options.plot.c_str());
            return 1;
        }
    }
    std::printf("frames: %ld at %.4f s, bots: %d, presses: %zu\n", watch.frame, options.step, bots,
                options.presses.size());
    std::printf("cover places: %d of the graph's %d vertices, from the player's start; %d reachable\n",
                watch.coverPlaces, watch.vertices, watch.reachablePlaces);
    std::printf("place: the player at (%.2f, %.2f) in frame %ld; on foot from the team's start: %s; ",
                static_cast<double>(watch.place.x), static_cast<double>(watch.place.z), watch.coverFrame,
                watch.placeOnFoot ? "yes" : "no");
    if (watch.placeVertexDistance < 0.0f) {
        std::printf("no graph\n");
    } else {
        std::printf("the graph's nearest vertex %.2f m off, its reach %.2f m\n",
                    static_cast<double>(watch.placeVertexDistance), static_cast<double>(watch.graphReach));
    }
    std::string pushed;
    for (std::size_t i = 0; i < watch.bodyNames.size(); ++i) {
        char cell[96];
        std::snprintf(cell, sizeof cell, "%s %.2f m, ", watch.bodyNames[i].c_str(), watch.bodyPushed[i]);
        pushed += cell;
    }
    std::printf("pushed: %sthe player %.2f m; inside a body: %d at the end, at most %d\n", pushed.c_str(),
                watch.playerPushed, watch.insideAtEnd, watch.insideMost);
    std::printf("lost: %d/%d at cover, %d/%d at the end\n", watch.lostAtCover, bots, watch.lostAtEnd, bots);
    std::printf("take cover: hidden %d/%d\n", watch.hiddenAtCover, bots);
    // The end under the order in force: the team called, or sent back into cover.
    if (watch.modeAtEnd == CDunmarrowApplication::kComeToMe) {
        std::printf("come to me: near %d/%d\n", watch.nearAtEnd, bots);
    } else {
        std::printf("take cover at the end: hidden %d/%d, near %d/%d\n", watch.hiddenAtEnd, bots, watch.nearAtEnd,
                    bots);
    }
    // Scripts read the status: a bot lost is a failed run.
    if (watch.lostAtCover > 0 || watch.lostAtEnd > 0) {
        std::fprintf(stderr, "demo_check: bots were lost: %d/%d at cover, %d/%d at the end\n", watch.lostAtCover, bots,
                     watch.lostAtEnd, bots);
        return 3;
    }
    return 0;
}
