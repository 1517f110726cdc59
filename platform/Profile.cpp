#include "platform/Profile.h"

#include "platform/FileLock.h"
#include "platform/Registry.h"
#include "platform/SafeFile.h"
#include "platform/System.h"
#include "platform/Utf16.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// A name or value ends at a NUL, as a C string does.
std::string_view UpToNul(std::string_view text)
{
    return text.substr(0, text.find('\0'));
}

// Win32's reading: a header needs a closing bracket and the last one counts ("[Dev]ice]" is
// "Dev]ice"); every other line with an equals sign is a key, even one starting with ';' or '#'.
Line Classify(std::string_view text)
{
    const std::string_view t = Trim(text);
    if (t.empty())
        return {};
    if (t.front() == '[') {
        const auto close = t.rfind(']');
        if (close != std::string_view::npos)
            return {LineKind::Section, UpToNul(Trim(t.substr(1, close - 1))), {}};
    }
    const auto eq = t.find('=');
    if (eq == std::string_view::npos)
        return {};
    return {LineKind::Key, UpToNul(Trim(t.substr(0, eq))), UpToNul(Trim(t.substr(eq + 1)))};
}

// Keys written before any header belong to the nameless first section.
bool IsHead(std::string_view section)
{
    return Trim(section).empty();
}

// Win32 writes a line break as it stands and the rest becomes lines of their own; a key that
// reads as a header or holds '=' would come back as something else.
bool KeepsLine(std::string_view section, std::string_view key, std::string_view value)
{
    for (const std::string_view text : {section, key, value})
        if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
            return false;
    const std::string line = std::string(Trim(key)) + "=" + std::string(value);
    const Line read = Classify(line);
    return read.kind == LineKind::Key && read.name == Trim(key);
}

std::string Unquoted(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

std::string OneLine(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    return out;
}

std::optional<std::string> ReadFile(const std::string& path)
{
    std::string text;
    if (ReadRegularFile(path, text) != FileStatus::Ok)
        return std::nullopt;
    return text;
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
bool OpenLocked(const std::string& path, bool create, File& file, FileStatus& status)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockTimeoutMs);
    for (;;) {
        // Not through a link: one put in the checked name's place would have us create its target.
        file = File::Open(path, create ? FileAccess::ReadWriteCreate : FileAccess::ReadWrite, status, false);
        if (!file.IsOpen())
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!LockFileRange(file, 0, 0, left.count() > 0 ? static_cast<std::uint32_t>(left.count()) : 0))
            return false;
        if (file.IsNamedBy(path))
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
    std::vector<std::string> names;
    ListFolder(dir, names);
    for (const std::string& name : names)
        if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0) {
            std::string stale = dir;
            stale += '/';
            stale += name;
            RemoveFile(stale);
        }
}

bool ReplaceFile(const std::string& path, const std::string& text, unsigned mode, std::string& why)
{
    RemoveStaleTemps(path);
    const std::string dir = DirectoryOf(path);
    std::string temp;
    File file = File::CreateTemporary(dir + "/" + TempPrefix(path), temp);
    if (!file.IsOpen()) {
        why = dir + ": " + LastFileErrorText();
        return false;
    }
    bool written = file.SetMode(mode) && file.WriteAll(text) && file.Flush();
    if (!written)
        why = path + ": " + LastFileErrorText();
    written = file.Close() && written;
    if (!written) {
        if (why.empty())
            why = path + ": " + LastFileErrorText();
        RemoveFile(temp);
        return false;
    }
    if (!MoveIntoPlace(temp, path)) {
        why = path + ": " + LastFileErrorText();
        RemoveFile(temp);
        return false;
    }
    return true;
}

} // namespace

