#pragma once
// Files that other users and stations share with us. Writes through a symbolic link in a
// folder others may write to follow the rule Linux applies with fs.protected_symlinks, since
// stations do not always set it.
#include <cstddef>
#include <string>

#include "platform/File.h"

namespace platform {

// What ReadRegularFile would find, without reading: for checking a file named in the
// environment before anything relies on it.
FileStatus CheckRegularFile(const std::string& path, std::size_t maxSize = kMaxTextFileSize);

// "PATH: not a regular file" and the like; empty for Ok.
std::string FileStatusText(const std::string& path, FileStatus status);

// Empty when path may be written through: none of its components is a symbolic link, or each
// link's folder is writable by nobody but the folder's owner, or the link belongs to us or to
// the folder's owner. Otherwise the refusal, naming the component.
std::string CheckLinkInSharedFolder(const std::string& path);

// path opened to append to, created when missing, after CheckLinkInSharedFolder passed. A link
// put in path's place since that check is not followed; a link is followed only while it passes
// the check and it and its target are still the ones checked once the file is open. linkRefused
// tells such a refusal from other failures.
File OpenSharedForAppend(const std::string& path, FileStatus& status, bool& linkRefused);

} // namespace platform
