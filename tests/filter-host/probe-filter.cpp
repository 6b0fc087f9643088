// A filter module that probes the host: it asks for the filter rectangle in two bands, top half first,
// inverts every sample it is given, and leaves merging by the selection to the host. A first sample of
// 13 makes it report a failure, one of 7 makes it scribble on its input.
#include "plugin/host-entry.h"

using namespace tessolux::host;

namespace {

VRect filter_area(const FilterRecord& record) {
    if (record.bigDocumentData != nullptr)
        return record.bigDocumentData->filterRect32;
    return {record.filterRect.top, record.filterRect.left, record.filterRect.bottom, record.filterRect.right};
}

// Band 0 is the upper half, band 1 the rest; band 2 asks for nothing.
void request_band(FilterRecord& record, std::intptr_t band) {
    VRect area = filter_area(record);
    const std::int32_t middle = area.top + (area.bottom - area.top) / 2;
    if (band == 0)
        area.bottom = middle;
    else if (band == 1)
        area.top = middle;
    else
        area = {};
    if (record.bigDocumentData != nullptr) {
        record.bigDocumentData->PluginUsing32BitCoordinates = 1;
        record.bigDocumentData->inRect32 = record.bigDocumentData->outRect32 =
            record.bigDocumentData->maskRect32 = area;
    } else {
        const Rect narrow{static_cast<std::int16_t>(area.top), static_cast<std::int16_t>(area.left),
                          static_cast<std::int16_t>(area.bottom), static_cast<std::int16_t>(area.right)};
        record.inRect = record.outRect = record.maskRect = narrow;
    }
}

template <class Sample> void invert(FilterRecord& record, const VRect& area, Sample maximum) {
    const std::int32_t count = (area.right - area.left) * (record.inHiPlane - record.inLoPlane + 1);
    for (std::int32_t y = 0; y != area.bottom - area.top; ++y) {
        const Sample* in =
            reinterpret_cast<const Sample*>(static_cast<const char*>(record.inData) + y * record.inRowBytes);
        Sample* out = reinterpret_cast<Sample*>(static_cast<char*>(record.outData) + y * record.outRowBytes);
        for (std::int32_t i = 0; i != count; ++i)
            out[i] = static_cast<Sample>(maximum - in[i]);
    }
}

} // namespace

extern "C" __declspec(dllexport) void ProbeMain(std::int16_t selector, FilterRecord* record,
                                                std::intptr_t* data, std::int16_t* result) {
    switch (selector) {
    case filterSelectorStart:
        record->inLoPlane = record->outLoPlane = 0;
        record->inHiPlane = record->outHiPlane = static_cast<std::int16_t>(record->planes - 1);
        *data = 0;
        request_band(*record, *data);
        break;
    case filterSelectorContinue: {
        const VRect area =
            record->bigDocumentData != nullptr
                ? record->bigDocumentData->inRect32
                : VRect{record->inRect.top, record->inRect.left, record->inRect.bottom, record->inRect.right};
        const bool wide = record->depth == 16;
        const std::uint16_t first = wide ? *static_cast<const std::uint16_t*>(record->inData)
                                         : *static_cast<const std::uint8_t*>(record->inData);
        if (first == 13) {
            *result = filterBadParameters;
            return;
        }
        if (first == 7)
            *static_cast<std::uint8_t*>(record->inData) = 0;
        if (wide)
            invert<std::uint16_t>(*record, area, 32768);
        else
            invert<std::uint8_t>(*record, area, 255);
        request_band(*record, ++*data);
        break;
    }
    default:
        break;
    }
}
