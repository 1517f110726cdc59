#include "platform/Profile.h"

#include "platform/FileLock.h"
#include "platform/System.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::uint32_t kLockTimeoutMs = 10000;
constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        if (ca != cb && std::tolower(ca) != std::tolower(cb))
            return false;
    }
    return true;
}

enum class LineKind { Other, Section, Key };

struct Line {
    LineKind kind = LineKind::Other;
    std::string_view name;
    std::string_view value;
};

Line Classify(std::string_view text)
{
    const std::string_view t = Trim(text);
    if (t.empty() || t.front() == ';' || t.front() == '#')
        return {};
    if (t.front() == '[') {
        std::string_view name = t.substr(1);
        const auto close = name.find(']');
        if (close != std::string_view::npos)
            name = name.substr(0, close);
        return {LineKind::Section, Trim(name), {}};
    }
    const auto eq = t.find('=');
    if (eq == std::string_view::npos)
        return {};
    return {LineKind::Key, Trim(t.substr(0, eq)), Trim(t.substr(eq + 1))};
}

// Removes the lines of every section named section for which erase(line) holds.
template <typename Predicate>
void EraseLines(std::vector<std::string>& lines, std::string_view section, Predicate erase)
{
    section = Trim(section);
    bool inSection = false;
    std::vector<std::string> kept;
    kept.reserve(lines.size());
    for (auto& text : lines) {
        const Line line = Classify(text);
        if (line.kind == LineKind::Section)
            inSection = SameName(line.name, section);
        if (!(inSection && erase(line)))
            kept.push_back(std::move(text));
    }
    lines = std::move(kept);
}

std::string OneLine(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    return out;
}

bool ReadAll(int fd, std::string& out)
{
    out.clear();
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        out.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
}

bool WriteAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::string> ReadFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    const bool ok = ReadAll(fd, text);
    close(fd);
    if (!ok)
        return std::nullopt;
    return text;
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    void Reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// The rename below would replace a symbolic link by a plain file; write through it instead.
std::string ResolveLink(const std::string& path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = realpath(path.c_str(), nullptr)) {
            std::string resolved = real;
            std::free(real);
            return resolved;
        }
    }
    return path;
}

std::string DirectoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Opens and locks the file that path names at the moment the lock is granted. A writer that
// finished meanwhile has renamed a new file into place, whose lock is the one that counts.
bool OpenLocked(const std::string& path, bool create, Fd& fd, struct stat& st)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockTimeoutMs);
    for (;;) {
        fd.Reset(open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666));
        if (fd.Get() < 0)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!LockFileRange(fd.Get(), 0, 0, left.count() > 0 ? static_cast<std::uint32_t>(left.count()) : 0))
            return false;
        struct stat named {};
        if (fstat(fd.Get(), &st) != 0)
            return false;
        if (stat(path.c_str(), &named) == 0 && named.st_dev == st.st_dev && named.st_ino == st.st_ino)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

std::string TempPrefix(const std::string& path)
{
    const auto slash = path.rfind('/');
    return "." + (slash == std::string::npos ? path : path.substr(slash + 1)) + ".kestrune-";
}

// Every writer holds the lock while its temporary file exists, so under the lock any such
// file is the remains of a writer that was killed.
void RemoveStaleTemps(const std::string& path)
{
    const std::string dir = DirectoryOf(path);
    const std::string prefix = TempPrefix(path);
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (const dirent* entry = readdir(d)) {
        const std::string_view name = entry->d_name;
        if (name.size() == prefix.size() + 6 && name.substr(0, prefix.size()) == prefix)
            unlinkat(dirfd(d), entry->d_name, 0);
    }
    closedir(d);
}

bool ReplaceFile(const std::string& path, const std::string& text, mode_t mode)
{
    RemoveStaleTemps(path);
    const std::string dir = DirectoryOf(path);
    std::string temp = dir + "/" + TempPrefix(path) + "XXXXXX";
    Fd fd(mkstemp(temp.data()));
    if (fd.Get() < 0)
        return false;
    const bool written = fchmod(fd.Get(), mode & 07777) == 0 && WriteAll(fd.Get(), text) &&
                         fsync(fd.Get()) == 0;
    fd.Reset();
    if (!written || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable; failing here does not undo a completed replacement.
    Fd dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Get() >= 0)
        fsync(dirFd.Get());
    return true;
}

} // namespace

ProfileDocument ProfileDocument::Parse(std::string_view text)
{
    ProfileDocument doc;
    if (text.substr(0, kBom.size()) == kBom) {
        doc.bom_ = true;
        text.remove_prefix(kBom.size());
    }
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        doc.lines_.emplace_back(line);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return doc;
}

