#include "platform/IniFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unordered_map>
#include <unordered_set>

#include "platform/CaseFold.h"
#include "platform/SafeRead.h"
#include "platform/i18n.h"

namespace {
const char* const kBom = "\xEF\xBB\xBF";

struct Entry {
    std::string key;  // empty for a line kept as it is (comment, blank, line without "=")
    std::string fold;
    std::string value;
    std::string raw;
};

struct Section {
    std::string name;
    std::string fold;
    std::vector<Entry> entries;
    // Folded key -> its first entry, so that big files do not take quadratic time to read.
    std::unordered_map<std::string, size_t> keys;

    void indexKeys() {
        keys.clear();
        for (size_t i = 0; i < entries.size(); ++i)
            if (!entries[i].key.empty()) keys.emplace(entries[i].fold, i);
    }
};

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e &&
           (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n' || s[b] == '\f' || s[b] == '\v'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n' ||
                     s[e - 1] == '\f' || s[e - 1] == '\v'))
        --e;
    return s.substr(b, e - b);
}

// Temp files that earlier writes of this file left behind when they were killed before the
// rename: a writer holds a lock on its temp file from its creation, so one that nobody locks
// and that has not changed for a minute is ours and dead.
void removeStaleTemps(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp-";
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (const dirent* ent = ::readdir(d)) {
        const std::string name = ent->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string full = (slash == std::string::npos ? std::string() : dir) + name;
        const int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            st.st_mtime < std::time(nullptr) - 60 && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(full.c_str());
        ::close(fd);
    }
    ::closedir(d);
}

// A value is one line of the file: line breaks inside it become blanks.
std::string oneLine(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}
}  // namespace

struct IniFile::Data {
    std::vector<std::string> preamble;  // lines before the first section
    std::vector<std::string> trailer;   // lines after the last section (only as written)
    bool bom = false;                   // the file began with a byte-order mark: it is written back
    std::vector<Section> sections;
    std::unordered_map<std::string, size_t> sectionIndex;  // folded name -> position
    bool readFailed = false;

    Section* find(const std::string& name) {
        const auto it = sectionIndex.find(caseFold(trim(name)));
        return it == sectionIndex.end() ? nullptr : &sections[it->second];
    }
    Section& add(const std::string& name) {
        sections.push_back(Section{name, caseFold(name), {}, {}});
        sectionIndex.emplace(sections.back().fold, sections.size() - 1);
        return sections.back();
    }
    void indexSections() {
        sectionIndex.clear();
        for (size_t i = 0; i < sections.size(); ++i) sectionIndex.emplace(sections[i].fold, i);
    }
    const Section* find(const std::string& name) const { return const_cast<Data*>(this)->find(name); }

    static Entry* findKey(Section& s, const std::string& key) {
        const auto it = s.keys.find(caseFold(trim(key)));
        return it == s.keys.end() ? nullptr : &s.entries[it->second];
    }

    void parse(const std::string& text) {
        size_t pos = 0;
        // One mark is the encoding's; anything after it, a second mark too, is text.
        if (text.compare(0, 3, kBom) == 0) {
            pos = 3;
            bom = true;
        }
        Section* cur = nullptr;
        while (pos < text.size()) {
            size_t eol = text.find('\n', pos);
            if (eol == std::string::npos) eol = text.size();
            std::string line = text.substr(pos, eol - pos);
            pos = eol + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::string t = trim(line);
            if (!t.empty() && t[0] == '[') {
                const auto close = t.find(']');
                const std::string name =
                    trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
                cur = find(name);
                if (!cur) cur = &add(name);  // a repeated section continues the first one
                continue;
            }
            const auto eq = t.find('=');
            Entry e;
            if (!t.empty() && t[0] != ';' && t[0] != '#' && eq != std::string::npos && eq > 0) {
                e.key = trim(t.substr(0, eq));
                e.fold = caseFold(e.key);
                e.value = trim(t.substr(eq + 1));
            }
            e.raw = line;
            if (e.key.empty() && cur == nullptr)
                preamble.push_back(line);
            else if (cur) {
                if (!e.key.empty()) cur->keys.emplace(e.fold, cur->entries.size());
                cur->entries.push_back(std::move(e));
            } else {
                // A key before any section belongs to no section and cannot be read; keep it.
                preamble.push_back(line);
            }
        }
    }

    std::string serialize() const {
        std::string out = bom ? kBom : "";
        for (const auto& l : preamble) out += l + "\r\n";
        for (const auto& s : sections) {
            out += "[" + s.name + "]\r\n";
            for (const auto& e : s.entries) {
                if (e.key.empty())
                    out += e.raw + "\r\n";
                else
                    out += e.key + "=" + e.value + "\r\n";
            }
        }
        for (const auto& l : trailer) out += l + "\r\n";
        return out;
    }
};

IniFile::IniFile() : d_(std::make_unique<Data>()) {}

IniFile::IniFile(const std::string& path, size_t maxBytes) : path_(path), d_(std::make_unique<Data>()) {
    const SafeRead::Result r = SafeRead::readFile(path, maxBytes);
    if (r.ok()) {
        d_->parse(r.bytes);
    } else if (r.status != SafeRead::Status::Missing) {
        error_ = r.error;
        d_->readFailed = true;
    }
}

