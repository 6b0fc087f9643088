// Image files for the filter host, through the Windows Imaging Component. The calling thread must have
// joined COM.
#pragma once

#include <cstdint>
#include <string>

#include "filter-host.h"

namespace filter_host {

// The largest image the host reads, in either direction: the largest document the plug-in takes.
constexpr std::uint32_t largest_side = 40960;

// A document from any image file WIC decodes: gray, RGB or RGB with transparency, 8 or 16 bits per
// sample as the file has them. 16-bit samples are brought into the host's range 0..32768. Throws
// std::runtime_error that names the file and says in words what is wrong with it: it does not exist or
// cannot be read, it is no image the host reads, it is damaged, or it is too large (larger than
// largest_side either way, or for the host's memory).
image read_image(const std::wstring& path);

// Throws, as write_image would, when a file cannot be written at path; leaves a file that is there as it
// is. The host asks before the filter runs, so that nobody's work in the dialog ends unwritten.
void check_writable(const std::wstring& path);

// The document as a PNG file of the same kind and depth.
void write_image(const std::wstring& path, const image& document);

// A selection from an image file: the gray (or red) value of each pixel in 8 bits, 0 not selected.
selection read_selection(const std::wstring& path);

} // namespace filter_host
