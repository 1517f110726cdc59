#pragma once
// Windows-shaped basic types kept by the device code, whose results are 32-bit BOOLs.
#include <cstdint>

using BOOL = std::int32_t;
using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
