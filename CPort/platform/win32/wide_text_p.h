// ---------------------------------------------------------------------------
// Not API. Private to the Windows side of the platform layer.
// ---------------------------------------------------------------------------
// UTF-8 <-> UTF-16 for the system's wide-character calls. The library keeps
// its texts (port names, keys, paths) in UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace CPort::Platform {

std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);

}  // namespace CPort::Platform
