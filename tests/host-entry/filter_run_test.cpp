// The continue selector's filter run over the registered engine, with a stand-in for the preview window
// that plays the user: it looks at the frames it is given, writes a "processed" picture into the result
// frame and says how the run ended. And whole runs through the filter host.
#include "plugin/host-entry.h"

#include "host/filter-host.h"
#include "message-box-reader.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <objbase.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

namespace sdk = tessolux::host;
using sdk::FilterRecord;
using tessolux::dialog_outcome;
using tessolux::engine_context;
using tessolux::image_frame_ptr;

LONG live_engine_objects() {
    const HMODULE engine = GetModuleHandleW(L"ZorvaneImageProcessor2.dll");
    if (engine == nullptr)
        return 0;
    return reinterpret_cast<LONG(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(engine, "ZorvaneStandinLiveObjects")))();
}

struct buffer {
    BYTE* data;
    UINT32 bytes;
    INT32 stride;
};
buffer buffer_of(const image_frame_ptr& frame) {
    com_ptr<zorvane::IImageData> data;
    if (FAILED(frame->image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())))
        throw std::runtime_error("no IImageData");
    buffer b{};
    zorvane::pixel_format format{};
    INT32 width = 0;
    data->get_buffer(&b.data, &b.bytes, &b.stride, &format, &width);
    return b;
}

// One document as the host hands it to continue: padded rows, every sample different, the host's
// 16-bit range with its black and white in it, and a selection of every kind of mask byte.
struct host_job {
    static constexpr std::int32_t width = 7, height = 3;
    std::int16_t planes;
    std::int32_t depth;
    bool masked;
    std::int32_t channels, sample_bytes, row_bytes, mask_row_bytes;
    std::vector<std::uint8_t> input, output, mask;
    sdk::PlatformData platform{0};
    FilterRecord record{};

    host_job(std::int16_t planes, std::int32_t depth, bool masked)
        : planes(planes), depth(depth), masked(masked), channels(planes == 2 ? 1 : planes),
          sample_bytes(depth / 8), row_bytes(width * channels * sample_bytes + 6), mask_row_bytes(width + 2),
          input(static_cast<std::size_t>(row_bytes) * height), output(input.size(), 0x5A),
          mask(static_cast<std::size_t>(mask_row_bytes) * height, 0xCC) {
        const std::uint32_t top = depth == 16 ? 32768 : 255;
        for (std::int32_t y = 0; y != height; ++y)
            for (std::int32_t x = 0; x != width; ++x) {
                for (std::int32_t c = 0; c != channels; ++c)
                    set_sample(input, x, y, c,
                               x == 0   ? top
                               : x == 1 ? 0
                                        : (x * 977 + y * 131 + c * 37) % (top + 1));
                static const std::uint8_t selection[] = {255, 0, 1, 128, 255, 0, 77};
                mask[static_cast<std::size_t>(y) * mask_row_bytes + x] = selection[(x + y) % 7];
            }
        record.planes = planes;
        record.depth = depth;
        record.filterRect = {0, 0, height, width};
        tessolux::request_whole_image(record);
        record.inData = input.data();
        record.outData = output.data();
        record.inRowBytes = record.outRowBytes = row_bytes;
        record.haveMask = masked ? 1 : 0;
        record.maskData = masked ? mask.data() : nullptr;
        record.maskRowBytes = mask_row_bytes;
    }

    std::size_t offset(std::int32_t x, std::int32_t y, std::int32_t c) const {
        return static_cast<std::size_t>(y) * row_bytes +
               (static_cast<std::size_t>(x) * channels + c) * sample_bytes;
    }
    std::uint32_t sample(const std::vector<std::uint8_t>& bytes, std::int32_t x, std::int32_t y,
                         std::int32_t c) const {
        std::uint16_t value = 0;
        std::memcpy(&value, &bytes[offset(x, y, c)], sample_bytes);
        return value;
    }
    void set_sample(std::vector<std::uint8_t>& bytes, std::int32_t x, std::int32_t y, std::int32_t c,
                    std::uint32_t value) {
        const auto v = static_cast<std::uint16_t>(value);
        std::memcpy(&bytes[offset(x, y, c)], &v, sample_bytes);
    }
    std::uint8_t selected(std::int32_t x, std::int32_t y) const {
        return mask[static_cast<std::size_t>(y) * mask_row_bytes + x];
    }
    std::string name() const {
        return std::to_string(planes) + " planes of " + std::to_string(depth) + " bits" +
               (masked ? " with a selection" : "");
    }
};

