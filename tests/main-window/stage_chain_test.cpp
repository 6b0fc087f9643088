// The stage chain's choices as tables: which frame is shown, which frame each stage reads, and when a
// stage waits for an earlier one, is skipped or starts.
#include <gtest/gtest.h>

#include "plugin/stage-chain.h"

namespace {

using tessolux::main_window::choose_display_slot;
using tessolux::main_window::choose_stage_source;
using tessolux::main_window::choose_stage_step;
using tessolux::main_window::frame_slot;
using tessolux::main_window::slot_presence;
using tessolux::main_window::stage_step;

constexpr std::uint32_t idle = 127;

struct display_case {
    slot_presence slots;
    std::uint32_t result_slot_stage;
    std::uint32_t running_stage;
    frame_slot shown;
};

TEST(stage_chain, shows_the_newest_output_that_is_not_being_recomputed) {
    const display_case cases[] = {
        // A delivered result of the last four stages wins whatever runs.
        {{true, true, true}, 8, 2, frame_slot::result},
        {{false, false, true}, 64, idle, frame_slot::result},
        {{false, false, true}, 32, 4, frame_slot::result},
        // The result slot holds the host's image but no stage output: not shown.
        {{false, true, true}, idle, idle, frame_slot::enhanced},
        {{false, false, true}, idle, idle, frame_slot::source},
        // Natural enhancement recomputing: its old output is not shown; noise reduction's is.
        {{true, true, true}, idle, 4, frame_slot::denoised},
        {{true, true, false}, idle, 8, frame_slot::enhanced},
        // Noise reduction recomputing: only the source is current.
        {{true, true, true}, idle, 2, frame_slot::source},
        {{true, false, false}, idle, idle, frame_slot::denoised},
        {{false, false, false}, idle, idle, frame_slot::source},
    };
    for (const display_case& c : cases)
        EXPECT_EQ(choose_display_slot(c.slots, c.result_slot_stage, c.running_stage), c.shown)
            << "slots " << c.slots.denoised << c.slots.enhanced << c.slots.result << ", result stage "
            << c.result_slot_stage << ", running " << c.running_stage;
}

struct source_case {
    std::uint32_t stage;
    slot_presence slots;
    std::uint32_t result_slot_stage;
    frame_slot read;
};

TEST(stage_chain, each_stage_reads_the_newest_valid_output_before_it) {
    const source_case cases[] = {
        {4, {false, true, true}, 8, frame_slot::source},
        {4, {true, true, true}, 8, frame_slot::denoised},
        {8, {true, true, true}, 16, frame_slot::enhanced},
        {8, {true, false, true}, idle, frame_slot::denoised},
        {8, {false, false, true}, idle, frame_slot::source},
        // The last three read the result slot only while it holds an earlier stage's output.
        {16, {true, true, true}, 8, frame_slot::result},
        {16, {true, true, true}, 16, frame_slot::enhanced},
        {16, {true, false, true}, idle, frame_slot::denoised},
        {32, {false, false, true}, 16, frame_slot::result},
        {32, {false, false, true}, 32, frame_slot::source},
        {64, {false, true, true}, 32, frame_slot::result},
        {64, {false, true, true}, 64, frame_slot::enhanced},
        {64, {false, false, true}, idle, frame_slot::source},
    };
    for (const source_case& c : cases)
        EXPECT_EQ(choose_stage_source(c.stage, c.slots, c.result_slot_stage), c.read)
            << "stage " << c.stage << ", result stage " << c.result_slot_stage;
}

TEST(stage_chain, a_stage_waits_while_an_earlier_job_runs_and_skips_when_it_has_nothing_to_do) {
    // Noise reduction always proceeds: a change there starts the chain over.
    EXPECT_EQ(choose_stage_step(2, true, true, 2), stage_step::start);
    EXPECT_EQ(choose_stage_step(2, true, false, idle), stage_step::skip);
    EXPECT_EQ(choose_stage_step(2, false, true, idle), stage_step::skip);
    for (const std::uint32_t stage : {4u, 8u, 16u, 32u, 64u}) {
        SCOPED_TRACE(stage);
        EXPECT_EQ(choose_stage_step(stage, true, true, 2), stage_step::wait);
        EXPECT_EQ(choose_stage_step(stage, false, false, stage / 2), stage_step::wait);
        EXPECT_EQ(choose_stage_step(stage, true, true, stage), stage_step::start);
        EXPECT_EQ(choose_stage_step(stage, true, true, idle), stage_step::start);
        EXPECT_EQ(choose_stage_step(stage, false, true, idle), stage_step::skip);
        EXPECT_EQ(choose_stage_step(stage, true, false, stage), stage_step::skip);
    }
}

} // namespace
