// The stage chain's choices as tables: which frame is shown, which frame each stage reads, and whether a
// stage waits for an earlier one, is skipped or starts.
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

TEST(stage_chain, a_stage_waits_while_an_earlier_one_runs_else_starts_when_active_with_work_else_is_skipped) {
    constexpr auto wait = stage_step::wait, skip = stage_step::skip, start = stage_step::start;
    const struct {
        std::uint32_t stage;
        bool active, has_work;
        std::uint32_t running_stage;
        stage_step step;
    } steps[] = {
        // Noise reduction, the head of the chain, never waits: a change there starts the chain anew.
        {2, true, true, idle, start},
        {2, true, true, 4, start},
        {2, true, false, idle, skip},
        {2, false, true, 2, skip},
        // An earlier stage's job runs: the chain reaches this stage when it delivers, whatever it is set to.
        {4, true, true, 2, wait},
        {8, false, false, 4, wait},
        {64, false, true, 32, wait},
        {16, true, true, 8, wait},
        // Its own job, or a later one, runs: it is started anew (superseding it) or skipped.
        {4, true, true, 4, start},
        {8, true, true, 64, start},
        {32, false, true, 32, skip},
        {64, true, false, 64, skip},
        {16, false, true, idle, skip},
        {64, true, true, idle, start},
    };
    for (const auto& c : steps)
        EXPECT_EQ(choose_stage_step(c.stage, c.active, c.has_work, c.running_stage), c.step)
            << "stage " << c.stage << (c.active ? " active" : " inactive") << (c.has_work ? " with work" : "")
            << ", running " << c.running_stage;
}

} // namespace
