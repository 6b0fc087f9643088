#include "panel-test.h"

using namespace panel_test;

namespace {
using controls_panel = panel_world;
}

TEST_F(controls_panel, builds) {
    make_panel();
    EXPECT_TRUE(failures.empty());
}
