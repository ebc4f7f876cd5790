// physics_sim: runs a headless physics scene and prints its trajectory against the closed form.

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/physics_sim/plot.h"
#include "tools/physics_sim/scenes.h"
#include "tools/engine_error/file_words.h"
#include "tools/common/arguments.h"

namespace {

const char kUsage[] =
    "usage: physics_sim --scene NAME [--steps N] [--dt S] [--csv FILE] [--plot FILE.png]\n"
    "\n"
    "Runs a physics scene built through the engine's own set-up calls, prints one row per step\n"
    "and the largest relative deviation from the scene's closed form.\n"
    "\n"
    "Scenes:\n"
    "  freefall  a sphere falling from rest at y = 0 under g = -10 with linear damping 0.01; compared with\n"
    "            v_n = (g/c)(1 - (1 - c dt)^n) and the semi-implicit sum of the heights (100 steps)\n"
    "  spin      a 1 x 2 x 3 box spinning at 5 rad/s about each principal axis, compared with\n"
    "            w_n = w0 (1 - c dt)^n, then about the intermediate axis, disturbed, where the\n"
    "            rotational energy must never rise by more than 0.5% (1000 steps)\n"
    "  box-on-floor  a box of half extent 0.5 and fat 0.001 resting on the floor plane (a fixed volume):\n"
    "            pipeline steps without gravity (1 step); one row per step, then the first step's contact\n"
    "            record (4 points at separation 0, normal (0, 1, 0) towards the box); the box stays put\n"
    "  contacts  sphere, capsule, triangle, box, cylinder and convex volumes each swept through every\n"
    "            type (the plane too) and, through the pair drivers, a fixed aggregate, triangle list\n"
    "            and grid; prints the contact points per step and per pair (81 steps)\n"
    "\n"
    "Behaviour scenes (whole steps on a floor plane; each prints its measured quantities against\n"
    "the expected ones, each followed by ok or off; dt 0.01 unless given):\n"
    "  rest-sphere  a sphere dropped from 1 m comes to rest at y = 0.5 and falls asleep (300 steps)\n"
    "  rest-box     a box dropped flat, and turned, rests at y = 0.501 upright and asleep (400 steps)\n"
    "  bounce       spheres from 2 m with restitution 0.2, 0.5, 0.8: rebound apex e^2 h (400 steps)\n"
    "  incline      boxes on 30 degrees slide at g (sin - mu cos); on 20 degrees with mu 0.5 they stick\n"
    "               (200 steps)\n"
    "  stack        a column of 5 boxes stays upright in place and falls asleep (500 steps)\n"
    "  pyramid      a pyramid of base 5 moves less than 5 cm (500 steps)\n"
    "  column-20    a column of 20 boxes at the updates with which stacks come to rest (6667 position,\n"
    "               20000 force): no box moves 0.1 m and all are asleep within 3 s (1000 steps)\n"
    "  pyramid-10   a pyramid of base 10 (55 boxes) likewise (1000 steps)\n"
    "  pendulum     a ball joint pendulum of 1 m swings with period 1.991 s (600 steps)\n"
    "  hinge        a door stops at its 90 degree limit; a soft limit springs it back to 0 (400 steps)\n"
    "  lift         a platform locked to a rising frame follows it within 5 cm (150 steps)\n"
    "  rock         a small sphere at 50 m/s does not pass through the floor (60 steps of 1/30 s)\n"
    "  collide      two equal spheres exchange velocities; momentum is kept (100 steps)\n"
    "\n"
    "Options:\n"
    "  --steps N        steps to run (1..1000000; default per scene)\n"
    "  --dt S           time step in seconds (0 < S <= 1; default 0.01)\n"
    "  --csv FILE       write every recorded column, one row per step\n"
    "  --plot FILE.png  draw the scene's main quantity against time\n"
    "  --help           this text\n"
    "\n"
    "Exit status: 0 the scene's checks hold, 1 they do not, 2 bad arguments or an unwritable file.\n";

// The behaviour scenes with their default steps and time step.
struct Behaviour {
    const char* name;
    int steps;
    double dt;
    physics_sim::Result (*run)(int steps, float dt);
};

const Behaviour kBehaviours[] = {
    {"rest-sphere", 300, 0.01, physics_sim::RestSphere},
    {"rest-box", 400, 0.01, physics_sim::RestBox},
    {"bounce", 400, 0.01, physics_sim::Bounce},
    {"incline", 200, 0.01, physics_sim::Incline},
    {"stack", 500, 0.01, [](int steps, float dt) { return physics_sim::Stack(steps, dt, 1, 5); }},
    {"pyramid", 500, 0.01, [](int steps, float dt) { return physics_sim::Stack(steps, dt, 5, 0); }},
    {"column-20", 1000, 0.01, [](int steps, float dt) { return physics_sim::Stack(steps, dt, 1, 20, true); }},
    {"pyramid-10", 1000, 0.01, [](int steps, float dt) { return physics_sim::Stack(steps, dt, 10, 0, true); }},
    {"pendulum", 600, 0.01, physics_sim::Pendulum},
    {"hinge", 400, 0.01, physics_sim::Hinge},
    {"lift", 150, 0.01, physics_sim::Lift},
    {"rock", 60, 1.0 / 30.0, physics_sim::Rock},
    {"collide", 100, 0.01, physics_sim::Collide},
};

const Behaviour* FindBehaviour(const char* name) {
    for (const Behaviour& b : kBehaviours) {
        if (std::strcmp(b.name, name) == 0) {
            return &b;
        }
    }
    return nullptr;
}

// A bad command line: the problem and where the help is; the help itself only with --help.
int Usage(const char* problem, const char* argument) {
    std::fprintf(stderr, "physics_sim: %s '%s' (physics_sim --help lists the scenes and options)\n", problem, argument);
    return 2;
}

bool ParseSeconds(const char* text, double* out) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v > 0.0) || v > 1.0) {
        return false;
    }
    *out = v;
    return true;
}

