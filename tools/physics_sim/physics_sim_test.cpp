// The behaviour scenes as oracles: a simulation gone non-finite never passes a scene; the
// box-on-floor scene runs the steps asked for and its plot shows its data.

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/physics_sim/plot.h"
#include "tools/physics_sim/scenes.h"
#include "tools/plot/canvas.h"
#include "testing/scratch_dir.h"

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

TEST(PhysicsSimScenes, BoxOnFloorRunsTheStepsAskedAndItsPlotShowsEvenOneStep) {
    const std::string path = (MakeTestScratchDir("physics_sim") / "box_on_floor.png").string();
    for (int steps : {1, 7}) {
        const physics_sim::Result r = physics_sim::BoxOnFloor(steps, 0.01f);
        EXPECT_TRUE(r.ok) << steps;
        ASSERT_EQ(r.time.size(), static_cast<std::size_t>(steps));
        physics_sim::LinePlot plot;
        plot.title = r.title;
        plot.xAxis = "TIME (S)";
        plot.yAxis = r.quantity;
        plot.x = r.time;
        for (std::size_t k : r.plotted)
            plot.lines.push_back({r.columns[k].name, r.columns[k].values});
        ASSERT_EQ(plot.lines.size(), 1u);
        ASSERT_TRUE(physics_sim::WriteLinePlot(plot, path.c_str()));
        // The series' colour beyond the legend's swatch (19 x 3 pixels): the data was drawn.
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
        image.format = PNG_FORMAT_RGB;
        std::vector<png_byte> rgb(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
        const plot::Rgb c = plot::SeriesColour(0, 1);
        std::size_t inked = 0;
        for (std::size_t i = 0; i + 2 < rgb.size(); i += 3)
            inked += rgb[i] == c.r && rgb[i + 1] == c.g && rgb[i + 2] == c.b;
        EXPECT_GT(inked, 19u * 3u + 20u) << steps << " steps";
    }
    std::remove(path.c_str());
}
