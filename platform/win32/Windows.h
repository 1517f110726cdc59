#pragma once
// <windows.h> for the Win32 side of platform/ only, included before any header of ours. Our
// headers keep the Win32 names (ERROR_SUCCESS, REG_SZ, MB_OK, DeleteFile ...) with the Win32
// values, so the macros that would rewrite them go; code here calls the ...A / ...W functions
// by their own names.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shlobj.h>

#undef ERROR_SUCCESS
#undef ERROR_FILE_NOT_FOUND
#undef ERROR_INVALID_PARAMETER
#undef ERROR_MORE_DATA
#undef REG_NONE
#undef REG_SZ
#undef REG_EXPAND_SZ
#undef REG_BINARY
#undef REG_DWORD
#undef REG_MULTI_SZ
#undef REG_QWORD
#undef E_FAIL
#undef E_INVALIDARG
#undef MB_OK
#undef MB_OKCANCEL
#undef MB_ICONERROR
#undef MB_ICONHAND
#undef MB_ICONSTOP
#undef MB_ICONQUESTION
#undef MB_ICONEXCLAMATION
#undef MB_ICONWARNING
#undef MB_ICONINFORMATION
#undef MB_ICONASTERISK
#undef MB_YESNO
#undef MB_YESNOCANCEL
#undef IDOK
#undef IDCANCEL
#undef IDYES
#undef IDNO
#undef PURGE_TXABORT
#undef PURGE_RXABORT
#undef PURGE_TXCLEAR
#undef PURGE_RXCLEAR
#undef DTR_CONTROL_DISABLE
#undef DTR_CONTROL_ENABLE
#undef DTR_CONTROL_HANDSHAKE
#undef RTS_CONTROL_DISABLE
#undef RTS_CONTROL_ENABLE
#undef RTS_CONTROL_HANDSHAKE
#undef NOPARITY
#undef ONESTOPBIT
#undef DeleteFile
#undef CreateDirectory
#undef GetTempPath
#undef GetUserName
#undef GetComputerName
#undef LoadLibrary
#undef MessageBox
#undef GetProfileString
#undef WriteProfileString
#undef GetPrivateProfileString
#undef WritePrivateProfileString
#undef ReplaceFile