std::optional<std::string> ProfileDocument::Get(std::string_view section, std::string_view key) const
{
    section = Trim(section);
    key = Trim(key);
    bool inSection = false;
    for (const auto& text : lines_) {
        const Line line = Classify(text);
        if (line.kind == LineKind::Section) {
            inSection = SameName(line.name, section);
        } else if (inSection && line.kind == LineKind::Key && SameName(line.name, key)) {
            std::string_view value = line.value;
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return std::string(value);
        }
    }
    return std::nullopt;
}

void ProfileDocument::Set(std::string_view section, std::string_view key, std::string_view value)
{
    // Names are matched and written without surrounding blanks, as Windows does.
    section = Trim(section);
    const std::string keyText = OneLine(Trim(key));
    const std::string valueText = OneLine(value);
    bool inSection = false;
    std::size_t insertAt = lines_.size();
    bool sectionFound = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line line = Classify(lines_[i]);
        if (line.kind == LineKind::Section) {
            inSection = SameName(line.name, section);
            if (inSection && !sectionFound) {
                sectionFound = true;
                insertAt = i + 1;
            }
        } else if (inSection && line.kind == LineKind::Key) {
            if (SameName(line.name, keyText)) {
                lines_[i] = std::string(line.name) + "=" + valueText;
                return;
            }
        }
    }
    if (!sectionFound) {
        lines_.push_back("[" + OneLine(section) + "]");
        lines_.push_back(keyText + "=" + valueText);
        return;
    }
    // After the last key of the first matching section, before blank lines and comments.
    for (std::size_t i = insertAt; i < lines_.size(); ++i) {
        const Line line = Classify(lines_[i]);
        if (line.kind == LineKind::Section)
            break;
        if (line.kind == LineKind::Key)
            insertAt = i + 1;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), keyText + "=" + valueText);
}

void ProfileDocument::DeleteKey(std::string_view section, std::string_view key)
{
    EraseLines(lines_, section, [key](const Line& line) {
        return line.kind == LineKind::Key && SameName(line.name, Trim(key));
    });
}

void ProfileDocument::DeleteSection(std::string_view section)
{
    // The section's comments and blank lines go with it.
    EraseLines(lines_, section, [](const Line&) { return true; });
}

std::string ProfileDocument::Text() const
{
    std::string out;
    if (bom_)
        out += kBom;
    for (const auto& line : lines_) {
        out += line;
        out += "\r\n";
    }
    return out;
}

std::uint32_t GetPrivateProfileString(const char* section, const char* key, const char* def,
                                      char* out, std::uint32_t size, const std::string& path)
{
    if (out == nullptr || size == 0)
        return 0;
    out[0] = '\0';
    if (section == nullptr || key == nullptr)
        return 0;
    std::optional<std::string> value;
    if (const auto text = ReadFile(path))
        value = ProfileDocument::Parse(*text).Get(section, key);
    if (!value) {
        // Like Windows, a default loses its trailing blanks.
        std::string_view fallback = def != nullptr ? def : "";
        while (!fallback.empty() && IsBlank(fallback.back()))
            fallback.remove_suffix(1);
        value = std::string(fallback);
    }
    const std::size_t n = std::min<std::size_t>(value->size(), size - 1);
    std::memcpy(out, value->data(), n);
    out[n] = '\0';
    return static_cast<std::uint32_t>(n);
}

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& def, const std::string& path, std::uint32_t bufferSize)
{
    if (bufferSize == 0)
        return "";
    std::string buffer(bufferSize, '\0');
    const auto n = GetPrivateProfileString(section.c_str(), key.c_str(), def.c_str(), buffer.data(),
                                           bufferSize, path);
    buffer.resize(n);
    return buffer;
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const std::string& path)
{
    // Every write reaches the disk before returning, so the flushing call has nothing to do.
    if (section == nullptr)
        return key == nullptr && value == nullptr;
    if (path.empty())
        return false;
    const std::string target = ResolveLink(path);
    const bool deleting = key == nullptr || value == nullptr;
    struct stat st {};
    if (deleting && stat(target.c_str(), &st) != 0 && errno == ENOENT)
        return true; // nothing to delete, and no file to create for it
    Fd fd;
    if (!OpenLocked(target, !deleting, fd, st))
        return false;
    std::string before;
    if (!ReadAll(fd.Get(), before))
        return false;
    ProfileDocument doc = ProfileDocument::Parse(before);
    if (key == nullptr)
        doc.DeleteSection(section);
    else if (value == nullptr)
        doc.DeleteKey(section, key);
    else
        doc.Set(section, key, value);
    const std::string after = doc.Text();
    if (after == before)
        return true;
    return ReplaceFile(target, after, st.st_mode);
}

std::string ProfileStorePath()
{
    if (const char* path = std::getenv("KESTRUNE_PROFILE"); path != nullptr && path[0] != '\0')
        return path;
    return ConfigHome() + "/kestrune.ini";
}

} // namespace platform
