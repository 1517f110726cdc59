#pragma once
// Private-profile (INI) files with the behaviour of GetPrivateProfileStringA and
// WritePrivateProfileStringA: case-insensitive section and key names, values trimmed, other
// lines kept in place, missing sections and keys appended, the first of sections with the same
// name the one read and written. Lines are written with CR LF; reading accepts CR LF, LF and
// CR alone; a UTF-16 file with its byte-order mark is read as UTF-8 and written back as UTF-16.
// Other bytes pass unchanged. Only regular files up to 16 MiB are read. A write replaces the
// file atomically (temporary file in the same folder, fsync, rename) under an inter-process
// lock, and goes through a symbolic link only as platform/SafeFile.h allows.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Writes key=value into section ("" is the part before the first header). A null value deletes
// the key; a null key deletes the section; all three null only flushes (returns TRUE-like true).
// Returns false when the file cannot be written (the folder is missing or not writable, the
// lock cannot be had within 10 s), and refuses, writing nothing, a CR or LF in any of the texts
// and a key whose line would read back as another (one holding '=', or read as a header).
bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const std::string& path);

class ProfileDocument;

// Applies edit to the file's document and replaces the file once with the result, so several
// keys change together or not at all. create: a missing file is created (else nothing is done
// and the call succeeds). false when the file cannot be read or written; problem (when not null)
// then names the path and the reason if one is known.
bool UpdateProfileFile(const std::string& path, bool create,
                       const std::function<void(ProfileDocument&)>& edit, std::string* problem = nullptr);

// The profile store file: $KESTRUNE_PROFILE, else $XDG_CONFIG_HOME/kestrune/kestrune.ini
// (default ~/.config/kestrune/kestrune.ini).
std::string ProfileStorePath();

// The profile store and the registry file, each when it is there but cannot be read as a
// regular file: "profile store PATH: not a regular file" and the like. Reads then see
// defaults, so the front ends say so.
std::vector<std::string> UnusableStoreFiles();

// The text of a profile file, parsed for reading and rewriting without any I/O. Lines other
// than the ones a change touches are kept as they are; Text() ends every line with CR LF.
class ProfileDocument {
public:
    // Never fails: unrecognised lines are kept as text.
    static ProfileDocument Parse(std::string_view text);

    bool HasSection(std::string_view section) const;
    // The value trimmed of blanks, without matching surrounding quotes; nullopt when missing.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    // For files of our own where a later section adds to and overrides an earlier one of the
    // same name: the key's value in the last section that holds it.
    std::optional<std::string> GetLatest(std::string_view section, std::string_view key) const;
    // The number (from 1) of the line Get reads the key from; nullopt when missing.
    std::optional<std::size_t> LineOf(std::string_view section, std::string_view key) const;
    // Replaces the matching key line in place, or adds the key after the last line of the
    // section that is not blank, or adds the section at the end. CR and LF in the texts become
    // blanks.
    void Set(std::string_view section, std::string_view key, std::string_view value);
    void DeleteKey(std::string_view section, std::string_view key);
    void DeleteSection(std::string_view section);

    // In the encoding the parsed text had.
    std::string Text() const;
    // Whether that encoding is Unicode (UTF-16 or UTF-8 with its mark) rather than 8-bit.
    bool IsUnicode() const { return encoding_ != Encoding::Ansi; }

private:
    enum class Encoding { Ansi, Utf8Bom, Utf16Le, Utf16Be };

    // [first, end) of the lines of the first section named section; nullopt when there is none.
    std::optional<std::pair<std::size_t, std::size_t>> SectionLines(std::string_view section) const;

    std::vector<std::string> lines_; // without their line ends
    Encoding encoding_ = Encoding::Ansi;
};

} // namespace platform