bool WriteCsv(const physics_sim::Result& r, const char* path) {
    FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        return false;
    }
    std::fprintf(file, "t (s)");
    for (const auto& c : r.columns) {
        std::fprintf(file, ",%s", c.name.c_str());
    }
    std::fprintf(file, "\n");
    for (std::size_t i = 0; i < r.time.size(); ++i) {
        std::fprintf(file, "%.9g", r.time[i]);
        for (const auto& c : r.columns) {
            std::fprintf(file, ",%.9g", i < c.values.size() ? c.values[i] : NAN);
        }
        std::fprintf(file, "\n");
    }
    return std::fclose(file) == 0;
}

} // namespace

int main(int argc, char** argv) {
    const char* scene = nullptr;
    const char* csv = nullptr;
    const char* plot = nullptr;
    long steps = -1;
    double dt = 0.01;
    bool dtGiven = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        const bool takesValue = std::strcmp(a, "--scene") == 0 || std::strcmp(a, "--steps") == 0 ||
                                std::strcmp(a, "--dt") == 0 || std::strcmp(a, "--csv") == 0 ||
                                std::strcmp(a, "--plot") == 0;
        if (!takesValue) {
            return Usage("unknown argument", a);
        }
        if (i + 1 >= argc) {
            return Usage("missing value after", a);
        }
        const char* v = argv[++i];
        if (std::strcmp(a, "--scene") == 0) {
            scene = v;
        } else if (std::strcmp(a, "--steps") == 0) {
            if (!tools::ParseLong(v, 1, 1000000, &steps)) {
                return Usage("--steps wants a whole number from 1 to 1000000, not", v);
            }
        } else if (std::strcmp(a, "--dt") == 0) {
            dtGiven = true;
            if (!ParseSeconds(v, &dt)) {
                return Usage("--dt wants seconds above 0 and at most 1, not", v);
            }
        } else if (std::strcmp(a, "--csv") == 0) {
            csv = v;
        } else {
            plot = v;
        }
    }
    if (scene == nullptr) {
        return Usage("missing", "--scene");
    }
    physics_sim::Result r;
    if (std::strcmp(scene, "freefall") == 0) {
        r = physics_sim::FreeFall(steps > 0 ? static_cast<int>(steps) : 100, static_cast<float>(dt));
    } else if (std::strcmp(scene, "spin") == 0) {
        r = physics_sim::Spin(steps > 0 ? static_cast<int>(steps) : 1000, static_cast<float>(dt));
    } else if (std::strcmp(scene, "box-on-floor") == 0) {
        r = physics_sim::BoxOnFloor(steps > 0 ? static_cast<int>(steps) : 1, static_cast<float>(dt));
    } else if (std::strcmp(scene, "contacts") == 0) {
        r = physics_sim::Contacts(steps > 0 ? static_cast<int>(steps) : 81);
    } else if (const Behaviour* b = FindBehaviour(scene)) {
        const float step = static_cast<float>(dtGiven ? dt : b->dt);
        r = b->run(steps > 0 ? static_cast<int>(steps) : b->steps, step);
    } else {
        return Usage("unknown scene", scene);
    }
    std::printf("# %s\n# step  t (s)", r.title.c_str());
    for (const auto& c : r.columns) {
        std::printf("  %s", c.name.c_str());
    }
    std::printf("\n");
    for (std::size_t i = 0; i < r.time.size(); ++i) {
        std::printf("%zu %.4f", i + 1, r.time[i]);
        for (const auto& c : r.columns) {
            std::printf(" %.7g", c.values[i]);
        }
        std::printf("\n");
    }
    for (const std::string& line : r.summary) {
        std::printf("%s\n", line.c_str());
    }
    if (csv != nullptr && !WriteCsv(r, csv)) {
        std::fprintf(stderr, "physics_sim: %s: cannot write the CSV file: %s\n", csv, FileWriteFailure(csv).c_str());
        return 2;
    }
    if (plot != nullptr) {
        physics_sim::LinePlot p;
        p.title = r.title;
        p.xAxis = "TIME (S)";
        p.yAxis = r.quantity;
        p.x = r.time;
        for (std::size_t k : r.plotted) {
            p.lines.push_back({r.columns[k].name, r.columns[k].values});
        }
        if (!physics_sim::WriteLinePlot(p, plot)) {
            std::fprintf(stderr, "physics_sim: %s: cannot write the plot: %s\n", plot, FileWriteFailure(plot).c_str());
            return 2;
        }
    }
    return r.ok ? 0 : 1;
}
