// The fake AI host's geometry against brute-force sampling.

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "testing/fake_ai_host.h"

namespace {

// Replaces the host's boxes with `count` random ones: corners in the coordinate range, sides in the
// extent range.
std::vector<FakeBox> RandomBoxes(FakeAiHost& host, std::mt19937& rng, std::uniform_real_distribution<float>& coordinate,
                                 std::uniform_real_distribution<float>& extent, int count) {
    host.ClearBoxes();
    std::vector<FakeBox> boxes;
    for (int b = 0; b < count; ++b) {
        const float x = coordinate(rng), y = coordinate(rng), z = coordinate(rng);
        boxes.push_back({{x, y, z}, {x + extent(rng), y + extent(rng), z + extent(rng)}});
        host.AddBox(x, y, z, boxes.back().max[0], boxes.back().max[1], boxes.back().max[2]);
    }
    return boxes;
}

// The fake host's segment test against sampling along the segment.
TEST(FakeAiHostTest, SegmentBoxTestMatchesSampling) {
    FakeAiHost& host = FakeAiHost::Instance();
    host.Reset();
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> coordinate(-10.0f, 10.0f);
    std::uniform_real_distribution<float> extent(0.5f, 4.0f);
    for (int round = 0; round < 200; ++round) {
        RandomBoxes(host, rng, coordinate, extent, 3);
        float from[3] = {coordinate(rng), coordinate(rng), coordinate(rng)};
        float to[3] = {coordinate(rng), coordinate(rng), coordinate(rng)};
        float inflate = round % 2 == 0 ? 0.0f : 0.5f;
        float fraction = -1.0f;
        float normal[3];
        bool hit = host.Intersect(from, to, inflate, &fraction, normal);
        // First sample (of 2000) that lies inside a box.
        float firstInside = 2.0f;
        for (int i = 0; i <= 2000 && firstInside > 1.0f; ++i) {
            float t = static_cast<float>(i) / 2000.0f;
            float p[3];
            for (int a = 0; a < 3; ++a) {
                p[a] = from[a] + (to[a] - from[a]) * t;
            }
            float fakeFraction;
            float fakeNormal[3];
            if (host.Intersect(p, p, inflate, &fakeFraction, fakeNormal)) {
                firstInside = t;
            }
        }
        if (firstInside <= 1.0f) {
            ASSERT_TRUE(hit) << round;
            EXPECT_LE(fraction, firstInside + 1e-5f) << round;
            EXPECT_GE(fraction, firstInside - 1.0f / 2000.0f - 1e-5f) << round;
        } else if (hit) {
            // Only a graze thinner than the sampling step may escape the samples.
            EXPECT_GE(fraction, 0.0f);
        }
    }
}

// The sphere sweep against the least distance from the segment to each box, found by sampling; cases
// within the sampling error of the radius are left out.
TEST(FakeAiHostTest, SphereSweepMatchesTheDistanceToTheBoxes) {
    FakeAiHost& host = FakeAiHost::Instance();
    host.Reset();
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> coordinate(-6.0f, 6.0f);
    std::uniform_real_distribution<float> extent(0.5f, 3.0f);
    std::uniform_real_distribution<float> radius(0.1f, 1.5f);
    int hits = 0, misses = 0;
    for (int round = 0; round < 400; ++round) {
        const std::vector<FakeBox> boxes = RandomBoxes(host, rng, coordinate, extent, 2);
        const float from[3] = {coordinate(rng), coordinate(rng), coordinate(rng)};
        const float to[3] = {coordinate(rng), coordinate(rng), coordinate(rng)};
        const float r = radius(rng);
        double least = 1e30;
        for (int i = 0; i <= 4000; ++i) {
            const double t = i / 4000.0;
            for (const FakeBox& box : boxes) {
                double sum = 0.0;
                for (int a = 0; a < 3; ++a) {
                    const double p = from[a] + t * (to[a] - from[a]);
                    const double d = std::max({box.min[a] - p, 0.0, p - box.max[a]});
                    sum += d * d;
                }
                least = std::min(least, std::sqrt(sum));
            }
        }
        if (std::fabs(least - r) < 0.01) {
            continue;
        }
        const bool expected = least < r;
        EXPECT_EQ(host.SphereSweepHits(from, to, r), expected) << round << " distance " << least << " radius " << r;
        (expected ? hits : misses)++;
    }
    EXPECT_GT(hits, 20);
    EXPECT_GT(misses, 20);

    // Past a corner diagonally, 1.2 radii from it: the grown box is entered, the sphere passes.
    host.ClearBoxes();
    host.AddBox(-2, -2, -2, 0, 2, 0);
    const float c = 1.2f * 0.5f / std::sqrt(2.0f);
    const float a[3] = {c - 2.0f, 1, c + 2.0f}, b[3] = {c + 2.0f, 1, c - 2.0f};
    float fraction, normal[3];
    EXPECT_TRUE(host.Intersect(a, b, 0.5f, &fraction, normal));
    EXPECT_FALSE(host.SphereSweepHits(a, b, 0.5f));
    EXPECT_TRUE(host.SphereSweepHits(a, b, 0.7f));
}

} // namespace