// The engine's work as the stand-in window does it: every sample of the source inverted into the result.
void invert_into_result(const image_frame_ptr& source, const image_frame_ptr& result, std::int32_t depth) {
    const buffer from = buffer_of(source);
    const buffer to = buffer_of(result);
    ASSERT_EQ(from.bytes, to.bytes);
    for (UINT32 row = 0; row != from.bytes / from.stride; ++row)
        for (std::int32_t i = 0;
             i != source.frame_width() *
                      (static_cast<std::int32_t>(zorvane::get_bits_per_pixel(source->format)) / depth);
             ++i) {
            if (depth == 16) {
                std::uint16_t v;
                std::memcpy(&v, from.data + row * from.stride + 2 * i, 2);
                v = static_cast<std::uint16_t>(65535 - v);
                std::memcpy(to.data + row * to.stride + 2 * i, &v, 2);
            } else {
                to.data[row * to.stride + i] = static_cast<BYTE>(255 - from.data[row * from.stride + i]);
            }
        }
}

// Runs continue's filter run on a thread of its own in a single-threaded apartment, as the host's
// thread is after start.
std::int16_t run_on_host_thread(host_job& job, const tessolux::preview_window& window,
                                std::vector<test_support::message_box>* boxes = nullptr) {
    std::int16_t result = 7; // the host's preset, which an accepted run leaves
    std::thread([&] {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
        {
            test_support::message_box_reader reader;
            tessolux::run_filter_job(job.record, result, window);
            if (boxes != nullptr)
                *boxes = reader.boxes();
            else
                EXPECT_TRUE(reader.boxes().empty()) << job.name();
        }
        CoUninitialize();
    }).join();
    EXPECT_EQ(job.record.inRect, sdk::Rect{}) << job.name();
    EXPECT_EQ(job.record.outRect, sdk::Rect{}) << job.name();
    EXPECT_EQ(job.record.maskRect, sdk::Rect{}) << job.name();
    EXPECT_EQ(live_engine_objects(), 0) << "the engine is released: " << job.name();
    return result;
}

struct layout {
    std::int16_t planes;
    std::int32_t depth;
};
constexpr layout layouts[] = {{1, 8}, {1, 16}, {2, 8}, {3, 8}, {3, 16}, {4, 8}, {4, 16}};

TEST(filter_run, without_a_selection_the_engine_works_on_the_host_buffers_in_its_own_range) {
    for (const layout l : layouts) {
        host_job job(l.planes, l.depth, false);
        const std::vector<std::uint8_t> original = job.input;
        const bool wide = l.depth == 16;
        const auto outcome =
            run_on_host_thread(job, [&](const engine_context&, const std::wstring&,
                                        const image_frame_ptr& source, const image_frame_ptr& result, HWND) {
                EXPECT_EQ(buffer_of(source).data, job.input.data()) << "read in place: " << job.name();
                EXPECT_EQ(buffer_of(result).data, job.output.data()) << "written in place: " << job.name();
                EXPECT_EQ(source->format,
                          tessolux::format_for_planes(l.depth, 0, job.channels > 1 ? 1 : 0,
                                                      job.channels > 1 ? 2 : 0, job.channels == 4 ? 3 : -1));
                const std::uint32_t white = job.sample(job.input, 0, 0, 0);
                EXPECT_EQ(white, wide ? 65535u : 255u) << "the engine sees its own range: " << job.name();
                invert_into_result(source, result, l.depth);
                return dialog_outcome::accepted;
            });
        EXPECT_EQ(outcome, 7) << "an accepted run leaves the host's result: " << job.name();
        EXPECT_EQ(job.input, original) << "the input is the host's: " << job.name();
        for (std::int32_t y = 0; y != host_job::height; ++y)
            for (std::int32_t x = 0; x != host_job::width; ++x)
                for (std::int32_t c = 0; c != job.channels; ++c) {
                    const std::uint32_t v = job.sample(original, x, y, c);
                    const std::uint32_t expected = wide ? tessolux::narrow_sample(static_cast<std::uint16_t>(
                                                              65535 - tessolux::widen_sample(v)))
                                                        : 255 - v;
                    ASSERT_EQ(job.sample(job.output, x, y, c), expected)
                        << job.name() << " at " << x << "," << y;
                }
    }
}

