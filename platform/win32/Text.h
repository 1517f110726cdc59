#pragma once
// Paths and names are UTF-8 inside the program, as on Linux; the wide Win32 calls take UTF-16.
#include "platform/win32/Windows.h"

#include <string>

namespace platform::win32 {

inline std::wstring Wide(const std::string& text)
{
    if (text.empty())
        return {};
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

inline std::string Narrow(const wchar_t* text, std::size_t size)
{
    if (size == 0)
        return {};
    const int length =
        ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), narrow.data(), length, nullptr, nullptr);
    return narrow;
}

inline std::string Narrow(const std::wstring& text)
{
    return Narrow(text.data(), text.size());
}

} // namespace platform::win32
