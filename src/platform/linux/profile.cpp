#include "platform/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace platform {

namespace {

// Files larger than this are not settings files; they are neither parsed nor rewritten.
constexpr off_t kMaxFileSize = 64L * 1024 * 1024;

// Serialises read-modify-write cycles of this process, so two threads writing one file cannot
// lose each other's change.
std::mutex& writeMutex() {
    static std::mutex m;
    return m;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

enum class Kind { Other, Section, Key };

// One line of the file, as offsets into the text. `end` excludes the line end ("\n" or "\r\n"),
// `next` is where the following line begins.
struct Line {
    std::size_t begin = 0, end = 0, next = 0;
    Kind kind = Kind::Other;
    std::string_view name;       // section or key name, trimmed
    std::size_t valueBegin = 0;  // for keys: the value's first byte after the blanks
    std::size_t valueEnd = 0;    // for keys: the value's end before trailing blanks
    bool blank = false;
};

std::vector<Line> parse(std::string_view text) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        Line ln;
        ln.begin = pos;
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) {
            ln.end = ln.next = text.size();
        } else {
            ln.next = nl + 1;
            ln.end = (nl > pos && text[nl - 1] == '\r') ? nl - 1 : nl;
        }
        std::string_view content = text.substr(ln.begin, ln.end - ln.begin);
        std::string_view body = trim(content);
        ln.blank = body.empty();
        if (!body.empty() && body.front() == '[') {
            std::size_t close = body.find(']');
            if (close != std::string_view::npos) {
                ln.kind = Kind::Section;
                ln.name = trim(body.substr(1, close - 1));
            }
        } else if (!body.empty() && body.front() != ';') {
            std::size_t eq = content.find('=');
            if (eq != std::string_view::npos) {
                ln.kind = Kind::Key;
                ln.name = trim(content.substr(0, eq));
                std::size_t vb = ln.begin + eq + 1;
                std::size_t ve = ln.end;
                while (vb < ve && isBlank(text[vb]))
                    ++vb;
                while (ve > vb && isBlank(text[ve - 1]))
                    --ve;
                ln.valueBegin = vb;
                ln.valueEnd = ve;
            }
        }
        lines.push_back(ln);
        pos = ln.next;
    }
    return lines;
}

// Reads a whole regular file. Missing or unreadable: nullopt.
std::optional<std::string> slurp(const std::string& path) {
    // O_NONBLOCK: a pipe or device in place of the file must not stall the open; regular files
    // read as usual and anything else is refused below.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileSize) {
        ::close(fd);
        return std::nullopt;
    }
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        data.append(buf, static_cast<std::size_t>(n));
        if (data.size() > static_cast<std::size_t>(kMaxFileSize)) {
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return data;
}

bool inGroup(gid_t gid) {
    if (gid == getegid())
        return true;
    int n = getgroups(0, nullptr);
    if (n <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    n = getgroups(n, groups.data());
    return n > 0 && std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
}

// Whether the mode bits let us write the file. access() says yes to root for every file, but a
// file without write bits is read-only for root too, as it is on Win32.
bool writableByMode(const struct stat& st) {
    uid_t euid = geteuid();
    if (euid == 0)
        return (st.st_mode & 0222) != 0;
    if (st.st_uid == euid)
        return (st.st_mode & S_IWUSR) != 0;
    if (inGroup(st.st_gid))
        return (st.st_mode & S_IWGRP) != 0;
    return (st.st_mode & S_IWOTH) != 0;
}

std::string dirOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links of the last component, so that a linked file is written at its target
// (also a dangling link: the target is created).
std::string followLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        char target[PATH_MAX];
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0)
            return path;
        std::string t(target, static_cast<std::size_t>(n));
        path = (t.front() == '/') ? t : dirOf(path) + "/" + t;
    }
    return path;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Replaces the file at `target` with `content`: a temporary file beside it, synced, then renamed
// over it. `old` is the stat of the existing file (mode and owner kept), null for a new file.
bool replaceFile(const std::string& target, const std::string& content, const struct stat* old) {
    static std::atomic<unsigned> counter{0};
    std::string dir = dirOf(target);
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = dir + "/." + baseOf(target) + ".tmp-" + std::to_string(getpid()) + "-" +
              std::to_string(counter.fetch_add(1));
        // Mode 0666 lets the umask decide for a new file, as creating it directly would.
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    bool ok = true;
    if (old) {
        if (old->st_uid != geteuid() || old->st_gid != getegid())
            (void)fchown(fd, old->st_uid, old->st_gid);
        ok = fchmod(fd, old->st_mode & 07777) == 0;
    }
    ok = ok && writeAll(fd, content) && fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok)
        ::unlink(tmp.c_str());
    return ok;
}

