// A filter module that probes the host: it asks for the filter rectangle in two bands, top half first,
// in the coordinates the host offers (32-bit when it can), inverts every sample it is given, and leaves
// merging by the selection to the host. It fails when the host's rows are not padded beyond their samples,
// when the first sample is 13, and scribbles on its input when the first sample is 7.
#include "plugin/host-entry.h"

using namespace tessolux::host;

namespace {

VRect widen(const Rect& r) {
    return {r.top, r.left, r.bottom, r.right};
}

// Band 0 is the upper half of the filter rectangle, band 1 the rest; band 2 asks for nothing.
void request_band(FilterRecord& record, std::intptr_t band) {
    BigDocumentStruct* big = record.bigDocumentData;
    VRect area = big != nullptr ? big->filterRect32 : widen(record.filterRect);
    (band == 0 ? area.bottom : area.top) = area.top + (area.bottom - area.top) / 2;
    if (band > 1)
        area = {};
    if (big != nullptr) {
        big->PluginUsing32BitCoordinates = 1;
        big->inRect32 = big->outRect32 = big->maskRect32 = area;
        return;
    }
    const Rect narrow{static_cast<std::int16_t>(area.top), static_cast<std::int16_t>(area.left),
                      static_cast<std::int16_t>(area.bottom), static_cast<std::int16_t>(area.right)};
    record.inRect = record.outRect = record.maskRect = narrow;
}

template <class Sample> std::int16_t invert(FilterRecord& record, Sample maximum) {
    const VRect area =
        record.bigDocumentData != nullptr ? record.bigDocumentData->inRect32 : widen(record.inRect);
    const std::int32_t count = (area.right - area.left) * record.planes;
    const std::int32_t tight = count * static_cast<std::int32_t>(sizeof(Sample));
    const Sample first = *static_cast<const Sample*>(record.inData);
    if (record.inRowBytes <= tight || record.outRowBytes <= tight || first == 13)
        return filterBadParameters;
    for (std::int32_t y = 0; y != area.bottom - area.top; ++y) {
        auto* in = reinterpret_cast<Sample*>(static_cast<char*>(record.inData) + y * record.inRowBytes);
        auto* out = reinterpret_cast<Sample*>(static_cast<char*>(record.outData) + y * record.outRowBytes);
        for (std::int32_t i = 0; i != count; ++i)
            out[i] = static_cast<Sample>(maximum - in[i]);
    }
    if (first == 7)
        *static_cast<Sample*>(record.inData) = 0;
    return 0;
}

} // namespace

extern "C" __declspec(dllexport) void ProbeMain(std::int16_t selector, FilterRecord* record,
                                                std::intptr_t* data, std::int16_t* result) {
    if (selector == filterSelectorStart) {
        record->inLoPlane = record->outLoPlane = 0;
        record->inHiPlane = record->outHiPlane = static_cast<std::int16_t>(record->planes - 1);
        request_band(*record, *data = 0);
    } else if (selector == filterSelectorContinue) {
        *result =
            record->depth == 16 ? invert<std::uint16_t>(*record, 32768) : invert<std::uint8_t>(*record, 255);
        if (*result == 0)
            request_band(*record, ++*data);
    }
}
