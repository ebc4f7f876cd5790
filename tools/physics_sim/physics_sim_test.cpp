// The behaviour scenes as oracles: a simulation gone non-finite never passes a scene.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tools/physics_sim/scenes.h"

TEST(PhysicsSimScenes, ANonFiniteRunPassesNoScene) {
    // A NaN time step turns every moving body's state to NaN: each scene must say off, and no
    // check line of a NaN measurement may say ok.
    using Run = physics_sim::Result (*)(int, float);
    const struct {
        const char* name;
        Run run;
    } scenes[] = {
        {"rest-sphere", physics_sim::RestSphere},
        {"rest-box", physics_sim::RestBox},
        {"bounce", physics_sim::Bounce},
        {"incline", physics_sim::Incline},
        {"stack", [](int steps, float dt) { return physics_sim::Stack(steps, dt, 1, 5); }},
        {"pyramid", [](int steps, float dt) { return physics_sim::Stack(steps, dt, 5, 0); }},
        {"pendulum", physics_sim::Pendulum},
        {"hinge", physics_sim::Hinge},
        {"lift", physics_sim::Lift},
        {"rock", physics_sim::Rock},
        {"collide", physics_sim::Collide},
    };
    for (const auto& scene : scenes) {
        const physics_sim::Result r = scene.run(40, std::nanf(""));
        EXPECT_FALSE(r.ok) << scene.name;
        for (const std::string& line : r.summary) {
            EXPECT_FALSE(line.find("measured nan") != std::string::npos && line.ends_with(": ok"))
                << scene.name << ": " << line;
        }
    }
}
