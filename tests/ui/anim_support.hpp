// A layer on the test host's manual clock, and readers of its presentation at chosen times.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "qmplatform/dispatch.hpp"
#include "qmui/layer.hpp"
#include "test_host.hpp"

namespace qm::testkit {

class AnimationTest : public ::testing::Test {
protected:
    TestHost host;
    const double start = platform::Layer::currentTime();
    std::shared_ptr<platform::Layer> layer = std::make_shared<platform::Layer>();

    // The layer goes, and the stops it reports go through the run loop, while the test's own
    // members (what its callbacks record into) are still alive.
    void TearDown() override {
        layer.reset();
        platform::RunLoop::main().runUntilIdle(1);
    }

    // The layer's time `seconds` after the test started.
    double at(double seconds) const { return start + seconds; }
    double numberAt(const std::string& keyPath, double seconds) const {
        auto value = layer->presentationValue(keyPath, at(seconds)).number();
        EXPECT_TRUE(value.has_value()) << keyPath;
        return value.value_or(NAN);
    }
};

}  // namespace qm::testkit
