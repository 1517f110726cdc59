#pragma once
// Private-profile (INI) files with the behaviour of GetPrivateProfileStringA and
// WritePrivateProfileStringA: case-insensitive section and key names, values trimmed, other
// lines kept in place, missing sections and keys appended. Lines are written with CR LF;
// reading accepts LF and CR LF. A write replaces the file atomically (temporary file in the
// same folder, fsync, rename) under an inter-process lock.
#include <cstdint>
#include <string>

namespace platform {

// Copies the value (or def when the section or key is missing) into out, cut to size-1
// characters and NUL-terminated; returns the number of characters copied. A null section or
// key is not supported (the program never enumerates). path is used as it is.
std::uint32_t GetPrivateProfileString(const char* section, const char* key, const char* def,
                                      char* out, std::uint32_t size, const std::string& path);

// Convenience form; values are cut at 255 characters like a 256-byte buffer would.
std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& def, const std::string& path,
                             std::uint32_t bufferSize = 256);

// Writes key=value into section. A null value deletes the key; a null key deletes the section;
// all three null only flushes (returns TRUE-like true). Returns false when the file cannot be
// written (the folder is missing or not writable, the lock cannot be had within 10 s).
bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const std::string& path);

// The profile store file: $KESTRUNE_PROFILE, else $XDG_CONFIG_HOME/kestrune/kestrune.ini
// (default ~/.config/kestrune/kestrune.ini).
std::string ProfileStorePath();

} // namespace platform
