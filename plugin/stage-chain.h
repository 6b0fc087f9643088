// The stage chain's choices, free of windows and engines: which frame each stage reads, whether a stage
// waits, skips or starts, and which frame the preview shows. The main window's runners act on them.
#pragma once

#include <cstdint>

namespace tessolux::main_window {

// The four frame slots of the main window.
enum class frame_slot { source, denoised, enhanced, result };

// Which of the three output slots hold a frame (the source always does).
struct slot_presence {
    bool denoised;
    bool enhanced;
    bool result;
};

// The newest output that is not being recomputed; 127 (idle) in running_stage is above every stage.
frame_slot choose_display_slot(slot_presence slots, std::uint32_t result_slot_stage,
                               std::uint32_t running_stage) noexcept;

// The frame a stage reads: the newest valid output before it. The last four stages share the result
// slot, which they read only while it holds the output of a stage before them.
frame_slot choose_stage_source(std::uint32_t stage, slot_presence slots,
                               std::uint32_t result_slot_stage) noexcept;

enum class stage_step {
    wait, // an earlier stage's job runs; the chain reaches this stage when it delivers
    skip, // inactive, or nothing to do with these values
    start,
};

// Noise reduction never waits: a change there restarts the whole chain.
stage_step choose_stage_step(std::uint32_t stage, bool active, bool has_work,
                             std::uint32_t running_stage) noexcept;

} // namespace tessolux::main_window
