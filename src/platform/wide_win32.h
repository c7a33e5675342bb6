// Private to the Windows backends (src/platform, src/net): UTF-8, the
// strings of every boundary, to and from the UTF-16 of the wide Win32 calls.
// Invalid sequences become U+FFFD. Any thread.
#pragma once

#include <string>

std::wstring platform_wide(const std::string& utf8);
std::string platform_utf8(const wchar_t* wide, int length = -1);  // length -1: up to the terminating zero