ProfileDocument ProfileDocument::Parse(std::string_view text)
{
    ProfileDocument doc;
    std::string decoded;
    if (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF") {
        doc.encoding_ = text[0] == '\xFF' ? Encoding::Utf16Le : Encoding::Utf16Be;
        std::string units(text.substr(2));
        if (units.size() % 2 != 0)
            units += '\0'; // a cut last character keeps the byte it has, as Win32 reads it
        if (doc.encoding_ == Encoding::Utf16Be)
            for (std::size_t i = 0; i + 1 < units.size(); i += 2)
                std::swap(units[i], units[i + 1]);
        decoded = Utf16LeToUtf8(units);
        text = decoded;
    } else if (text.substr(0, kBom.size()) == kBom) {
        doc.encoding_ = Encoding::Utf8Bom;
        text.remove_prefix(kBom.size());
    }
    // CR LF, LF and CR alone each end a line.
    while (!text.empty()) {
        const auto end = text.find_first_of("\r\n");
        doc.lines_.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        const bool crlf = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
        text.remove_prefix(end + (crlf ? 2 : 1));
    }
    return doc;
}

std::optional<std::pair<std::size_t, std::size_t>> ProfileDocument::SectionLines(std::string_view section) const
{
    section = Trim(section);
    if (section.empty()) {
        std::size_t end = 0;
        while (end < lines_.size() && Classify(lines_[end]).kind != LineKind::Section)
            ++end;
        return std::make_pair(std::size_t{0}, end);
    }
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line line = Classify(lines_[i]);
        if (line.kind != LineKind::Section || !SameName(line.name, section))
            continue;
        std::size_t end = i + 1;
        while (end < lines_.size() && Classify(lines_[end]).kind != LineKind::Section)
            ++end;
        return std::make_pair(i + 1, end);
    }
    return std::nullopt;
}

bool ProfileDocument::HasSection(std::string_view section) const
{
    return SectionLines(section).has_value();
}

std::optional<std::string> ProfileDocument::Get(std::string_view section, std::string_view key) const
{
    const std::optional<std::size_t> number = LineOf(section, key);
    if (!number)
        return std::nullopt;
    return Unquoted(Classify(lines_[*number - 1]).value);
}

std::optional<std::size_t> ProfileDocument::LineOf(std::string_view section, std::string_view key) const
{
    const auto range = SectionLines(section);
    if (!range)
        return std::nullopt;
    key = Trim(key);
    for (std::size_t i = range->first; i < range->second; ++i) {
        const Line line = Classify(lines_[i]);
        if (line.kind == LineKind::Key && SameName(line.name, key))
            return i + 1;
    }
    return std::nullopt;
}

std::optional<std::string> ProfileDocument::GetLatest(std::string_view section, std::string_view key) const
{
    section = Trim(section);
    key = Trim(key);
    std::optional<std::string> found;
    bool inSection = IsHead(section), foundHere = false;
    for (const auto& text : lines_) {
        const Line line = Classify(text);
        if (line.kind == LineKind::Section) {
            inSection = SameName(line.name, section);
            foundHere = false;
        } else if (inSection && !foundHere && line.kind == LineKind::Key && SameName(line.name, key)) {
            found = Unquoted(line.value);
            foundHere = true;
        }
    }
    return found;
}

void ProfileDocument::Set(std::string_view section, std::string_view key, std::string_view value)
{
    // Names are matched and written without surrounding blanks, as Windows does.
    section = Trim(section);
    const std::string keyText = OneLine(Trim(key));
    const std::string valueText = OneLine(value);
    const auto range = SectionLines(section);
    if (!range) {
        lines_.push_back("[" + OneLine(section) + "]");
        lines_.push_back(keyText + "=" + valueText);
        return;
    }
    // After the section's last line that is not blank: to Win32 its comments are entries too.
    std::size_t insertAt = range->first;
    for (std::size_t i = range->first; i < range->second; ++i) {
        const Line line = Classify(lines_[i]);
        if (line.kind == LineKind::Key && SameName(line.name, keyText)) {
            lines_[i] = std::string(line.name) + "=" + valueText;
            return;
        }
        if (!Trim(lines_[i]).empty())
            insertAt = i + 1;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), keyText + "=" + valueText);
}

