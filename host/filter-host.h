// A filter host that plays the image editor: it loads a filter module, reads its property list, and
// runs the filter over a document through the selectors, servicing every request for image data the
// way an editor does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <windows.h>

#include "dialog-driver.h"
#include "plugin/host-entry.h"

namespace filter_host {

using tessolux::host::FilterRecord;

// How a filter takes one kind of document (flat or with transparency, with or without selection).
struct filter_case {
    std::uint8_t input_handling; // 0: the filter cannot run on such documents
    std::uint8_t output_handling;
    std::uint8_t flags1; // bit 0: the output buffer need not start as a copy of the source
    std::uint8_t flags2;
};

// The plug-in property list as the host reads it before it calls anything.
struct plugin_properties {
    std::uint32_t kind = 0;
    std::string name;
    std::string category;
    std::uint32_t version = 0;
    std::string entry;
    std::uint8_t mode_flags = 0;            // first byte of the mode word: 0x40 grayscale, 0x10 RGB
    std::vector<std::string> enabled_modes; // the modes of the enabling condition; empty: none given
    std::int32_t max_width = 0;
    std::int32_t max_height = 0;
    std::vector<filter_case> cases;
};

// '8BFM', a filter module.
constexpr std::uint32_t filter_kind = 0x3842464D;

// Reads the property list of a loaded module (resource type "PIPL"); throws std::runtime_error when
// there is none or it does not parse.
plugin_properties read_properties(HMODULE module);

// A loaded filter module with its entry; keeps the filter's data word from call to call, as a host does.
class plugin_module {
public:
    explicit plugin_module(const std::wstring& path);

    HMODULE handle() const noexcept { return module_.get(); }
    const plugin_properties& properties() const noexcept { return properties_; }
    void call(std::int16_t selector, FilterRecord* record, std::int16_t* result);

private:
    struct module_release {
        void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
    };
    std::unique_ptr<std::remove_pointer_t<HMODULE>, module_release> module_;
    plugin_properties properties_;
    tessolux::host::entry_point entry_ = nullptr;
    std::intptr_t data_ = 0;
};

// A document as the host keeps it: interleaved planes, one 16-bit slot per sample whatever the depth.
// 16-bit documents hold the host's range 0..32768.
struct image {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int16_t planes = 0; // 1 gray, 3 RGB, 4 RGB with transparency
    std::int32_t depth = 8;  // 8 or 16 bits per sample
    std::vector<std::uint16_t> samples;

    image() = default;
    image(std::int32_t width, std::int32_t height, std::int16_t planes, std::int32_t depth);
    std::uint16_t& at(std::int32_t x, std::int32_t y, std::int32_t plane) {
        return samples[(static_cast<std::size_t>(y) * width + x) * planes + plane];
    }
    std::uint16_t at(std::int32_t x, std::int32_t y, std::int32_t plane) const {
        return samples[(static_cast<std::size_t>(y) * width + x) * planes + plane];
    }
};

// The user's selection over a document: one byte per pixel, 0 not selected, 255 fully selected.
struct selection {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> bytes;
};

struct run_options {
    HWND owner = nullptr;     // the host window handed to the filter; null: no platform data at all
    bool big_document = true; // offer 32-bit coordinates
};

struct run_report {
    std::int16_t result = 0;             // the filter's last result word
    std::vector<std::int16_t> selectors; // the selectors called, in order
    std::vector<std::int16_t> results;   // the result word after each of those calls
    bool applied = false;                // the document now holds the filter's output
    bool input_changed = false;          // the filter wrote into an input buffer, which is the host's
    dialog_report dialog;                // what the host did in the filter's dialog
};

// Runs the filter over the document: parameters, prepare, start, continue for as long as the filter
// asks for data, then finish. The document changes only when every call succeeded. In the filter's
// dialog the host does what dialog asks for, nothing by default. Throws std::runtime_error when the
// filter does not take such documents or asks for what does not exist.
run_report run_filter(plugin_module& module, image& document, const selection* mask,
                      const run_options& options, const dialog_options& dialog = {});

// UTF-8 for the console.
std::string utf8(std::wstring_view text);

// Shows the filter's about box.
void show_about(plugin_module& module);

} // namespace filter_host
