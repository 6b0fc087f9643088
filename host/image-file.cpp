#include "image-file.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <wincodec.h>
#include <wrl/client.h>

namespace filter_host {

namespace {

using Microsoft::WRL::ComPtr;

void check(HRESULT result, const char* what) {
    if (FAILED(result)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(result));
        throw std::runtime_error(std::string(what) + " failed with " + code);
    }
}

ComPtr<IWICImagingFactory> make_factory() {
    ComPtr<IWICImagingFactory> factory;
    check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory)),
          "creating the imaging factory");
    return factory;
}

// A document kind and the WIC format its pixels travel in: the file sample that each host plane
// (R, G, B, A or gray) comes from or goes to.
struct layout {
    std::int16_t planes;
    std::int32_t depth;
    WICPixelFormatGUID format;
    std::int32_t file_samples;
    std::int32_t sample_of[4];
};

const layout gray8{1, 8, GUID_WICPixelFormat8bppGray, 1, {0}};
const layout gray16{1, 16, GUID_WICPixelFormat16bppGray, 1, {0}};
const layout rgb8{3, 8, GUID_WICPixelFormat24bppBGR, 3, {2, 1, 0}};
const layout rgba8{4, 8, GUID_WICPixelFormat32bppBGRA, 4, {2, 1, 0, 3}};
const layout rgb16{3, 16, GUID_WICPixelFormat48bppRGB, 3, {0, 1, 2}};
const layout rgba16{4, 16, GUID_WICPixelFormat64bppRGBA, 4, {0, 1, 2, 3}};
// Formats that are read through 32-bit BGRA, the one target every WIC converter (Wine's included)
// reaches from anything: gray below 8 bits, palettes and the rest.
const layout gray_via_bgra{1, 8, GUID_WICPixelFormat32bppBGRA, 4, {2}};
const layout rgb_via_bgra{3, 8, GUID_WICPixelFormat32bppBGRA, 4, {2, 1, 0}};

// Gray stays gray, 16-bit stays 16-bit, transparency stays.
const layout& layout_for(const WICPixelFormatGUID& source) {
    const auto is = [&](const WICPixelFormatGUID& format) { return IsEqualGUID(source, format) != 0; };
    if (is(GUID_WICPixelFormat8bppGray))
        return gray8;
    if (is(GUID_WICPixelFormatBlackWhite) || is(GUID_WICPixelFormat2bppGray) ||
        is(GUID_WICPixelFormat4bppGray))
        return gray_via_bgra;
    if (is(GUID_WICPixelFormat16bppGray))
        return gray16;
    if (is(GUID_WICPixelFormat24bppBGR))
        return rgb8;
    if (is(GUID_WICPixelFormat48bppRGB))
        return rgb16;
    if (is(GUID_WICPixelFormat64bppRGBA))
        return rgba16;
    if (is(GUID_WICPixelFormat32bppBGRA) || is(GUID_WICPixelFormat32bppRGBA) ||
        is(GUID_WICPixelFormat32bppPBGRA) || is(GUID_WICPixelFormat32bppPRGBA))
        return rgba8;
    return rgb_via_bgra;
}

const layout& layout_for(const image& document) {
    if (document.planes == 1)
        return document.depth == 16 ? gray16 : gray8;
    if (document.planes == 3)
        return document.depth == 16 ? rgb16 : rgb8;
    return document.depth == 16 ? rgba16 : rgba8;
}

// PNG keeps 16-bit samples as 0..65535; the host's 16-bit range is 0..32768.
std::uint16_t to_host(std::uint16_t value) {
    return static_cast<std::uint16_t>((value * 32768u + 32767u) / 65535u);
}
std::uint16_t to_file(std::uint16_t value) {
    return static_cast<std::uint16_t>((std::min<std::uint32_t>(value, 32768u) * 65535u + 16384u) / 32768u);
}

std::uint16_t swapped(std::uint16_t value) {
    return static_cast<std::uint16_t>(value << 8 | value >> 8);
}

void encode(IWICImagingFactory* factory, IStream* stream, std::int32_t width, std::int32_t height,
            const WICPixelFormatGUID& wanted, std::uint32_t stride, std::vector<std::uint8_t>& bytes) {
    ComPtr<IWICBitmapEncoder> encoder;
    check(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder), "creating a PNG encoder");
    check(encoder->Initialize(stream, WICBitmapEncoderNoCache), "starting the PNG file");
    ComPtr<IWICBitmapFrameEncode> frame;
    check(encoder->CreateNewFrame(&frame, nullptr), "adding the image frame");
    check(frame->Initialize(nullptr), "adding the image frame");
    check(frame->SetSize(width, height), "setting the image size");
    WICPixelFormatGUID format = wanted;
    check(frame->SetPixelFormat(&format), "setting the pixel format");
    if (!IsEqualGUID(format, wanted))
        throw std::runtime_error("the PNG encoder does not take this kind of document");
    check(frame->WritePixels(height, stride, static_cast<UINT>(bytes.size()), bytes.data()),
          "writing the pixels");
    check(frame->Commit(), "finishing the image frame");
    check(encoder->Commit(), "finishing the PNG file");
}

