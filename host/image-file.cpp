#include "image-file.h"

#include "am-handle.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <limits>
#include <new>
#include <stdexcept>

#include <wincodec.h>
#include <wrl/client.h>

namespace filter_host {

namespace {

using Microsoft::WRL::ComPtr;

std::string code_of(HRESULT result) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(result));
    return code;
}

// Failures of the host's own doing, which say nothing about the file.
void check(HRESULT result, const char* what) {
    if (FAILED(result))
        throw std::runtime_error(std::string(what) + " failed with " + code_of(result));
}

// The system's own words for a failure that carries a system error code, as "File not found.".
std::string system_text(HRESULT result) {
    wchar_t text[1024];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  HRESULT_CODE(result), 0, text, 1024, nullptr);
    while (length != 0 && std::iswspace(text[length - 1]))
        --length;
    if (length == 0)
        return "system error " + std::to_string(HRESULT_CODE(result)) + ".";
    return utf8({text, length});
}

std::string quoted(const std::wstring& path) {
    return "\"" + utf8(path) + "\"";
}

[[noreturn]] void throw_not_writable(const std::wstring& path, HRESULT result) {
    throw std::runtime_error("the image file " + quoted(path) + " cannot be written: " + system_text(result) +
                             " (" + code_of(result) + ")");
}

// What a failure to read an image file tells about the file.
enum class read_failure { unreadable, not_an_image, damaged, too_large, other };

// WIC answers that it knows no such image also when a decoder took the file by its first bytes and then
// met data it could not decode (Wine's PNG decoder does so for a file cut short): the first bytes tell
// which it is.
read_failure classify(HRESULT result, bool known_signature) {
    switch (result) {
    case E_OUTOFMEMORY:
    case HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY):
    case WINCODEC_ERR_IMAGESIZEOUTOFRANGE:
        return read_failure::too_large;
    case WINCODEC_ERR_COMPONENTNOTFOUND:
    case WINCODEC_ERR_UNKNOWNIMAGEFORMAT:
        return known_signature ? read_failure::damaged : read_failure::not_an_image;
    case WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT:
    case WINCODEC_ERR_UNSUPPORTEDOPERATION:
    case WINCODEC_ERR_UNSUPPORTEDVERSION:
        return read_failure::not_an_image;
    case WINCODEC_ERR_BADIMAGE:
    case WINCODEC_ERR_BADHEADER:
    case WINCODEC_ERR_FRAMEMISSING:
    case WINCODEC_ERR_BADMETADATAHEADER:
    case WINCODEC_ERR_BADSTREAMDATA:
    case WINCODEC_ERR_STREAMREAD:
    case WINCODEC_ERR_STREAMNOTAVAILABLE:
    case WINCODEC_ERR_UNEXPECTEDSIZE:
    case WINCODEC_ERR_CODECTOOMANYSCANLINES:
    case WINCODEC_ERR_INVALIDPROGRESSIVELEVEL:
    case WINCODEC_ERR_INVALIDJPEGSCANINDEX:
    case HRESULT_FROM_WIN32(ERROR_HANDLE_EOF): // the file ends before its data do
        return read_failure::damaged;
    default:
        return HRESULT_FACILITY(result) == FACILITY_WIN32 ? read_failure::unreadable : read_failure::other;
    }
}

// Whether the file begins as a kind of image that one of the installed decoders reads.
bool has_image_signature(IWICImagingFactory* factory, const std::wstring& path) {
    ComPtr<IWICStream> stream;
    ComPtr<IEnumUnknown> decoders;
    if (FAILED(factory->CreateStream(&stream)) ||
        FAILED(stream->InitializeFromFilename(path.c_str(), GENERIC_READ)) ||
        FAILED(factory->CreateComponentEnumerator(WICDecoder, WICComponentEnumerateDefault, &decoders)))
        return false;
    ComPtr<IUnknown> component;
    while (decoders->Next(1, &component, nullptr) == S_OK) {
        ComPtr<IWICBitmapDecoderInfo> decoder;
        BOOL matches = FALSE;
        if (SUCCEEDED(component.As(&decoder)) && SUCCEEDED(decoder->MatchesPattern(stream.Get(), &matches)) &&
            matches)
            return true;
    }
    return false;
}

const std::string largest_size = std::to_string(largest_side) + " x " + std::to_string(largest_side);

