// Profile (INI) files: case-insensitive sections and keys, trimmed values, file order
// kept, CRLF on write, LF accepted on read, no limits on the length of a line, a name or a
// value; the file as a whole is read only when it is a regular file within a size limit.
// Changes are kept in memory until updateFile(), which replaces the file atomically.
#pragma once
#include <memory>
#include <string>
#include <vector>

// Replaces path with data as a whole: written to a new file in the same folder, flushed to the
// disk, renamed over the old one (its mode kept), and the rename flushed too. On failure the old
// file stays as it was; the reason is returned, "" on success.
std::string replaceFileWhole(const std::string& path, const std::string& data);

class IniFile {
  public:
    // The largest file read unless the reader says otherwise.
    static constexpr size_t DefaultMaxBytes = 64u * 1024 * 1024;

    // Reads the file when it exists; one that is not a regular file, or is larger than
    // maxBytes, is not read (lastError() says why) and is never replaced by updateFile().
    explicit IniFile(const std::string& path, size_t maxBytes = DefaultMaxBytes);
    // The file as if its bytes were text; nothing is read from path.
    static IniFile fromText(const std::string& path, const std::string& text);
    IniFile(IniFile&&) noexcept;
    ~IniFile();
    const std::string& fileName() const { return path_; }

    std::string readString(const std::string& section, const std::string& key, const std::string& def) const;
    int readInteger(const std::string& section, const std::string& key, int def) const;
    bool readBool(const std::string& section, const std::string& key, bool def) const;
    void writeString(const std::string& section, const std::string& key, const std::string& value);
    void writeInteger(const std::string& section, const std::string& key, int value);
    void writeBool(const std::string& section, const std::string& key, bool value);

    std::vector<std::string> readSections() const;
    std::vector<std::string> readSection(const std::string& section) const;  // key names
    bool sectionExists(const std::string& section) const;
    bool valueExists(const std::string& section, const std::string& key) const;
    void eraseSection(const std::string& section);
    void deleteKey(const std::string& section, const std::string& key);
    // Forgets everything read from the file: the next updateFile() writes only what was
    // written after (a file that could not be read may then be replaced).
    void clear();
    // Lines written as they are before the first section and after the last one (comments);
    // reading keeps the former and gives the latter to the last section, where no key sees them.
    void setLeadingLines(std::vector<std::string> lines);
    void setTrailingLines(std::vector<std::string> lines);

    // Writes the file; false (with the reason in lastError()) when it cannot be written.
    bool updateFile();
    const std::string& lastError() const { return error_; }

  private:
    IniFile();
    struct Data;
    std::string path_;
    std::string error_;
    std::unique_ptr<Data> d_;
};