std::string_view lineEndOf(std::string_view text) {
    std::size_t nl = text.find('\n');
    return (nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r') ? "\r\n" : "\n";
}

// Runs `edit` on the file's text under the write lock and stores the result. `edit` returns
// false to refuse; `createIfMissing` says whether a missing file may be created.
template <typename Edit>
bool modifyFile(const std::string& path, bool createIfMissing, Edit edit) {
    std::lock_guard<std::mutex> lock(writeMutex());
    std::string target = followLinks(findFileNoCase(path));
    struct stat st {};
    std::string text;
    bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists) {
        if (!S_ISREG(st.st_mode) || !writableByMode(st))
            return false;
        std::optional<std::string> data = slurp(target);
        if (!data)
            return false;
        text = std::move(*data);
    } else if (!createIfMissing) {
        return true;
    }
    std::string updated = text;
    if (!edit(updated))
        return false;
    if (exists && updated == text)
        return true;
    return replaceFile(target, updated, exists ? &st : nullptr);
}

bool safeName(std::string_view s, bool isSection) {
    if (trim(s).empty())
        return false;
    for (char c : s)
        if (c == '\n' || c == '\r' || c == '\0' || (isSection ? c == ']' : c == '='))
            return false;
    return true;
}

}  // namespace

std::string findFileNoCase(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0)
        return path;
    std::string base = baseOf(path);
    if (base.empty())
        return path;
    std::string dir = dirOf(path);
    DIR* d = opendir(dir.c_str());
    if (!d)
        return path;
    std::string best;
    while (dirent* e = readdir(d)) {
        std::string_view name(e->d_name);
        if (equalNoCase(name, base) && (best.empty() || name < best))
            best = name;
    }
    closedir(d);
    if (best.empty())
        return path;
    return (path.find('/') == std::string::npos) ? best : dir + "/" + best;
}

std::string readProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view defaultValue) {
    std::optional<std::string> text = slurp(findFileNoCase(path));
    if (!text)
        return std::string(defaultValue);
    std::string_view sv(*text);
    section = trim(section);
    key = trim(key);
    bool inSection = false;
    for (const Line& ln : parse(sv)) {
        if (ln.kind == Kind::Section) {
            inSection = equalNoCase(ln.name, section);
        } else if (inSection && ln.kind == Kind::Key && equalNoCase(ln.name, key)) {
            std::string_view value = sv.substr(ln.valueBegin, ln.valueEnd - ln.valueBegin);
            return std::string(value.substr(0, kMaxProfileValue));
        }
    }
    return std::string(defaultValue);
}

bool writeProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::optional<std::string_view> value) {
    if (!safeName(section, true) || !safeName(key, false))
        return false;
    section = trim(section);
    key = trim(key);
    std::string newValue;
    if (value) {
        // A line break would start a new line of the file; keep what a read would see of it.
        std::string_view v = *value;
        v = v.substr(0, std::min(v.find('\n'), v.find('\r')));
        newValue.assign(v.substr(0, std::min(v.find('\0'), v.size())));
    }
    return modifyFile(path, value.has_value(), [&](std::string& text) {
        std::vector<Line> lines = parse(text);
        std::string_view eol = lineEndOf(text);
        std::optional<std::size_t> firstHeader;  // the first section of that name
        std::size_t lastInFirst = 0;             // its last non-blank line
        std::size_t header = 0;
        bool inSection = false;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const Line& ln = lines[i];
            if (ln.kind == Kind::Section) {
                header = i;
                inSection = equalNoCase(ln.name, section);
                if (inSection && !firstHeader)
                    firstHeader = lastInFirst = i;
                continue;
            }
            if (!inSection)
                continue;
            if (ln.kind == Kind::Key && equalNoCase(ln.name, key)) {
                if (value)
                    text.replace(ln.valueBegin, ln.valueEnd - ln.valueBegin, newValue);
                else
                    text.erase(ln.begin, ln.next - ln.begin);
                return true;
            }
            if (!ln.blank && header == *firstHeader)
                lastInFirst = i;
        }
        if (!value)
            return true;
        std::string keyLine = std::string(key) + "=" + newValue;
        if (firstHeader) {
            const Line& last = lines[lastInFirst];
            if (last.next == last.end)  // the file's last line, without a line end
                text.insert(last.next, std::string(eol) + keyLine);
            else
                text.insert(last.next, keyLine + std::string(eol));
            return true;
        }
        if (!text.empty() && text.back() != '\n')
            text += eol;
        text += "[" + std::string(section) + "]" + std::string(eol) + keyLine + std::string(eol);
        return true;
    });
}

bool removeProfileSection(const std::string& path, std::string_view section) {
    if (!safeName(section, true))
        return false;
    section = trim(section);
    return modifyFile(path, false, [&](std::string& text) {
        std::vector<Line> lines = parse(text);
        std::string out;
        bool inSection = false;
        for (const Line& ln : lines) {
            if (ln.kind == Kind::Section)
                inSection = equalNoCase(ln.name, section);
            if (!inSection)
                out.append(text, ln.begin, ln.next - ln.begin);
        }
        text = std::move(out);
        return true;
    });
}

}  // namespace platform
