#pragma once
// UTF-16LE text as Windows programs write it (Notepad's "Unicode", .reg exports), held as the
// UTF-8 our ANSI-style functions pass around.
#include <string>
#include <string_view>

namespace platform {

// Unpaired surrogates become U+FFFD; an odd last byte is dropped.
std::string Utf16LeToUtf8(std::string_view bytes);
// Bytes that are no valid UTF-8 become U+FFFD.
std::string Utf8ToUtf16Le(std::string_view text);
// Each byte as the character of the same number (ISO 8859-1), in UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);

} // namespace platform