// 16-bit samples lie in memory in the machine's order and in PNG files most significant byte first.
// Some PNG encoders (Wine's among them) copy them unswapped while their decoder swaps, so one sample is
// sent through encoder and decoder once to learn which kind this is.
bool encoder_keeps_memory_order() {
    static const bool keeps = [] {
        ComPtr<IWICImagingFactory> factory = make_factory();
        ComPtr<IStream> stream;
        check(CreateStreamOnHGlobal(nullptr, TRUE, &stream), "creating a memory stream");
        std::vector<std::uint8_t> sample{0x02, 0x01}; // 0x0102
        encode(factory.Get(), stream.Get(), 1, 1, GUID_WICPixelFormat16bppGray, 2, sample);
        check(stream->Seek({}, STREAM_SEEK_SET, nullptr), "rewinding a memory stream");
        ComPtr<IWICBitmapDecoder> decoder;
        check(factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnLoad, &decoder),
              "reading back a PNG sample");
        ComPtr<IWICBitmapFrameDecode> frame;
        check(decoder->GetFrame(0, &frame), "reading back a PNG sample");
        std::uint16_t value = 0;
        check(frame->CopyPixels(nullptr, 2, 2, reinterpret_cast<BYTE*>(&value)), "reading back a PNG sample");
        return value == 0x0201;
    }();
    return keeps;
}

} // namespace

image read_image(const std::wstring& path) {
    ComPtr<IWICImagingFactory> factory = make_factory();
    ComPtr<IWICBitmapDecoder> decoder;
    check(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                             WICDecodeMetadataCacheOnDemand, &decoder),
          "opening the image file");
    ComPtr<IWICBitmapFrameDecode> frame;
    check(decoder->GetFrame(0, &frame), "reading the image's first frame");
    WICPixelFormatGUID source{};
    check(frame->GetPixelFormat(&source), "reading the image's pixel format");
    const layout& kind = layout_for(source);

    ComPtr<IWICBitmapSource> pixels = frame;
    if (!IsEqualGUID(source, kind.format)) {
        ComPtr<IWICFormatConverter> converter;
        check(factory->CreateFormatConverter(&converter), "creating a format converter");
        check(converter->Initialize(frame.Get(), kind.format, WICBitmapDitherTypeNone, nullptr, 0.0,
                                    WICBitmapPaletteTypeCustom),
              "converting the image");
        pixels = converter;
    }
    UINT width = 0, height = 0;
    check(pixels->GetSize(&width, &height), "reading the image's size");
    const std::uint32_t sample_bytes = kind.depth / 8;
    const std::uint32_t stride = width * kind.file_samples * sample_bytes;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stride) * height);
    check(pixels->CopyPixels(nullptr, stride, static_cast<UINT>(bytes.size()), bytes.data()),
          "decoding the image");

    image document(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), kind.planes,
                   kind.depth);
    for (std::int32_t y = 0; y != document.height; ++y) {
        const std::uint8_t* row = bytes.data() + static_cast<std::size_t>(y) * stride;
        for (std::int32_t x = 0; x != document.width; ++x)
            for (std::int32_t p = 0; p != kind.planes; ++p) {
                const std::size_t at = static_cast<std::size_t>(x) * kind.file_samples + kind.sample_of[p];
                document.at(x, y, p) =
                    kind.depth == 8 ? row[at] : to_host(reinterpret_cast<const std::uint16_t*>(row)[at]);
            }
    }
    return document;
}

void write_image(const std::wstring& path, const image& document) {
    const layout& kind = layout_for(document);
    const bool swap = kind.depth == 16 && encoder_keeps_memory_order();
    const std::uint32_t stride =
        static_cast<std::uint32_t>(document.width) * kind.file_samples * (kind.depth / 8);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stride) * document.height);
    for (std::int32_t y = 0; y != document.height; ++y) {
        std::uint8_t* row = bytes.data() + static_cast<std::size_t>(y) * stride;
        for (std::int32_t x = 0; x != document.width; ++x)
            for (std::int32_t p = 0; p != kind.planes; ++p) {
                const std::size_t at = static_cast<std::size_t>(x) * kind.file_samples + kind.sample_of[p];
                if (kind.depth == 8) {
                    row[at] = static_cast<std::uint8_t>(document.at(x, y, p));
                } else {
                    const std::uint16_t value = to_file(document.at(x, y, p));
                    reinterpret_cast<std::uint16_t*>(row)[at] = swap ? swapped(value) : value;
                }
            }
    }

    ComPtr<IWICImagingFactory> factory = make_factory();
    ComPtr<IWICStream> stream;
    check(factory->CreateStream(&stream), "creating a file stream");
    check(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE), "creating the image file");
    encode(factory.Get(), stream.Get(), document.width, document.height, kind.format, stride, bytes);
}

selection read_selection(const std::wstring& path) {
    const image gray = read_image(path);
    selection mask{gray.width, gray.height, {}};
    mask.bytes.reserve(static_cast<std::size_t>(gray.width) * gray.height);
    for (std::int32_t y = 0; y != gray.height; ++y)
        for (std::int32_t x = 0; x != gray.width; ++x) {
            const std::uint32_t value = gray.at(x, y, 0);
            mask.bytes.push_back(
                static_cast<std::uint8_t>(gray.depth == 16 ? (value * 255 + 16384) / 32768 : value));
        }
    return mask;
}

} // namespace filter_host