[[noreturn]] void fail_too_large(const std::wstring& path, const std::string& why) {
    throw std::runtime_error("the image file " + quoted(path) + " is too large for the filter host: " + why);
}

[[noreturn]] void fail_too_large(const std::wstring& path, UINT width, UINT height) {
    fail_too_large(path, "its " + std::to_string(width) + " x " + std::to_string(height) +
                             " pixels do not fit in memory (" + code_of(E_OUTOFMEMORY) + ")");
}

// Says what is wrong with the image file, in words, naming it; the code follows in brackets.
[[noreturn]] void fail_reading(IWICImagingFactory* factory, const std::wstring& path, HRESULT result) {
    const std::string code = " (" + code_of(result) + ")";
    switch (classify(result, has_image_signature(factory, path))) {
    case read_failure::unreadable:
        throw std::runtime_error("the image file " + quoted(path) +
                                 " cannot be read: " + system_text(result) + code);
    case read_failure::not_an_image:
        throw std::runtime_error("the file " + quoted(path) + " is not an image the filter host can read" +
                                 code);
    case read_failure::damaged:
        throw std::runtime_error("the image file " + quoted(path) + " is damaged and cannot be read" + code);
    case read_failure::too_large:
        fail_too_large(path, "there is not enough memory to decode it; it reads images of up to " +
                                 largest_size + " pixels, as large as the plug-in takes" + code);
    case read_failure::other:
        break;
    }
    throw std::runtime_error("the image file " + quoted(path) + " cannot be read" + code);
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
    const auto reading = [&](HRESULT result) {
        if (FAILED(result))
            fail_reading(factory.Get(), path, result);
    };
    ComPtr<IWICBitmapDecoder> decoder;
    reading(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                               WICDecodeMetadataCacheOnDemand, &decoder));
    ComPtr<IWICBitmapFrameDecode> frame;
    reading(decoder->GetFrame(0, &frame));
    // The header's size decides before any pixel is decoded.
    UINT width = 0, height = 0;
    reading(frame->GetSize(&width, &height));
    if (width > largest_side || height > largest_side)
        fail_too_large(path, std::to_string(width) + " x " + std::to_string(height) +
                                 " pixels, where it reads at most " + largest_size +
                                 ", as large as the plug-in takes");
    WICPixelFormatGUID source{};
    reading(frame->GetPixelFormat(&source));
    const layout& kind = layout_for(source);

    ComPtr<IWICBitmapSource> pixels = frame;
    if (!IsEqualGUID(source, kind.format)) {
        ComPtr<IWICFormatConverter> converter;
        check(factory->CreateFormatConverter(&converter), "creating a format converter");
        reading(converter->Initialize(frame.Get(), kind.format, WICBitmapDitherTypeNone, nullptr, 0.0,
                                      WICBitmapPaletteTypeCustom));
        pixels = converter;
    }
    // The decoded rows and the document are held at once. In a 32-bit host their sizes can pass what any
    // buffer holds and would wrap round in its word size, so they are reckoned in 64 bits first.
    const std::uint32_t sample_bytes = kind.depth / 8;
    const std::uint64_t stride = std::uint64_t{width} * kind.file_samples * sample_bytes;
    const std::uint64_t most = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (stride * height > most || std::uint64_t{width} * height * kind.planes * 2 > most)
        fail_too_large(path, width, height);
    std::vector<std::uint8_t> bytes;
    image document;
    try {
        bytes.resize(static_cast<std::size_t>(stride * height));
        document = image(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), kind.planes,
                         kind.depth);
    } catch (const std::bad_alloc&) {
        fail_too_large(path, width, height);
    }
    reading(pixels->CopyPixels(nullptr, static_cast<UINT>(stride), static_cast<UINT>(bytes.size()),
                               bytes.data()));

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

void check_writable(const std::wstring& path) {
    const HANDLE opened =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        throw_not_writable(path, HRESULT_FROM_WIN32(GetLastError()));
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    cpp::unique_any<HANDLE, &CloseHandle> file(opened);
    file.reset(); // closed before the file it made can go
    // Only the file the check itself made goes again; one that was there stays as it was.
    if (!existed)
        DeleteFileW(path.c_str());
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
    const HRESULT created = stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE);
    if (FAILED(created))
        throw_not_writable(path, created);
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