void ProfileDocument::DeleteKey(std::string_view section, std::string_view key)
{
    // Unlike reading, deleting looks on into later sections of the same name, as Win32 does.
    section = Trim(section);
    key = Trim(key);
    bool inSection = IsHead(section);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line line = Classify(lines_[i]);
        if (line.kind == LineKind::Section) {
            inSection = SameName(line.name, section);
        } else if (inSection && line.kind == LineKind::Key && SameName(line.name, key)) {
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

void ProfileDocument::DeleteSection(std::string_view section)
{
    // The section's comments and blank lines go with it; the nameless first one has no header.
    const auto range = SectionLines(section);
    if (range)
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(range->first - (IsHead(section) ? 0 : 1)),
                     lines_.begin() + static_cast<std::ptrdiff_t>(range->second));
}

std::string ProfileDocument::Text() const
{
    std::string out;
    if (encoding_ == Encoding::Utf8Bom)
        out += kBom;
    for (const auto& line : lines_) {
        out += line;
        out += "\r\n";
    }
    if (encoding_ == Encoding::Utf16Le || encoding_ == Encoding::Utf16Be) {
        out = "\xFF\xFE" + Utf8ToUtf16Le(out);
        if (encoding_ == Encoding::Utf16Be)
            for (std::size_t i = 0; i + 1 < out.size(); i += 2)
                std::swap(out[i], out[i + 1]);
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

bool UpdateProfileFile(const std::string& path, bool create,
                       const std::function<void(ProfileDocument&)>& edit, std::string* problem)
{
    auto fail = [problem](std::string text) {
        if (problem != nullptr)
            *problem = std::move(text);
        return false;
    };
    if (path.empty())
        return fail({});
    if (std::string refusal = CheckLinkInSharedFolder(path); !refusal.empty())
        return fail(std::move(refusal));
    // A replacement would put a plain file in a link's place; write through it instead.
    const std::string target = ResolveSymbolicLink(path);
    const bool missing = !NameExists(target);
    if (!create && missing)
        return true; // nothing to change, and no file to create for it
    File file;
    FileStatus status = FileStatus::Ok;
    if (!OpenLocked(target, create, file, status)) {
        if (status == FileStatus::Missing)
            return fail(path + ": the folder does not exist");
        if (status == FileStatus::NotRegular && IsSymbolicLink(target))
            return fail(path + ": a symbolic link took its place; not followed");
        return fail(status == FileStatus::Ok ? path + ": could not be locked; another program holds it or replaced it"
                                             : FileStatusText(path, status));
    }
    // The lock lives on the file, so a new file exists, empty, before its text is written: when
    // the text cannot be written (a full disk), the empty file must not stay behind.
    auto failNew = [&](std::string text) {
        std::uint64_t size = 0;
        if (missing && file.Size(size) && size == 0 && file.IsNamedBy(target))
            RemoveFile(target);
        return fail(std::move(text));
    };
    std::string before;
    if (status = ReadToEnd(file, before); status != FileStatus::Ok)
        return fail(FileStatusText(path, status));
    ProfileDocument doc = ProfileDocument::Parse(before);
    edit(doc);
    const std::string after = doc.Text();
    if (after == before)
        return true;
    unsigned mode = 0644;
    if (!file.Mode(mode))
        return fail(FileStatusText(path, FileStatus::Unreadable));
    std::string why;
    return ReplaceFile(target, after, mode, why) || failNew(std::move(why));
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const std::string& path)
{
    // Every write reaches the disk before returning, so the flushing call has nothing to do.
    if (section == nullptr)
        return key == nullptr && value == nullptr;
    if (key != nullptr && value != nullptr && !KeepsLine(section, key, value))
        return false;
    const bool deleting = key == nullptr || value == nullptr;
    return UpdateProfileFile(path, !deleting, [&](ProfileDocument& doc) {
        if (key == nullptr)
            doc.DeleteSection(section);
        else if (value == nullptr)
            doc.DeleteKey(section, key);
        else
            doc.Set(section, key, value);
    });
}

std::string ProfileStorePath()
{
    if (const char* path = std::getenv("KESTRUNE_PROFILE"); path != nullptr && path[0] != '\0')
        return path;
    return ConfigHome() + "/kestrune.ini";
}

std::vector<std::string> UnusableStoreFiles()
{
    std::vector<std::string> unusable;
    for (const auto& [what, path] : {std::pair{"profile store", ProfileStorePath()},
                                     std::pair{"registry file", RegistryFilePath()}}) {
        const FileStatus status = CheckRegularFile(path);
        if (status != FileStatus::Ok && status != FileStatus::Missing)
            unusable.push_back(std::string(what) + " " + FileStatusText(path, status));
    }
    return unusable;
}

} // namespace platform
