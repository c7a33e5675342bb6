// UTF-8 and UTF-16 for the Windows backends. See wide_win32.h. A file of its
// own so that a program linking only these (the network layer) does not pull
// in the rest of the platform layer.
#include "platform/wide_win32.h"

#include <windows.h>

#include <cwchar>

std::wstring platform_wide(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), nullptr, 0);
    std::wstring out(n > 0 ? n : 0, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), out.data(), n);
    return out;
}

std::string platform_utf8(const wchar_t* wide, int length) {
    if (wide == nullptr) return std::string();
    if (length < 0) length = (int)std::wcslen(wide);
    if (length == 0) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide, length, out.data(), n, nullptr, nullptr);
    return out;
}