TEST(filter_run, with_a_selection_engine_copies_are_merged_into_the_output_by_the_mask) {
    for (const layout l : layouts) {
        host_job job(l.planes, l.depth, true);
        const std::vector<std::uint8_t> original = job.input;
        const bool wide = l.depth == 16;
        const auto outcome = run_on_host_thread(job, [&](const engine_context&, const std::wstring&,
                                                         const image_frame_ptr& source,
                                                         const image_frame_ptr& result, HWND) {
            const BYTE* data = buffer_of(source).data;
            EXPECT_TRUE(data < job.input.data() || data >= job.input.data() + job.input.size())
                << "no host buffer is handed to the engine: " << job.name();
            EXPECT_EQ(source->format, wide ? zorvane::pixel_format::rgba64 : zorvane::pixel_format::rgba32);
            EXPECT_EQ(job.output, std::vector<std::uint8_t>(job.output.size(), 0x5A))
                << "the output is written only on Apply";
            invert_into_result(source, result, l.depth);
            return dialog_outcome::accepted;
        });
        EXPECT_EQ(outcome, 7) << job.name();
        EXPECT_EQ(job.input, original) << job.name();
        for (std::int32_t y = 0; y != host_job::height; ++y)
            for (std::int32_t x = 0; x != host_job::width; ++x)
                for (std::int32_t c = 0; c != job.channels; ++c) {
                    const std::uint32_t v = job.sample(original, x, y, c);
                    const bool merged = job.selected(x, y) != 0 && c != 3;
                    const std::uint32_t processed = wide ? tessolux::narrow_sample(static_cast<std::uint16_t>(
                                                               65535 - tessolux::widen_sample(v)))
                                                         : 255 - v;
                    ASSERT_EQ(job.sample(job.output, x, y, c), merged ? processed : v)
                        << job.name() << " at " << x << "," << y << " sample " << c;
                }
        for (std::int32_t y = 0; y != host_job::height; ++y)
            for (std::int32_t i = host_job::width * job.channels * job.sample_bytes; i != job.row_bytes; ++i)
                ASSERT_EQ(job.output[static_cast<std::size_t>(y) * job.row_bytes + i], 0x5A) << "row padding";
    }
}

TEST(filter_run, the_window_gets_the_key_the_owner_and_a_context_without_progress_handler) {
    host_job job(3, 8, false);
    job.platform.hwnd = 0x4321;
    job.record.platformData = &job.platform;
    bool called = false;
    run_on_host_thread(job, [&](const engine_context& engine, const std::wstring& key, const image_frame_ptr&,
                                const image_frame_ptr&, HWND owner) {
        called = true;
        EXPECT_TRUE(engine.root);
        EXPECT_FALSE(engine.handler);
        EXPECT_EQ(key, tessolux::instance_key(nullptr));
        EXPECT_EQ(owner, reinterpret_cast<HWND>(0x4321));
        return dialog_outcome::cancelled;
    });
    EXPECT_TRUE(called);
}

