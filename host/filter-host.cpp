#include "filter-host.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace filter_host {

namespace host = tessolux::host;

namespace {

constexpr std::uint32_t four_cc(const char (&code)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

[[noreturn]] void fail(const std::string& text) {
    throw std::runtime_error(text);
}

// Bounds-checked reading of little-endian words from a resource.
class reader {
public:
    reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    const std::uint8_t* take(std::size_t count) {
        if (count > size_ - position_)
            fail("the plug-in property list ends early");
        const std::uint8_t* at = data_ + position_;
        position_ += count;
        return at;
    }
    std::uint16_t u16() {
        const std::uint8_t* at = take(2);
        return static_cast<std::uint16_t>(at[0] | at[1] << 8);
    }
    std::uint32_t u32() {
        const std::uint8_t* at = take(4);
        return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
               static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

std::string pascal_string(reader& data, std::uint32_t length) {
    if (length == 0)
        fail("a length-prefixed text of the plug-in property list is empty");
    const std::uint8_t count = *data.take(1);
    if (count > length - 1)
        fail("a length-prefixed text of the plug-in property list overruns its property");
    const char* text = reinterpret_cast<const char*>(data.take(count));
    data.take(length - 1 - count);
    return {text, count};
}

std::string c_string(reader& data, std::uint32_t length) {
    const char* text = reinterpret_cast<const char*>(data.take(length));
    const char* end = std::find(text, text + length, '\0');
    if (end == text + length)
        fail("a text of the plug-in property list has no terminating zero");
    return {text, end};
}

// The one form of enabling condition the host understands: "in (PSHOP_ImageMode, mode, mode, ...)".
std::vector<std::string> enabled_modes(const std::string& condition) {
    const std::string head = "in (PSHOP_ImageMode";
    if (condition.compare(0, head.size(), head) != 0 || condition.empty() || condition.back() != ')')
        fail("the enabling condition \"" + condition + "\" is not understood");
    std::vector<std::string> modes;
    std::size_t at = head.size();
    while (condition[at] == ',') {
        at = condition.find_first_not_of(' ', at + 1);
        const std::size_t end = condition.find_first_of(",)", at);
        modes.push_back(condition.substr(at, end - at));
        at = end;
    }
    if (at != condition.size() - 1)
        fail("the enabling condition \"" + condition + "\" is not understood");
    return modes;
}

plugin_properties parse_properties(reader data) {
    plugin_properties properties;
    if (data.u16() != 1)
        fail("the plug-in property list has an unknown version");
    data.u32();
    const std::uint32_t count = data.u32();
    for (std::uint32_t i = 0; i != count; ++i) {
        data.u32(); // vendor
        const std::uint32_t key = data.u32();
        data.u32(); // id
        const std::uint32_t length = data.u32();
        const std::uint32_t padded = (length + 3) & ~3u;
        if (padded < length)
            fail("a property of the plug-in property list is too long");
        reader value(data.take(length), length);
        data.take(padded - length);
        switch (key) {
        case four_cc("kind"):
            properties.kind = value.u32();
            break;
        case four_cc("name"):
            properties.name = pascal_string(value, length);
            break;
        case four_cc("catg"):
            properties.category = pascal_string(value, length);
            break;
        case four_cc("vers"):
            properties.version = value.u32();
            break;
        case four_cc("wx86"):
            properties.entry = c_string(value, length);
            break;
        case four_cc("mode"):
            properties.mode_flags = *value.take(1);
            break;
        case four_cc("enbl"):
            properties.enabled_modes = enabled_modes(c_string(value, length));
            break;
        case four_cc("ms32"):
            properties.max_width = static_cast<std::int32_t>(value.u32());
            properties.max_height = static_cast<std::int32_t>(value.u32());
            break;
        case four_cc("fici"):
            for (std::uint32_t c = 0; c != length / 4; ++c) {
                const std::uint8_t* bytes = value.take(4);
                properties.cases.push_back({bytes[0], bytes[1], bytes[2], bytes[3]});
            }
            break;
        default:
            break; // properties a filter host does not need
        }
    }
    return properties;
}

// A named resource's name lives only as long as the enumeration; numbered ones are their number.
struct resource_name {
    bool found = false;
    WORD id = 0;
    std::wstring text;
    LPCWSTR get() const { return text.empty() ? MAKEINTRESOURCEW(id) : text.c_str(); }
};

BOOL CALLBACK first_name(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) {
    resource_name& first = *reinterpret_cast<resource_name*>(found);
    first.found = true;
    if (IS_INTRESOURCE(name))
        first.id = static_cast<WORD>(reinterpret_cast<std::uintptr_t>(name));
    else
        first.text = name;
    return FALSE;
}

// The mode names of the enabling condition and the mode-word bits, for the documents this host keeps.
const char* mode_name(const image& document) {
    if (document.planes == 1)
        return document.depth == 16 ? "Gray16Mode" : "GrayScaleMode";
    return document.depth == 16 ? "RGB48Mode" : "RGBMode";
}

std::uint8_t mode_bit(const image& document) {
    return document.planes == 1 ? 0x40 : 0x10;
}

void check_document(const plugin_properties& properties, const image& document, const selection* mask) {
    if (document.planes != 1 && document.planes != 3 && document.planes != 4)
        fail("the document has " + std::to_string(document.planes) + " planes");
    if (document.depth != 8 && document.depth != 16)
        fail("the document has " + std::to_string(document.depth) + " bits per sample");
    if (document.width <= 0 || document.height <= 0 ||
        document.samples.size() !=
            static_cast<std::size_t>(document.width) * document.height * document.planes)
        fail("the document's samples do not match its size");
    if (mask != nullptr && (mask->width != document.width || mask->height != document.height ||
                            mask->bytes.size() != static_cast<std::size_t>(mask->width) * mask->height))
        fail("the selection does not match the document's size");
    if (properties.kind != filter_kind)
        fail("the module is not a filter");
    const bool enabled = properties.enabled_modes.empty()
                             ? (properties.mode_flags & mode_bit(document)) != 0
                             : std::ranges::find(properties.enabled_modes, mode_name(document)) !=
                                   properties.enabled_modes.end();
    if (!enabled)
        fail(std::string("the filter is not enabled for documents in ") + mode_name(document));
    if (document.width > properties.max_width || document.height > properties.max_height)
        fail("the document is larger than the filter takes");
}

// Flat or with transparency, with or without a selection: the filter cases 1, 2, 4 and 5.
const filter_case& case_of(const plugin_properties& properties, const image& document,
                           const selection* mask) {
    const std::size_t index = (document.planes == 4 ? 3 : 0) + (mask != nullptr ? 1 : 0);
    if (index >= properties.cases.size() || properties.cases[index].input_handling == 0)
        fail("the filter does not take this kind of document");
    return properties.cases[index];
}

host::VRect selected_area(const image& document, const selection* mask) {
    if (mask == nullptr)
        return {0, 0, document.height, document.width};
    host::VRect area{document.height, document.width, 0, 0};
    for (std::int32_t y = 0; y != mask->height; ++y)
        for (std::int32_t x = 0; x != mask->width; ++x)
            if (mask->bytes[static_cast<std::size_t>(y) * mask->width + x] != 0) {
                area.top = std::min(area.top, y);
                area.left = std::min(area.left, x);
                area.bottom = std::max(area.bottom, y + 1);
                area.right = std::max(area.right, x + 1);
            }
    if (area.bottom == 0)
        fail("the selection is empty");
    return area;
}

host::Rect narrow(const host::VRect& area) {
    return {static_cast<std::int16_t>(area.top), static_cast<std::int16_t>(area.left),
            static_cast<std::int16_t>(area.bottom), static_cast<std::int16_t>(area.right)};
}

host::VRect widen(const host::Rect& area) {
    return {area.top, area.left, area.bottom, area.right};
}

bool is_empty(const host::VRect& area) {
    return area.right <= area.left || area.bottom <= area.top;
}

struct requests {
    host::VRect in, out, mask;
};

// The filter's requests, in the coordinates it chose to use.
requests requests_of(const FilterRecord& record) {
    if (const host::BigDocumentStruct* big = record.bigDocumentData;
        big && big->PluginUsing32BitCoordinates != 0)
        return {big->inRect32, big->outRect32, big->maskRect32};
    return {widen(record.inRect), widen(record.outRect), widen(record.maskRect)};
}

// One requested block of a document: rows are padded beyond their samples, so that a filter that takes
// the row bytes for granted shows at once.
struct block {
    host::VRect area{};
    std::int32_t first_plane = 0;
    std::int32_t plane_count = 0;
    std::int32_t sample_bytes = 1;
    std::int32_t row_bytes = 0;
    std::vector<std::uint8_t> bytes;

    std::size_t offset(std::int32_t x, std::int32_t y, std::int32_t plane) const {
        return static_cast<std::size_t>(y - area.top) * row_bytes +
               (static_cast<std::size_t>(x - area.left) * plane_count + plane) * sample_bytes;
    }
    void put(std::int32_t x, std::int32_t y, std::int32_t plane, std::uint16_t value) {
        std::memcpy(&bytes[offset(x, y, plane)], &value,
                    sample_bytes); // little-endian: 8-bit takes the low byte
    }
    std::uint16_t get(std::int32_t x, std::int32_t y, std::int32_t plane) const {
        std::uint16_t value = 0;
        std::memcpy(&value, &bytes[offset(x, y, plane)], sample_bytes);
        return value;
    }
};

block make_block(const image& document, const host::VRect& area, std::int32_t plane_count,
                 std::int32_t sample_bytes) {
    if (area.left < 0 || area.top < 0 || area.right > document.width || area.bottom > document.height)
        fail("the filter asked for pixels outside the document");
    block data;
    data.area = area;
    data.plane_count = plane_count;
    data.sample_bytes = sample_bytes;
    const std::int32_t tight = (area.right - area.left) * plane_count * sample_bytes;
    data.row_bytes = (tight + 7) & ~3;
    data.bytes.resize(static_cast<std::size_t>(data.row_bytes) * (area.bottom - area.top));
    return data;
}

block make_plane_block(const image& document, const host::VRect& area, std::int16_t lo, std::int16_t hi) {
    if (lo < 0 || hi < lo || hi >= document.planes)
        fail("the filter asked for planes " + std::to_string(lo) + " to " + std::to_string(hi) +
             " of a document with " + std::to_string(document.planes));
    block data = make_block(document, area, hi - lo + 1, document.depth / 8);
    data.first_plane = lo;
    return data;
}

void fill_block(block& data, const image& document) {
    for (std::int32_t y = data.area.top; y != data.area.bottom; ++y)
        for (std::int32_t x = data.area.left; x != data.area.right; ++x)
            for (std::int32_t p = 0; p != data.plane_count; ++p)
                data.put(x, y, p, document.at(x, y, data.first_plane + p));
}

std::uint8_t selected(const selection* mask, std::int32_t x, std::int32_t y) {
    return mask == nullptr ? 255 : mask->bytes[static_cast<std::size_t>(y) * mask->width + x];
}

// The filter's output into the working copy. Where the host merges by the selection itself, unselected
// pixels keep the source.
void store_block(const block& data, image& working, const selection* host_merges_by) {
    for (std::int32_t y = data.area.top; y != data.area.bottom; ++y)
        for (std::int32_t x = data.area.left; x != data.area.right; ++x)
            if (selected(host_merges_by, x, y) != 0)
                for (std::int32_t p = 0; p != data.plane_count; ++p)
                    working.at(x, y, data.first_plane + p) = data.get(x, y, p);
}

// A filter that never stops asking would hold the host forever.
constexpr int max_continue_calls = 65536;

} // namespace

plugin_properties read_properties(HMODULE module) {
    resource_name name;
    EnumResourceNamesW(module, L"PIPL", first_name, reinterpret_cast<LONG_PTR>(&name));
    HRSRC found = name.found ? FindResourceW(module, name.get(), L"PIPL") : nullptr;
    if (found == nullptr)
        fail("the module has no plug-in property list");
    HGLOBAL loaded = LoadResource(module, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr)
        fail("the plug-in property list does not load");
    return parse_properties(reader(static_cast<const std::uint8_t*>(data), SizeofResource(module, found)));
}

plugin_module::plugin_module(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {
    if (!module_)
        fail("the filter module does not load (error " + std::to_string(GetLastError()) + ")");
    properties_ = read_properties(module_.get());
    entry_ = reinterpret_cast<tessolux::host::entry_point>(
        reinterpret_cast<void*>(GetProcAddress(module_.get(), properties_.entry.c_str())));
    if (entry_ == nullptr)
        fail("the filter module exports no \"" + properties_.entry + "\"");
}

void plugin_module::call(std::int16_t selector, FilterRecord* record, std::int16_t* result) {
    entry_(selector, record, &data_, result);
}

namespace {

// In a 32-bit host the count of a large document's samples passes the word size and would wrap round to a
// small buffer that the document's own indexes overrun: such documents are refused.
std::size_t sample_count(std::int32_t width, std::int32_t height, std::int16_t planes) {
    const std::uint64_t count = static_cast<std::uint64_t>(std::max(width, 0)) *
                                static_cast<std::uint64_t>(std::max(height, 0)) *
                                static_cast<std::uint64_t>(std::max<std::int16_t>(planes, 0));
    if (width < 0 || height < 0 || planes < 0 || count > std::vector<std::uint16_t>().max_size())
        throw std::length_error("a document of " + std::to_string(width) + " x " + std::to_string(height) +
                                " pixels in " + std::to_string(planes) + " planes is too large to hold");
    return static_cast<std::size_t>(count);
}

} // namespace

image::image(std::int32_t width, std::int32_t height, std::int16_t planes, std::int32_t depth)
    : width(width), height(height), planes(planes), depth(depth),
      samples(sample_count(width, height, planes)) {}

run_report run_filter(plugin_module& module, image& document, const selection* mask,
                      const run_options& options, const dialog_options& dialog) {
    const plugin_properties& properties = module.properties();
    check_document(properties, document, mask);
    const filter_case& kind = case_of(properties, document, mask);
    const host::VRect area = selected_area(document, mask);
    if (!options.big_document && (document.width > 32767 || document.height > 32767))
        fail("the document needs 32-bit coordinates");

    host::BigDocumentStruct big{};
    host::PlatformData platform{static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(options.owner))};
    FilterRecord record{};
    record.planes = document.planes;
    record.filterRect = narrow(area);
    record.depth = document.depth;
    record.haveMask = mask != nullptr ? 1 : 0;
    record.autoMask = 1;
    record.platformData = options.owner != nullptr ? &platform : nullptr;
    if (options.big_document) {
        big.filterRect32 = area;
        record.bigDocumentData = &big;
    }

    // Set up before any call: the filter shows its dialog and runs its loop inside continue, and a
    // module the driver cannot read must not leave a started filter without its finish call.
    std::optional<dialog_driver> driver;
    if (dialog.wanted())
        driver.emplace(module.handle(), dialog);

    run_report report;
    // Every call starts with the result word at "no error"; the filter writes it only to object.
    auto call = [&](std::int16_t selector) {
        report.selectors.push_back(selector);
        report.result = 0;
        module.call(selector, &record, &report.result);
        report.results.push_back(report.result);
        if (driver)
            report.dialog = driver->report();
        return report.result == 0;
    };
    // Once start has succeeded the filter gets its finish call, whatever happens after, so that it can
    // release what start took; a failure before it keeps its own result.
    auto finish = [&] {
        const std::int16_t failure = report.result;
        call(host::filterSelectorFinish);
        if (failure != 0)
            report.result = failure;
    };
    if (!call(host::filterSelectorParameters) || !call(host::filterSelectorPrepare) ||
        !call(host::filterSelectorStart))
        return report;

    image working = document;
    const bool copy_source = (kind.flags1 & 1) == 0;
    int calls = 0;
    for (;;) {
        // The last round's buffers are gone: nothing may point at them any more.
        record.inData = record.outData = record.maskData = nullptr;
        const requests wanted = requests_of(record);
        if (is_empty(wanted.in) && is_empty(wanted.out) && (!record.haveMask || is_empty(wanted.mask)))
            break;
        if (++calls > max_continue_calls) {
            finish();
            fail("the filter keeps asking for data");
        }
        block in, out, selected_bytes;
        if (!is_empty(wanted.in)) {
            in = make_plane_block(document, wanted.in, record.inLoPlane, record.inHiPlane);
            fill_block(in, document);
            record.inData = in.bytes.data();
            record.inRowBytes = in.row_bytes;
        }
        if (!is_empty(wanted.out)) {
            out = make_plane_block(document, wanted.out, record.outLoPlane, record.outHiPlane);
            if (copy_source)
                fill_block(out, working);
            else
                std::ranges::fill(out.bytes, 0xA5); // what a filter leaves unwritten shows
            record.outData = out.bytes.data();
            record.outRowBytes = out.row_bytes;
        }
        if (mask != nullptr && !is_empty(wanted.mask)) {
            selected_bytes = make_block(document, wanted.mask, 1, 1);
            for (std::int32_t y = wanted.mask.top; y != wanted.mask.bottom; ++y)
                for (std::int32_t x = wanted.mask.left; x != wanted.mask.right; ++x)
                    selected_bytes.put(x, y, 0, selected(mask, x, y));
            record.maskData = selected_bytes.bytes.data();
            record.maskRowBytes = selected_bytes.row_bytes;
        }
        const std::vector<std::uint8_t> given = in.bytes;
        const bool carried_on = call(host::filterSelectorContinue);
        if (in.bytes != given)
            report.input_changed = true;
        if (!carried_on) {
            finish(); // the filter has given up or was cancelled: the document stays as it was
            return report;
        }
        if (!out.bytes.empty())
            store_block(out, working, record.autoMask != 0 ? mask : nullptr);
    }
    finish();
    if (report.result != 0)
        return report;
    document = std::move(working);
    report.applied = true;
    return report;
}

std::string utf8(std::wstring_view text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                        nullptr);
    return result;
}

void show_about(plugin_module& module) {
    FilterRecord blank{};
    std::int16_t result = 0;
    module.call(host::filterSelectorAbout, &blank, &result);
}

} // namespace filter_host
