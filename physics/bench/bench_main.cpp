// physics_bench: the micro-benchmarks (Google Benchmark), or with --compare the comparison of
// whole scenes against a well-known open-source engine, printed as a table.

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "physics/bench/engine_compare.h"

namespace {

const char kUsage[] =
    "usage: physics_bench [GOOGLE BENCHMARK OPTIONS]\n"
    "       physics_bench --compare [--scene KIND:N]... [--dt S]... [--sleep off|on|both]\n"
    "                     [--budget default|raised|both] [--engine ovp,bullet] [--iterations N]\n"
    "                     [--steps N] [--warmup N]\n"
    "                     [--csv FILE]\n"
    "\n"
    "Without --compare the micro-benchmarks run. With --compare one scene description is run by\n"
    "this engine (ovp) and by Bullet (single precision, when the benchmark build found it) and a\n"
    "markdown table is printed: median and 95th-percentile ms per step, steps per second, the ratio\n"
    "ovp / bullet of steps per second, and the quality figures: the deepest contact overlap (mm),\n"
    "the top box's sideways drift (mm), bodies more than 0.1 m from where they were built, the time\n"
    "until every body slept (s) and the drift of kinetic plus potential energy (J).\n"
    "\n"
    "  --scene KIND:N   column:N boxes, pyramid:BASE, rain:N boxes, mesh:N spheres on a\n"
    "                   10,000-triangle mesh (repeatable; default: column 5, 10, 20; pyramid 5, 10,\n"
    "                   20; rain 100, 500, 1000; mesh 100)\n"
    "  --dt S           time step (repeatable; default 1/60 and 0.01)\n"
    "  --sleep WHICH    sleeping off, on or both (default both)\n"
    "  --budget WHICH   this engine's solver row budgets per batch and per body: default (400\n"
    "                   and 400, the engine's own; larger islands are partitioned), raised (100,000:\n"
    "                   one island one batch) or both (default: default)\n"
    "  --engine LIST    engines to run, comma-separated (default ovp,bullet)\n"
    "  --iterations N   this engine's single-row updates per batch in the force pass, the position\n"
    "                   pass getting a third (default: the engine's own 300 and 100). More updates\n"
    "                   solve the rows closer and cost time in proportion: a raised count measures\n"
    "                   a better-converged engine than the one the defaults give\n"
    "  --steps N        timed steps after the warm-up (default 600)\n"
    "  --warmup N       steps before timing (default 60)\n"
    "  --csv FILE       also write the rows as CSV\n"
    "  --help           this text\n";

int Bad(const char* what, const char* arg) {
    std::fprintf(stderr, "physics_bench: %s '%s'\n%s", what, arg, kUsage);
    return 2;
}

bool ParseInt(const char* s, int lo, int hi, int* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

bool ParseScene(const char* s, physics_bench::Scene* out) {
    const char* colon = std::strchr(s, ':');
    if (colon == nullptr) {
        return false;
    }
    const std::string kind(s, colon);
    int n = 0;
    if (!ParseInt(colon + 1, 1, 1022, &n)) {
        return false;
    }
    if (kind == "column") {
        *out = {physics_bench::Scene::kColumn, n};
    } else if (kind == "pyramid" && n <= 40) {
        *out = {physics_bench::Scene::kPyramid, n};
    } else if (kind == "rain") {
        *out = {physics_bench::Scene::kRain, n};
    } else if (kind == "mesh") {
        *out = {physics_bench::Scene::kMesh, n};
    } else {
        return false;
    }
    return true;
}

std::string Cell(double v, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

int Compare(int argc, char** argv) {
    std::vector<physics_bench::Scene> scenes;
    std::vector<float> dts;
    std::vector<bool> sleeps = {false, true};
    std::vector<bool> budgets = {false};
    std::vector<std::string> engines = {"ovp", "bullet"};
    physics_bench::Options base;
    const char* csv = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--compare") == 0) {
            continue;
        }
        if (i + 1 >= argc) {
            return Bad("missing value after", a);
        }
        const char* v = argv[++i];
        if (std::strcmp(a, "--scene") == 0) {
            physics_bench::Scene s;
            if (!ParseScene(v, &s)) {
                return Bad("--scene wants column:N, pyramid:N (N <= 40), rain:N or mesh:N with N from 1 to 1022, not",
                           v);
            }
            scenes.push_back(s);
        } else if (std::strcmp(a, "--dt") == 0) {
            char* end = nullptr;
            const double dt = std::strtod(v, &end);
            if (end == v || *end != '\0' || !(dt > 0.0) || dt > 0.1) {
                return Bad("--dt wants seconds above 0 and at most 0.1, not", v);
            }
            dts.push_back(static_cast<float>(dt));
        } else if (std::strcmp(a, "--sleep") == 0 || std::strcmp(a, "--budget") == 0) {
            const bool sleep = a[2] == 's';
            const char* one = sleep ? "on" : "raised";
            const char* other = sleep ? "off" : "default";
            std::vector<bool>& list = sleep ? sleeps : budgets;
            if (std::strcmp(v, one) == 0) {
                list = {true};
            } else if (std::strcmp(v, other) == 0) {
                list = {false};
            } else if (std::strcmp(v, "both") == 0) {
                list = {false, true};
            } else {
                return Bad(sleep ? "--sleep wants off, on or both, not" : "--budget wants default, raised or both, not",
                           v);
            }
        } else if (std::strcmp(a, "--engine") == 0) {
            engines.clear();
            std::string list = v;
            for (std::size_t at = 0; at <= list.size();) {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                const std::string name = list.substr(at, comma - at);
                if (name != "ovp" && name != "bullet") {
                    return Bad("--engine wants ovp and bullet, comma-separated, not", v);
                }
                if (name == "bullet" && !physics_bench::BulletAvailable()) {
                    return Bad("this build has no Bullet (libbullet-dev was not found):", v);
                }
                engines.push_back(name);
                at = comma + 1;
            }
        } else if (std::strcmp(a, "--steps") == 0) {
            if (!ParseInt(v, 1, 1000000, &base.steps)) {
                return Bad("--steps wants a whole number from 1 to 1000000, not", v);
            }
        } else if (std::strcmp(a, "--iterations") == 0) {
            if (!ParseInt(v, 1, 10000000, &base.iterations)) {
                return Bad("--iterations wants a whole number from 1 to 10000000, not", v);
            }
        } else if (std::strcmp(a, "--warmup") == 0) {
            if (!ParseInt(v, 0, 1000000, &base.warmup)) {
                return Bad("--warmup wants a whole number from 0 to 1000000, not", v);
            }
        } else if (std::strcmp(a, "--csv") == 0) {
            csv = v;
        } else {
            return Bad("unknown argument", a);
        }
    }
    if (scenes.empty()) {
        scenes = physics_bench::DefaultScenes();
    }
    if (dts.empty()) {
        dts = {1.0f / 60.0f, 0.01f};
    }
    if (!physics_bench::BulletAvailable()) {
        std::vector<std::string> kept;
        for (const std::string& e : engines) {
            if (e != "bullet") {
                kept.push_back(e);
            }
        }
        engines = kept;
        std::printf("(this build has no Bullet: libbullet-dev was not found; only this engine runs)\n\n");
    }
    FILE* out = nullptr;
    if (csv != nullptr && (out = std::fopen(csv, "w")) == nullptr) {
        std::fprintf(stderr, "physics_bench: %s: cannot write the CSV file\n", csv);
        return 2;
    }
    if (out != nullptr) {
        std::fprintf(out, "scene,dt,sleep,budgets,engine,median_ms,p95_ms,steps_per_s,ratio,penetration_mm,"
                          "top_drift_mm,collapsed,sleep_s,energy_drift_j,solved\n");
    }
    std::printf("| scene | dt | sleep | engine | median ms | p95 ms | steps/s | ratio | pen. mm | top drift mm | "
                "collapsed | asleep s | energy J |\n");
    std::printf("|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const physics_bench::Scene& scene : scenes) {
        for (float dt : dts) {
            for (bool sleep : sleeps) {
                struct Result {
                    std::string engine;
                    physics_bench::Row row;
                };
                std::vector<Result> results;
                for (const std::string& engine : engines) {
                    for (bool raised : engine == "ovp" ? budgets : std::vector<bool>{true}) {
                        physics_bench::Options o = base;
                        o.dt = dt;
                        o.sleep = sleep;
                        o.raisedBudgets = raised;
                        physics_bench::Row row;
                        if (!physics_bench::Run(scene, engine, o, &row)) {
                            std::fprintf(stderr, "physics_bench: %s refused %s\n", engine.c_str(),
                                         physics_bench::SceneName(scene).c_str());
                            continue;
                        }
                        const std::string label = engine == "ovp" && budgets.size() > 1
                                                      ? engine + (raised ? " (raised)" : " (default)")
                                                      : engine;
                        results.push_back({label, row});
                    }
                }
                double reference = 0.0;
                for (const Result& r : results) {
                    if (r.engine == "bullet") {
                        reference = r.row.stepsPerSecond;
                    }
                }
                for (const Result& r : results) {
                    const physics_bench::Row& w = r.row;
                    const std::string ratio =
                        reference > 0.0 ? Cell(w.stepsPerSecond / reference, "%.2f") : std::string("-");
                    const std::string drift = w.stack ? Cell(1000.0 * w.topDrift, "%.2f") : std::string("-");
                    const std::string collapsed = Cell(w.collapsed, "%.0f");
                    const std::string asleep = w.sleepTime >= 0.0 ? Cell(w.sleepTime, "%.2f") : std::string("-");
                    std::printf("| %s | %.4f | %s | %s%s | %.3f | %.3f | %.0f | %s | %.2f | %s | %s | %s | %.3f |\n",
                                physics_bench::SceneName(scene).c_str(), dt, sleep ? "on" : "off", r.engine.c_str(),
                                w.solved ? "" : " (unsolved steps)", w.median, w.p95, w.stepsPerSecond, ratio.c_str(),
                                1000.0 * w.penetration, drift.c_str(), collapsed.c_str(), asleep.c_str(),
                                w.energyDrift);
                    if (out != nullptr) {
                        std::fprintf(out, "%s,%.6f,%s,%s,%s,%.4f,%.4f,%.1f,%s,%.3f,%s,%d,%.3f,%.4f,%d\n",
                                     physics_bench::SceneName(scene).c_str(), dt, sleep ? "on" : "off",
                                     budgets.size() > 1 ? "both" : (budgets[0] ? "raised" : "default"),
                                     r.engine.c_str(), w.median, w.p95, w.stepsPerSecond, ratio.c_str(),
                                     1000.0 * w.penetration, drift.c_str(), w.collapsed, w.sleepTime, w.energyDrift,
                                     w.solved ? 1 : 0);
                    }
                    std::fflush(stdout);
                }
            }
        }
    }
    if (out != nullptr && std::fclose(out) != 0) {
        std::fprintf(stderr, "physics_bench: %s: cannot write the CSV file\n", csv);
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--compare") == 0) {
            return Compare(argc, argv);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