TEST(filter_run, cancel_a_failed_loop_and_failures_leave_the_input_as_it_was) {
    struct road {
        const char* name;
        std::int16_t result;
        const wchar_t* box; // the text shown, or none
        tessolux::preview_window window;
    };
    road roads[] = {
        {"cancelled", sdk::userCanceledErr, nullptr, [](auto&&...) { return dialog_outcome::cancelled; }},
        {"loop failed", sdk::run_failed, nullptr, [](auto&&...) { return dialog_outcome::loop_failed; }},
        {"window failed", sdk::userCanceledErr, L"An unknown error has occured!",
         [](auto&&...) -> dialog_outcome {
             throw std::runtime_error("CreateDialogParam resulted in error!");
         }},
        {"out of memory", sdk::userCanceledErr, L"Not enough memory available!",
         [](auto&&...) -> dialog_outcome { throw std::bad_alloc(); }},
    };
    for (road& r : roads)
        for (const layout l : layouts)
            for (const bool masked : {false, true}) {
                host_job job(l.planes, l.depth, masked);
                const std::vector<std::uint8_t> original = job.input;
                std::vector<test_support::message_box> boxes;
                EXPECT_EQ(run_on_host_thread(job, r.window, &boxes), r.result)
                    << r.name << ", " << job.name();
                EXPECT_EQ(job.input, original) << r.name << ", " << job.name();
                EXPECT_EQ(job.output, std::vector<std::uint8_t>(job.output.size(), 0x5A))
                    << r.name << ", " << job.name();
                if (r.box == nullptr) {
                    EXPECT_TRUE(boxes.empty()) << r.name;
                } else {
                    ASSERT_EQ(boxes.size(), 1u) << r.name;
                    EXPECT_EQ(boxes[0].text, r.box);
                    EXPECT_EQ(boxes[0].caption, L"A failure has occured");
                }
            }
}

TEST(filter_run, an_exception_that_is_no_failure_of_ours_still_gives_the_input_back) {
    host_job job(4, 16, false);
    const std::vector<std::uint8_t> original = job.input;
    std::thread([&] {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
        std::int16_t result = 7;
        EXPECT_THROW(tessolux::run_filter_job(
                         job.record, result,
                         [](auto&&...) -> dialog_outcome { throw cpp::exceptional::user_cancelation(); }),
                     cpp::exceptional::user_cancelation)
            << "PluginMain answers it with bad parameters";
        EXPECT_EQ(result, 7);
        CoUninitialize();
    }).join();
    EXPECT_EQ(job.input, original);
    EXPECT_EQ(live_engine_objects(), 0);
}

// Whole runs through the filter host, which notices any write into its input buffer.
TEST(host_entry_run, every_layout_with_or_without_a_selection_ends_cancelled_with_the_document_untouched) {
    filter_host::plugin_module module(L"Tessolux3.8bf");
    struct document_kind {
        std::int16_t planes;
        std::int32_t depth;
    };
    // The host offers gray at 8 bits only; 16-bit gray is called directly above.
    for (const document_kind kind : {document_kind{1, 8}, {3, 8}, {3, 16}, {4, 8}, {4, 16}})
        for (const bool masked : {false, true})
            for (const bool big : {false, true}) {
                filter_host::image document(9, 4, kind.planes, kind.depth);
                for (std::size_t i = 0; i != document.samples.size(); ++i)
                    document.samples[i] =
                        static_cast<std::uint16_t>((i * 613) % (kind.depth == 16 ? 32769 : 256));
                document.samples[0] = kind.depth == 16 ? 32768 : 255;
                const filter_host::image before = document;
                filter_host::selection selection{9, 4, std::vector<std::uint8_t>(36, 0)};
                for (std::size_t i = 0; i != 36; i += 2)
                    selection.bytes[i] = static_cast<std::uint8_t>(i * 7);
                selection.bytes[1] = 255;
                filter_host::run_report report;
                std::thread([&] {
                    test_support::message_box_reader reader;
                    report = filter_host::run_filter(module, document, masked ? &selection : nullptr,
                                                     {nullptr, big});
                    EXPECT_TRUE(reader.boxes().empty());
                }).join();
                const std::string name = std::to_string(kind.planes) + " planes, " +
                                         std::to_string(kind.depth) + " bits" +
                                         (masked ? ", selection" : "") + (big ? ", 32-bit" : "");
                EXPECT_EQ(report.result, sdk::userCanceledErr) << name;
                EXPECT_FALSE(report.applied) << name;
                EXPECT_FALSE(report.input_changed) << "the input buffer is byte-identical: " << name;
                EXPECT_THAT(report.selectors, ::testing::ElementsAre(1, 2, 3, 4, 5))
                    << "every request was empty after continue: " << name;
                EXPECT_EQ(document.samples, before.samples) << name;
                EXPECT_EQ(live_engine_objects(), 0) << name;
            }
}

} // namespace