IniFile IniFile::fromText(const std::string& path, const std::string& text) {
    IniFile ini;
    ini.path_ = path;
    ini.d_->parse(text);
    return ini;
}

IniFile::IniFile(IniFile&&) noexcept = default;
IniFile::~IniFile() = default;

std::string IniFile::readString(const std::string& section, const std::string& key,
                                const std::string& def) const {
    const Section* s = d_->find(section);
    if (!s) return def;
    const Entry* e = Data::findKey(*const_cast<Section*>(s), key);
    return e ? e->value : def;
}

int IniFile::readInteger(const std::string& section, const std::string& key, int def) const {
    const Section* s = d_->find(section);
    if (!s) return def;
    const Entry* e = Data::findKey(*const_cast<Section*>(s), key);
    return e ? strToIntDef(e->value, def) : def;
}

bool IniFile::readBool(const std::string& section, const std::string& key, bool def) const {
    return readInteger(section, key, def ? 1 : 0) != 0;
}

void IniFile::writeString(const std::string& section, const std::string& key, const std::string& value) {
    const std::string sname = trim(oneLine(section));
    const std::string kname = trim(oneLine(key));
    Section* s = d_->find(sname);
    if (!s) s = &d_->add(sname);
    const std::string v = trim(oneLine(value));
    if (Entry* e = Data::findKey(*s, kname)) {
        e->value = v;
        return;
    }
    Entry e;
    e.key = kname;
    e.fold = caseFold(kname);
    e.value = v;
    // New keys go after the last key, before trailing blank lines of the section (so no key
    // moves and the index stays right).
    auto at = s->entries.end();
    while (at != s->entries.begin() && std::prev(at)->key.empty() && trim(std::prev(at)->raw).empty()) --at;
    s->keys.emplace(e.fold, static_cast<size_t>(at - s->entries.begin()));
    s->entries.insert(at, std::move(e));
}

void IniFile::writeInteger(const std::string& section, const std::string& key, int value) {
    writeString(section, key, std::to_string(value));
}

void IniFile::writeBool(const std::string& section, const std::string& key, bool value) {
    writeString(section, key, value ? "1" : "0");
}

std::vector<std::string> IniFile::readSections() const {
    std::vector<std::string> out;
    out.reserve(d_->sections.size());
    for (const auto& s : d_->sections) out.push_back(s.name);
    return out;
}

std::vector<std::string> IniFile::readSection(const std::string& section) const {
    std::vector<std::string> out;
    const Section* s = d_->find(section);
    if (!s) return out;
    std::unordered_set<std::string> seen;
    for (const auto& e : s->entries)
        if (!e.key.empty() && seen.insert(e.fold).second) out.push_back(e.key);
    return out;
}

bool IniFile::sectionExists(const std::string& section) const {
    return d_->find(section) != nullptr;
}

bool IniFile::valueExists(const std::string& section, const std::string& key) const {
    const Section* s = d_->find(section);
    return s && Data::findKey(*const_cast<Section*>(s), key) != nullptr;
}

void IniFile::eraseSection(const std::string& section) {
    const std::string f = caseFold(trim(section));
    std::erase_if(d_->sections, [&f](const Section& s) { return s.fold == f; });
    d_->indexSections();
}

void IniFile::deleteKey(const std::string& section, const std::string& key) {
    Section* s = d_->find(section);
    if (!s) return;
    const std::string f = caseFold(trim(key));
    std::erase_if(s->entries, [&f](const Entry& e) { return !e.key.empty() && e.fold == f; });
    s->indexKeys();
}

void IniFile::clear() {
    d_ = std::make_unique<Data>();
    error_.clear();
}

void IniFile::setLeadingLines(std::vector<std::string> lines) {
    for (auto& l : lines) l = oneLine(l);
    d_->preamble = std::move(lines);
}

void IniFile::setTrailingLines(std::vector<std::string> lines) {
    for (auto& l : lines) l = oneLine(l);
    d_->trailer = std::move(lines);
}

std::string replaceFileWhole(const std::string& path, const std::string& data) {
    removeStaleTemps(path);
    std::string tmp = path + ".tmp-XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) return std::strerror(errno);
    ::flock(fd, LOCK_EX);  // held until close: the file is not stale while it is written
    // Keep the mode of the file being replaced; a new file gets the usual one.
    struct stat st {};
    mode_t mode;
    if (::stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(022);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    int err = 0;
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err) {
        ::unlink(tmp.c_str());
        return std::strerror(err);
    }
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); d >= 0) {
        ::fsync(d);  // the rename itself reaches the disk
        ::close(d);
    }
    return "";
}

bool IniFile::updateFile() {
    const std::string failure = fillFirst8(_8("Unable to write to %s"), path_);
    if (d_->readFailed) {
        // What could not be read is not replaced by what little we know of it.
        error_ = failure + ": " + _8("the file could not be read");
        return false;
    }
    if (const std::string why = replaceFileWhole(path_, d_->serialize()); !why.empty()) {
        error_ = failure + ": " + why;
        return false;
    }
    error_.clear();
    return true;
}
