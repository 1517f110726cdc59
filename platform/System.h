#pragma once
// Files, paths and names of the system, with the Windows shell path helpers' behaviour.
// Stored paths keep their Windows form (C:\LOG\fertigung.log); MapPath turns them into a
// local path at the moment of use: drive X maps to $KESTRUNE_DRIVE_X if set, else
// $XDG_DATA_HOME/kestrune/drive_x; backslashes become slashes. POSIX paths stay as they are.
#include <cstdio>
#include <string>

namespace platform {

// "C:\LOG\x" and "C:x" map into drive C's folder, "\LOG\x" too (rooted on the current
// drive, which is C); a relative path with backslashes and no slash gets slashes; anything
// else is returned unchanged.
std::string MapPath(const std::string& path);

// The shell path helpers; they accept both separators and both forms.
std::string PathFindFileName(const std::string& path);     // the part after the last separator
bool PathFileExists(const std::string& path);               // maps first
std::string PathAppend(const std::string& dir, const std::string& more); // one separator between
std::string PathRemoveFileSpec(const std::string& path);    // drops the last component
std::string PathStripToRoot(const std::string& path);       // "C:\\", "/" or "" for relative

// One level; true when created. The folder of a drive is made (with its parents) on first
// use, since a drive always exists on Windows.
bool CreateDirectory(const std::string& path);
bool DirectoryExists(const std::string& path);
bool DeleteFile(const std::string& path);                   // not a folder

std::string GetTempPath();      // $TMPDIR or /tmp, with a trailing slash
std::string GetUserName();      // login name; empty when unknown
std::string GetComputerName();  // gethostname; empty when unknown
std::string ConfigHome();       // $XDG_CONFIG_HOME/kestrune (default ~/.config/kestrune)
std::string DataHome();         // $XDG_DATA_HOME/kestrune (default ~/.local/share/kestrune)

// Columns of the terminal window behind stream; 0 when it is no terminal.
int TerminalColumns(std::FILE* stream);

// Sets a variable of the program's environment; only before the program starts a thread.
bool SetEnvironment(const std::string& name, const std::string& value);

// Makes the folder and its missing parents, each one it makes with mode 0700 (a fresh account
// has no ~/.config yet). True when path is a folder afterwards.
bool CreatePrivateFolders(const std::string& path);

} // namespace platform
