// Image files for the filter host, through the Windows Imaging Component. The calling thread must have
// joined COM.
#pragma once

#include <string>

#include "filter-host.h"

namespace filter_host {

// A document from any image file WIC decodes: gray, RGB or RGB with transparency, 8 or 16 bits per
// sample as the file has them. 16-bit samples are brought into the host's range 0..32768.
image read_image(const std::wstring& path);

// The document as a PNG file of the same kind and depth.
void write_image(const std::wstring& path, const image& document);

// A selection from an image file: the gray (or red) value of each pixel in 8 bits, 0 not selected.
selection read_selection(const std::wstring& path);

} // namespace filter_host
