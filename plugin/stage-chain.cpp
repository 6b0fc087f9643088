// The stage chain: the six stages run in their fixed order, one job at a time on the filter lane, each
// reading the newest valid output before it. A change restarts the chain at the changed stage (at
// red-eye removal for any of the last four, which share the result slot); each result starts the next
// stage at once; the end of the chain shows the result.
#include "stage-chain.h"

#include <stdexcept>
#include <system_error>

#include "am-text.h"
#include "filter-jobs.h"
#include "main-dialog-impl.h"

#include "resource.h"
#include "worker-lanes.h"

namespace tessolux::main_window {

// Choices --------------------------------------------------------------------------------------------------

frame_slot choose_display_slot(slot_presence slots, std::uint32_t result_slot_stage,
                               std::uint32_t running_stage) noexcept {
    const bool result_shown = result_slot_stage == remove_red_eyes || result_slot_stage == tilt_shift ||
                              result_slot_stage == film_effect || result_slot_stage == grain;
    if (slots.result && result_shown)
        return frame_slot::result;
    if (slots.enhanced && running_stage > natural_enhance)
        return frame_slot::enhanced;
    if (!slots.denoised)
        return frame_slot::source;
    if (running_stage > reduce_noise)
        return frame_slot::denoised;
    return frame_slot::source;
}

frame_slot choose_stage_source(std::uint32_t stage, slot_presence slots,
                               std::uint32_t result_slot_stage) noexcept {
    if (stage >= tilt_shift && slots.result && result_slot_stage < stage)
        return frame_slot::result;
    if (stage >= remove_red_eyes && slots.enhanced)
        return frame_slot::enhanced;
    if (stage >= natural_enhance && slots.denoised)
        return frame_slot::denoised;
    return frame_slot::source;
}

stage_step choose_stage_step(std::uint32_t stage, bool active, bool has_work,
                             std::uint32_t running_stage) noexcept {
    if (stage != reduce_noise && running_stage < stage)
        return stage_step::wait;
    return active && has_work ? stage_step::start : stage_step::skip;
}

// The chain on the main window ---------------------------------------------------------------------------

namespace {

// The stage's place in the stage texts.
int stage_index(std::uint32_t stage) noexcept {
    switch (stage) {
    case reduce_noise:
        return 0;
    case natural_enhance:
        return 1;
    case remove_red_eyes:
        return 2;
    case tilt_shift:
        return 3;
    case film_effect:
        return 4;
    default:
        return 5;
    }
}

} // namespace

void impl::on_filter_changed(unsigned delay, filter_state stage) {
    // The focus marker can be shown only while tilt-shift is on.
    if (stage == tilt_shift && view_menu)
        recheck_view_menu();
    restart_chain(delay, stage);
}

void impl::restart_chain(std::uint32_t delay, std::uint32_t stage) {
    if (closing)
        return;
    if (failure_pending) {
        SetWindowTextW(apply_button, module_string(IDS_APPLY).c_str());
        SendMessageW(progress_bar, PBM_SETSTATE, PBST_NORMAL, 0);
        failure_pending = false;
        stage = reduce_noise;
    }
    switch (stage) {
    case reduce_noise:
        run_reduce_noise_stage(delay);
        break;
    case natural_enhance:
        run_natural_enhance_stage(delay);
        break;
    case remove_red_eyes:
    case tilt_shift:
    case film_effect:
    case grain:
        run_remove_red_eyes_stage(delay);
        break;
    default:
        break;
    }
}

image_frame_ptr& impl::slot(frame_slot which) noexcept {
    switch (which) {
    case frame_slot::denoised:
        return denoised_slot;
    case frame_slot::enhanced:
        return enhanced_slot;
    case frame_slot::result:
        return result_slot;
    default:
        return source_slot;
    }
}

slot_presence impl::present_slots() const noexcept {
    return {static_cast<bool>(denoised_slot), static_cast<bool>(enhanced_slot),
            static_cast<bool>(result_slot)};
}

stage_step impl::next_step(std::uint32_t stage, bool has_work) const noexcept {
    return choose_stage_step(stage, (controls->active_filters & stage) != 0, has_work, running_stage);
}

void impl::begin_stage(std::uint32_t stage) {
    result_slot_stage = all_stages;
    running_stage = stage;
    progress_callback(0);
    set_status_summary(stage_texts[stage_index(stage)]);
    if (IsWindowEnabled(apply_button)) {
        apply_had_focus = GetFocus() == apply_button;
        if (apply_had_focus)
            SetFocus(cancel_button);
        EnableWindow(apply_button, FALSE);
    }
}

// A skipped stage whose job is still running is superseded; its own slot is emptied (first two stages)
// or no longer shown (the last four).
void impl::skip_stage(std::uint32_t stage) {
    if (stage >= remove_red_eyes && result_slot_stage == stage)
        result_slot_stage = all_stages;
    if (running_stage == stage) {
        cancel_stage_job();
        running_stage = all_stages;
    }
    if (stage == reduce_noise)
        denoised_slot = {};
    else if (stage == natural_enhance)
        enhanced_slot = {};
}

// Whether the stage starts now. A stage that waits is left to the chain, which reaches it when the
// running job delivers; a skipped stage hands on to the next one with the same delay.
bool impl::stage_starts(std::uint32_t stage, bool has_work, std::uint32_t delay) {
    if (closing)
        return false;
    switch (next_step(stage, has_work)) {
    case stage_step::wait:
        return false;
    case stage_step::skip:
        skip_stage(stage);
        run_stage_after(stage, delay);
        return false;
    case stage_step::start:
        return true;
    }
    return false;
}

void impl::run_stage_after(std::uint32_t stage, std::uint32_t delay) {
    switch (stage) {
    case reduce_noise:
        run_natural_enhance_stage(delay);
        break;
    case natural_enhance:
        run_remove_red_eyes_stage(delay);
        break;
    case remove_red_eyes:
        run_tilt_shift_stage(delay);
        break;
    case tilt_shift:
        run_film_effect_stage(delay);
        break;
    case film_effect:
        run_grain_stage(delay);
        break;
    default:
        end_chain();
        break;
    }
}

// A stage's result has been stored: the next stage starts at once.
void impl::stage_delivered(std::uint32_t stage) {
    progress_callback(100);
    running_stage = all_stages;
    run_stage_after(stage, 0);
}

void impl::run_reduce_noise_stage(std::uint32_t delay) {
    const controls_frame& panel = *controls;
    const bool has_work = (panel.reduce_noise_intensity_color > 0 || panel.reduce_noise_intensity > 0) &&
                          panel.reduce_noise_blending > 0;
    if (!stage_starts(reduce_noise, has_work, delay))
        return;
    begin_stage(reduce_noise);
    start_reduce_noise(
        panel.engine, &filter_lane.latest_ticket, filter_lane.thread, filter_lane.producer, posted_tasks,
        static_cast<int>(delay), source_slot, panel.bilateral_filter(), panel.reduce_noise_intensity,
        panel.reduce_noise_intensity_color, panel.reduce_noise_blending, 2 * panel.reduce_noise_tile_size + 1,
        2 * panel.reduce_noise_search_size + 3, denoised_slot, [this](image_frame_ptr&& frame) {
            denoised_slot = std::move(frame);
            stage_delivered(reduce_noise);
        });
}

void impl::run_natural_enhance_stage(std::uint32_t delay) {
    const controls_frame& panel = *controls;
    const bool has_work = panel.natural_enhance_balance > 0 || panel.natural_enhance_intensity > 0;
    if (!stage_starts(natural_enhance, has_work, delay))
        return;
    const image_frame_ptr& source =
        slot(choose_stage_source(natural_enhance, present_slots(), result_slot_stage));
    begin_stage(natural_enhance);
    start_natural_enhance(panel.engine, &filter_lane.latest_ticket, filter_lane.thread, filter_lane.producer,
                          posted_tasks, static_cast<int>(delay), source, panel.natural_enhance_intensity,
                          panel.natural_enhance_ratios, panel.natural_enhance_balance,
                          panel.natural_enhance_tolerance, panel.natural_enhance_tile_size, enhanced_slot,
                          [this](image_frame_ptr&& frame) {
                              enhanced_slot = std::move(frame);
                              stage_delivered(natural_enhance);
                          });
}

void impl::run_remove_red_eyes_stage(std::uint32_t delay) {
    controls_frame& panel = *controls;
    if (!stage_starts(remove_red_eyes, panel.eyes.position > 0, delay))
        return;
    const image_frame_ptr& source =
        slot(choose_stage_source(remove_red_eyes, present_slots(), result_slot_stage));
    begin_stage(remove_red_eyes);
    start_remove_red_eyes(panel.engine, &filter_lane.latest_ticket, filter_lane.thread, filter_lane.producer,
                          posted_tasks, static_cast<int>(delay), source, result_slot,
                          panel.eyes.circles.data(), panel.eyes.position, &panel.eyes.shared_data,
                          panel.eyes.darken_border, panel.eyes.darken_intensity,
                          [this](image_frame_ptr&& frame) {
                              result_slot = std::move(frame);
                              result_slot_stage = remove_red_eyes;
                              stage_delivered(remove_red_eyes);
                          });
}

void impl::run_tilt_shift_stage(std::uint32_t delay) {
    const controls_frame& panel = *controls;
    if (!stage_starts(tilt_shift, true, delay))
        return;
    const image_frame_ptr& source = slot(choose_stage_source(tilt_shift, present_slots(), result_slot_stage));
    // The stage sends the rectangle as unsigned numbers: it must lie inside the image. An empty one sends
    // none (the stage then keeps nothing sharp).
    const preview_rect focused =
        intersect_signed_rect(panel.focused, {0, 0, source.frame_width(), source.frame_height()});
    begin_stage(tilt_shift);
    start_tilt_shift(panel.engine, &filter_lane.latest_ticket, filter_lane.thread, filter_lane.producer,
                     posted_tasks, static_cast<int>(delay), source, focused.x, focused.y, focused.width,
                     focused.height, panel.tilt_shift_blur_radius, panel.tilt_shift_border_size, result_slot,
                     [this](image_frame_ptr&& frame) {
                         result_slot_stage = tilt_shift;
                         result_slot = std::move(frame);
                         stage_delivered(tilt_shift);
                     });
}

void impl::run_film_effect_stage(std::uint32_t delay) {
    const controls_frame& panel = *controls;
    if (!stage_starts(film_effect, true, delay))
        return;
    const image_frame_ptr& source =
        slot(choose_stage_source(film_effect, present_slots(), result_slot_stage));
    // The first four presets take no intensity.
    const LRESULT chosen = SendDlgItemMessageW(panel.window_handle(), IDC_EFFECT_COMBO, CB_GETCURSEL, 0, 0);
    const int intensity = chosen >= 4 ? panel.effect_intensity : -1;
    std::wstring node = panel.selected_effect_node();
    begin_stage(film_effect);
    start_named_filter(panel.engine, &filter_lane.latest_ticket, filter_lane.thread, filter_lane.producer,
                       posted_tasks, static_cast<int>(delay), source, intensity, std::move(node), result_slot,
                       [this](image_frame_ptr&& frame) {
                           // Switched off while it ran: its picture is not what the user asked for.
                           if ((controls->active_filters & film_effect) != 0) {
                               result_slot = std::move(frame);
                               result_slot_stage = film_effect;
                           } else {
                               result_slot_stage = all_stages;
                           }
                           stage_delivered(film_effect);
                       });
}

void impl::run_grain_stage(std::uint32_t delay) {
    const controls_frame& panel = *controls;
    if (!stage_starts(grain, true, delay))
        return;
    const image_frame_ptr& source = slot(choose_stage_source(grain, present_slots(), result_slot_stage));
    begin_stage(grain);
    start_named_filter(panel.engine, &filter_lane.latest_ticket, filter_lane.thread, filter_lane.producer,
                       posted_tasks, static_cast<int>(delay), source, panel.grain_intensity,
                       grain_node_name(static_cast<int>(panel.grain_kind)), result_slot,
                       [this](image_frame_ptr&& frame) {
                           if ((controls->active_filters & grain) != 0) {
                               result_slot = std::move(frame);
                               result_slot_stage = grain;
                           }
                           stage_delivered(grain);
                       });
}

// The chain has run to its end: the result is shown and may be applied.
void impl::end_chain() {
    EnableWindow(apply_button, TRUE);
    if (apply_had_focus)
        SetFocus(apply_button);
    set_status_summary(done_text);
    draw_picture(0);
}

void impl::cancel_stage_job() {
    if (closing)
        return;
    cpp::threading::job empty([this](unsigned) {
        posted_tasks.post_task([this](unsigned) {
            if (running_stage == all_stages)
                progress_callback(100);
        });
    });
    queue_job(&filter_lane.latest_ticket, filter_lane.thread, filter_lane.producer, empty);
}

image_frame_ptr& impl::select_display_frame() {
    return slot(choose_display_slot(present_slots(), result_slot_stage, running_stage));
}

image_frame_ptr& impl::shown_frame() {
    return (view_flags & show_result) == 0 ? source_slot : select_display_frame();
}

void impl::draw_picture(int outlines_only) {
    if (closing)
        return;
    const bool show_source = (view_flags & show_result) == 0;
    if (outlines_only == 0 && show_source != last_shown_source) {
        last_shown_source = show_source;
        const std::wstring& text = show_source ? source_text : result_text;
        if (!SendMessageW(status_bar, SB_SETTEXTW, 3, reinterpret_cast<LPARAM>(text.c_str()))) {
            constexpr auto message =
                cpp::failure_location("draw_picture", "118", AM_PLUGIN_SOURCE("main-dialog-impl.cpp"));
            cpp::throw_last_error(message.c_str());
        }
    }
    if (outlines_only == 0 || (view_flags & (show_border | show_focus_marker)) != 0)
        render_preview(outlines_only != 0);
}

// Failures -------------------------------------------------------------------------------------------------

void impl::show_exception_box(std::exception_ptr failure) {
    std::wstring text;
    try {
        try {
            std::rethrow_exception(failure);
        } catch (const std::invalid_argument&) {
            text = module_string(IDS_UNSUPPORTED_INPUT);
        } catch (const error_handling::interface_exception& com_failure) {
            text = cpp::format_text(module_string(IDS_COMPONENT_ERROR_CODE),
                                    cpp::to_hex_wstring(static_cast<std::uint32_t>(com_failure.result())));
        } catch (const std::system_error& system_failure) {
            system_ui::show_system_error_box(dialog, system_failure, error_caption);
            return;
        }
    } catch (const std::bad_alloc&) {
        text = memory_text;
    } catch (const std::exception&) {
        text = unknown_text;
    }
    show_failure_box(text);
}

void impl::show_job_failure(std::exception_ptr failure, bool set_error_state) {
    if (set_error_state)
        SendMessageW(progress_bar, PBM_SETSTATE, PBST_ERROR, 0);
    SetWindowTextW(apply_button, module_string(IDS_RETRY).c_str());
    failure_pending = true;
    EnableWindow(apply_button, TRUE);
    if (apply_had_focus)
        SetFocus(apply_button);
    running_stage = all_stages;
    show_exception_box(failure);
}

// A job superseded after it failed is not a failure: the newer job reports for itself.
void impl::job_failure_task(std::exception_ptr failure, std::uint32_t ticket) {
    if (is_superseded_ticket(&filter_lane.latest_ticket, ticket))
        return;
    show_job_failure(failure, true);
}

// A render that failed only says so in the status bar: the previous picture stays.
void impl::preview_failure_task(std::exception_ptr failure, std::uint32_t ticket) {
    if (is_superseded_ticket(&preview_lane.latest_ticket, ticket))
        return;
    std::wstring text;
    try {
        try {
            std::rethrow_exception(failure);
        } catch (const error_handling::interface_exception& com_failure) {
            text = cpp::format_text(module_string(IDS_COMPONENT_ERROR_CODE),
                                    static_cast<unsigned>(com_failure.result()));
        } catch (const std::system_error& system_failure) {
            system_ui::format_system_message(text, system_failure, unknown_text);
        }
    } catch (const std::bad_alloc&) {
        text = memory_text;
    } catch (const std::exception&) {
        text = unknown_text;
    } catch (...) {
        return;
    }
    set_status_summary(text);
}

} // namespace tessolux::main_window
