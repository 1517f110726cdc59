#pragma once
// Files, paths and names of the system, with the Windows shell path helpers' behaviour.
// Stored paths keep their Windows form (C:\LOG\fertigung.log); MapPath turns them into a
// local path at the moment of use: drive X maps to $KESTRUNE_DRIVE_X if set, else
// $XDG_DATA_HOME/kestrune/drive_x; backslashes become slashes. POSIX paths stay as they are.
#include <string>

namespace platform {

std::string MapPath(const std::string& path);

// The shell path helpers; they accept both separators and both forms.
std::string PathFindFileName(const std::string& path);     // the part after the last separator
bool PathFileExists(const std::string& path);               // maps first
std::string PathAppend(const std::string& dir, const std::string& more); // one separator between
std::string PathRemoveFileSpec(const std::string& path);    // drops the last component
std::string PathStripToRoot(const std::string& path);       // "C:\\", "/" or "" for relative

bool CreateDirectory(const std::string& path);              // one level; true when created
bool DirectoryExists(const std::string& path);
bool DeleteFile(const std::string& path);

std::string GetTempPath();      // $TMPDIR or /tmp, with a trailing slash
std::string GetUserName();      // login name; empty when unknown
std::string GetComputerName();  // gethostname; empty when unknown
std::string ConfigHome();       // $XDG_CONFIG_HOME/kestrune (default ~/.config/kestrune)
std::string DataHome();         // $XDG_DATA_HOME/kestrune (default ~/.local/share/kestrune)

} // namespace platform
