#pragma once
// Files that other users and stations share with us. Reads take regular files only, opened
// without blocking (a FIFO or a device never stalls the program) and up to a size no real file
// of ours reaches. Writes through a symbolic link in a folder others may write to follow the
// rule Linux applies with fs.protected_symlinks, since stations do not always set it.
// Temporary files are created exclusively under names nobody can guess.
#include <cstddef>
#include <string>

namespace platform {

constexpr std::size_t kMaxTextFileSize = 16u << 20;

enum class FileStatus {
    Ok,
    Missing,    // no such file (or a path component is missing)
    NotRegular, // a folder, a FIFO, a device, a socket
    TooLarge,
    Unreadable, // no permission, or an I/O error
};

// Opens path with flags (O_RDONLY or O_RDWR, optionally O_CREAT with mode) without blocking
// and returns the descriptor in blocking mode, or -1 with status saying why. O_CLOEXEC is
// always added.
int OpenRegularFile(const std::string& path, int flags, FileStatus& status, unsigned mode = 0666);

// The whole content of a regular file of at most maxSize bytes.
FileStatus ReadRegularFile(const std::string& path, std::string& text,
                           std::size_t maxSize = kMaxTextFileSize);

// What ReadRegularFile would find, without reading: for checking a file named in the
// environment before anything relies on it.
FileStatus CheckRegularFile(const std::string& path, std::size_t maxSize = kMaxTextFileSize);

// "PATH: not a regular file" and the like; empty for Ok.
std::string FileStatusText(const std::string& path, FileStatus status);

// Empty when path may be written through: none of its components is a symbolic link, or each
// link's folder is writable by nobody but the folder's owner, or the link belongs to us or to
// the folder's owner. Otherwise the refusal, naming the component.
std::string CheckLinkInSharedFolder(const std::string& path);

// Creates prefix + six unpredictable characters exclusively (O_EXCL, mode 0600) and returns its
// descriptor with the name in name, or -1.
int CreateTemporaryFile(const std::string& prefix, std::string& name);

} // namespace platform
