#pragma once
// GoogleTest fixture: every test runs with the graphics engine started on the null driver.

#include <gtest/gtest.h>

#include "graphics/core/testkit/engine_fixture.h"

class OvEngineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(OvTestEngineUp()); }
    void TearDown() override { EXPECT_TRUE(OvTestEngineDown()); }
};
