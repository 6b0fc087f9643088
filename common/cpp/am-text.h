// Text services shared by the window code and the COM layer: positional formatting of the string
// table's patterns and UTF-16 to UTF-8 conversion.
#pragma once

#include <string>

namespace cpp {

// The text in normalisation form C, encoded as UTF-8. Never throws for bad text: a COM error
// description must survive whatever characters it holds.
std::string to_utf8(const std::wstring& text);

} // namespace cpp
