// The stage chain's choices as tables: which frame is shown and which frame each stage reads.
#include <gtest/gtest.h>

#include "plugin/stage-chain.h"

namespace {

using namespace tessolux::main_window;

constexpr std::uint32_t idle = 127;
constexpr slot_presence all{true, true, true};

TEST(stage_chain,
     shows_the_newest_output_that_is_not_being_recomputed_and_each_stage_reads_the_one_before_it) {
    const struct {
        slot_presence slots;
        std::uint32_t result_slot_stage, running_stage;
        frame_slot shown;
    } shown[] = {
        // A delivered result of the last four stages wins whatever runs.
        {all, 8, 2, frame_slot::result},
        // The result slot holds the host's image but no stage output: not shown.
        {{false, true, true}, idle, idle, frame_slot::enhanced},
        {{false, false, true}, idle, idle, frame_slot::source},
        // A stage recomputing: its old output is not shown, the one before it is.
        {all, idle, 4, frame_slot::denoised},
        {{true, true, false}, idle, 8, frame_slot::enhanced},
        {all, idle, 2, frame_slot::source},
    };
    for (const auto& c : shown)
        EXPECT_EQ(choose_display_slot(c.slots, c.result_slot_stage, c.running_stage), c.shown)
            << "result stage " << c.result_slot_stage << ", running " << c.running_stage;
    // The last three read the result slot only while it holds an earlier stage's output.
    EXPECT_EQ(choose_stage_source(4, {false, true, true}, 8), frame_slot::source);
    EXPECT_EQ(choose_stage_source(8, all, 16), frame_slot::enhanced);
    EXPECT_EQ(choose_stage_source(8, {true, false, true}, idle), frame_slot::denoised);
    EXPECT_EQ(choose_stage_source(16, all, 8), frame_slot::result);
    EXPECT_EQ(choose_stage_source(32, {false, false, true}, 32), frame_slot::source);
    EXPECT_EQ(choose_stage_source(64, {false, true, true}, 64), frame_slot::enhanced);
}

} // namespace
