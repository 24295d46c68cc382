// regtool: inspect and seed the program's settings store from the command line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/IniFile.h"
#include "platform/Registry.h"
#include "platform/SafeRead.h"

namespace {
const char* const kUsage =
    "Usage: regtool [--store FILE] COMMAND [ARGUMENTS]\n"
    "\n"
    "Inspects and edits the settings store ($ZENTROVA_REGISTRY, else\n"
    "$XDG_CONFIG_HOME/TressivanLabs/registry.db; --store FILE overrides both).\n"
    "\n"
    "Commands:\n"
    "  path                        print the store's file name\n"
    "  check                       check the store (a missing store is created)\n"
    "  list KEY                    subkeys (ending in \"\\\") and values of KEY\n"
    "  read KEY NAME               print one value\n"
    "  write KEY NAME sz TEXT      write a string value (the key is created)\n"
    "  write KEY NAME dword NUMBER write a 32-bit number (decimal or 0x hex)\n"
    "  write KEY NAME hex BYTES    write binary data (\"01,ff,20\")\n"
    "  delete-value KEY NAME       delete one value\n"
    "  delete-key KEY              delete a key with everything below it\n"
    "  export KEY [FILE]           write KEY and its subtree as text (\"-\": standard output);\n"
    "                              FILE is replaced only when the new one is written whole\n"
    "  import [FILE]               read such text (\"-\": standard input) in one transaction\n"
    "  restore BACKUP              make the store hold exactly what the store file BACKUP holds,\n"
    "                              in one transaction; safe while the program runs\n"
    "\n"
    "KEY is HKCU\\path or HKLM\\path (HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE; without a root,\n"
    "HKCU); \"\\\" or \"/\" separate its parts. Key and value names ignore letter case.\n"
    "\n"
    "Text format of export and import, one item per line:\n"
    "  # comment (also ;)\n"
    "  [HKCU\\Software\\TressivanLabs\\Zentrova]   the key of the lines below (created)\n"
    "  [-HKCU\\Software\\Old]                      delete the key and its subtree\n"
    "  \"Name\"=sz:text                            string: the rest of the line\n"
    "  \"Name\"=dword:5                            32-bit number (decimal or 0x hex)\n"
    "  \"Name\"=hex:01,ff                          binary data\n"
    "  \"Name\"=-                                  delete the value\n"
    "Escapes in names and strings: \\\\ \\\" \\n \\r \\t \\xHH. Names cannot hold a NUL, key names\n"
    "no line break.\n"
    "\n"
    "An export opens and ends with a comment line of its own; import refuses a file that opens\n"
    "so but lacks the last line (cut off).\n"
    "\n"
    "A damaged store still exports every key and value that can be read; what cannot be\n"
    "read is named, and such an incomplete export goes to FILE.incomplete if FILE exists.\n"
    "\n"
    "Exit status: 0 done, 1 not found or the store failed, 2 bad command or input.\n";

// An export opens with this line and ends with the closing line: a file that opens so but lacks
// the closing line was cut off, and its last line may hold a shortened value. Files without
// the opening line (older exports, files written by hand) carry no such promise.
const char* const kOpeningLine =
    "# zentrova settings export. Its last line is \"# end of export\": without it the file is incomplete.";
const char* const kClosingLine = "# end of export";

struct Failure {
    int code;
    std::string message;
};

[[noreturn]] void usageError(const std::string& msg) {
    throw Failure{2, msg + "\n(regtool --help shows the usage)"};
}
[[noreturn]] void notFound(const std::string& msg) {
    throw Failure{1, msg};
}

struct KeyPath {
    RegRoot root = RegRoot::CurrentUser;
    std::string path;  // "\"-separated, no leading "\" ("" = the root)
};

std::string rootName(RegRoot r) {
    return r == RegRoot::CurrentUser ? "HKCU" : "HKLM";
}

std::string displayKey(const KeyPath& k) {
    return rootName(k.root) + (k.path.empty() ? "" : "\\" + k.path);
}

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

KeyPath parseKey(const std::string& text, bool slashes) {
    std::vector<std::string> parts;
    size_t b = 0;
    while (b <= text.size()) {
        size_t e = text.find_first_of(slashes ? "\\/" : "\\", b);
        if (e == std::string::npos) e = text.size();
        if (e > b) parts.push_back(text.substr(b, e - b));
        b = e + 1;
    }
    KeyPath k;
    size_t first = 0;
    if (!parts.empty()) {
        const std::string r = upper(parts[0]);
        if (r == "HKCU" || r == "HKEY_CURRENT_USER") {
            first = 1;
        } else if (r == "HKLM" || r == "HKEY_LOCAL_MACHINE") {
            k.root = RegRoot::LocalMachine;
            first = 1;
        }
    }
    for (size_t i = first; i < parts.size(); ++i) k.path += (k.path.empty() ? "" : "\\") + parts[i];
    return k;
}

std::string escape(const std::string& s, bool quoteMark) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '"':
                out += quoteMark ? "\\\"" : "\"";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\x%02x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Undoes escape(); false (with the reason) on a bad escape.
bool unescape(const std::string& s, std::string& out, std::string& why) {
    out.clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i >= s.size()) {
            why = "a \"\\\" ends the text (write \\\\ for a backslash)";
            return false;
        }
        switch (s[i]) {
            case '\\':
                out += '\\';
                break;
            case '"':
                out += '"';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'x': {
                const int h = i + 1 < s.size() ? hexDigit(s[i + 1]) : -1;
                const int l = i + 2 < s.size() ? hexDigit(s[i + 2]) : -1;
                if (h < 0 || l < 0) {
                    why = "\\x needs two hex digits";
                    return false;
                }
                out += static_cast<char>(h * 16 + l);
                i += 2;
                break;
            }
            default:
                why = std::string("unknown escape \"\\") + s[i] + "\" (write \\\\ for a backslash)";
                return false;
        }
    }
    return true;
}

bool parseDword(const std::string& text, int32_t& out) {
    if (text.empty()) return false;
    size_t i = 0;
    bool neg = false;
    if (text[0] == '-' || text[0] == '+') {
        neg = text[0] == '-';
        i = 1;
    }
    int base = 10;
    if (text.size() > i + 1 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return false;
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
        const int d = hexDigit(text[i]);
        if (d < 0 || d >= base) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    if (neg) {
        if (v > 0x80000000ull) return false;
        out = static_cast<int32_t>(-static_cast<int64_t>(v));
    } else {
        out = static_cast<int32_t>(static_cast<uint32_t>(v));
    }
    return true;
}

bool parseHex(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i >= text.size()) break;
        const int h = hexDigit(text[i]);
        const int l = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        if (h < 0 || l < 0) return false;
        out.push_back(static_cast<uint8_t>(h * 16 + l));
        i += 2;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i < text.size()) {
            if (text[i] != ',') return false;
            ++i;
            if (i >= text.size()) return false;
        }
    }
    return true;
}

std::string hexText(const std::vector<uint8_t>& b) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", b[i]);
        out += (i ? "," : "") + std::string(buf);
    }
    return out;
}

std::string valueLine(Registry& reg, const std::string& name) {
    const std::string q = "\"" + escape(name, true) + "\"=";
    switch (reg.getDataType(name)) {
        case RegDataType::String:
            return q + "sz:" + escape(reg.readString(name), false);
        case RegDataType::Dword:
            return q + "dword:" + std::to_string(reg.readInteger(name));
        case RegDataType::Binary:
            return q + "hex:" + hexText(reg.readBinary(name));
        default:
            // Never a delete line: importing the export must not remove anything.
            return "# " + q + " skipped: a value of unknown type";
    }
}

void openExisting(Registry& reg, const KeyPath& k) {
    reg.setRootKey(k.root);
    if (!reg.openKey("\\" + k.path, false)) notFound("regtool: no key " + displayKey(k));
}

// A name as it can be shown on one line: control characters escaped, backslashes kept.
std::string printable(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += c;
        else
            out += escape(std::string(1, c), false);
    }
    return out;
}

// Writes KEY and its subtree. What cannot be read (a damaged store) is skipped, named in a
// comment line and in unread, and the rest still goes out.
void exportKey(Registry& reg, const KeyPath& k, std::ostream& out, std::vector<std::string>& unread) {
    const std::string shown = displayKey(k);
    auto skip = [&](const std::string& what, const std::string& why) {
        unread.push_back(printable(what) + ": " + why);
        out << "# " << printable(what) << " could not be read\n";
    };
    if (shown.find_first_of("\n\r") != std::string::npos) {
        // Written before such names were refused: its line could not be read back.
        unread.push_back(printable(shown) + ": a key name with a line break cannot be exported");
        return;
    }
    if (printable(shown) != shown) {
        unread.push_back(printable(shown) + ": a key name with a control character cannot be exported");
        return;
    }
    try {
        openExisting(reg, k);
    } catch (const ERegistryException& e) {
        skip(shown, e.what());
        return;
    }
    out << "[" << shown << "]\n";
    std::string problem;
    for (const auto& v : reg.getValueNames(problem)) {
        try {
            const std::string line = valueLine(reg, v);
            out << line << "\n";
        } catch (const ERegistryException& e) {
            skip(shown + " \"" + v + "\"", e.what());
        }
    }
    if (!problem.empty()) skip("values of " + shown, problem);
    const auto subkeys = reg.getKeyNames(problem);
    if (!problem.empty()) skip("subkeys of " + shown, problem);
    out << "\n";
    for (const auto& s : subkeys)
        exportKey(reg, KeyPath{k.root, k.path.empty() ? s : k.path + "\\" + s}, out, unread);
}

// Why the store refuses a key path, "" when it takes it.
std::string keyPathProblem(const std::string& path) {
    size_t b = 0;
    while (b <= path.size()) {
        size_t e = path.find('\\', b);
        if (e == std::string::npos) e = path.size();
        if (std::string why = Registry::keyNameProblem(path.substr(b, e - b)); !why.empty()) return why;
        b = e + 1;
    }
    return "";
}

struct ImportItem {
    enum Kind { OpenKey, DeleteKey, Value, DeleteValue } kind;
    KeyPath key;
    std::string name;
    RegDataType type = RegDataType::None;
    std::string text;
    int32_t number = 0;
    std::vector<uint8_t> bytes;
};

// A file of another encoding would give one complaint per line: one word instead.
void requireEightBit(const std::string& head, const std::string& source) {
    const bool bom16 = head.rfind("\xFF\xFE", 0) == 0 || head.rfind("\xFE\xFF", 0) == 0;
    // Without its mark, UTF-16 text of Latin letters is every other byte NUL.
    const size_t nuls = size_t(std::count(head.begin(), head.end(), '\0'));
    if (bom16 || (head.size() >= 4 && nuls >= head.size() / 4))
        throw Failure{2, source +
                             ": the file is encoded as UTF-16, which is not supported: save it as UTF-8 and "
                             "import it again\nregtool: nothing was imported"};
}

std::vector<ImportItem> parseImport(std::istream& in, const std::string& source) {
    std::vector<ImportItem> items;
    {
        char head[256];
        in.read(head, sizeof head);
        requireEightBit(std::string(head, size_t(in.gcount())), source);
        in.clear();
        in.seekg(0);
    }
    std::string line;
    int lineNo = 0;
    bool haveKey = false;
    KeyPath cur;
    std::string errors;
    bool inExport = false;  // after an opening line, before its closing line
    auto bad = [&](const std::string& why) {
        errors += source + ":" + std::to_string(lineNo) + ": " + why + "\n";
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos) continue;
        if (line[b] == '#' || line[b] == ';') {
            const std::string comment = line.substr(b, line.find_last_not_of(" \t") + 1 - b);
            if (comment == kOpeningLine) inExport = true;
            if (comment == kClosingLine) inExport = false;
            continue;
        }
        const std::string t = line.substr(b);
        if (t[0] == '[') {
            const size_t e = t.find_last_not_of(" \t");
            if (t[e] != ']') {
                bad("a key line must end in \"]\"");
                continue;
            }
            std::string inner = t.substr(1, e - 1);
            const bool del = !inner.empty() && inner[0] == '-';
            if (del) inner.erase(0, 1);
            ImportItem it{
                del ? ImportItem::DeleteKey : ImportItem::OpenKey, parseKey(inner, false), {}, {}, {}, 0, {}};
            if (del && it.key.path.empty()) {
                bad("a root key cannot be deleted");
                continue;
            }
            if (std::string why = keyPathProblem(it.key.path); !why.empty()) {
                bad(why);
                continue;
            }
            haveKey = !del;
            cur = it.key;
            items.push_back(std::move(it));
            continue;
        }
        if (t[0] != '"') {
            bad("expected [KEY] or \"Name\"=TYPE:DATA");
            continue;
        }
        size_t q = 1;
        while (q < t.size() && t[q] != '"') {
            if (t[q] == '\\') ++q;
            ++q;
        }
        if (q >= t.size()) {
            bad("the value name has no closing quote");
            continue;
        }
        ImportItem it{ImportItem::Value, cur, {}, {}, {}, 0, {}};
        std::string why;
        if (!unescape(t.substr(1, q - 1), it.name, why)) {
            bad("value name: " + why);
            continue;
        }
        if (std::string why = Registry::valueNameProblem(it.name); !why.empty()) {
            bad(why);
            continue;
        }
        if (q + 1 >= t.size() || t[q + 1] != '=') {
            bad("expected \"=\" after the value name");
            continue;
        }
        if (!haveKey) {
            bad("a value line needs a [KEY] line before it");
            continue;
        }
        const std::string rest = t.substr(q + 2);
        if (rest == "-") {
            it.kind = ImportItem::DeleteValue;
        } else if (rest.rfind("sz:", 0) == 0) {
            it.type = RegDataType::String;
            if (!unescape(rest.substr(3), it.text, why)) {
                bad("string: " + why);
                continue;
            }
            if (it.text.find('\0') != std::string::npos) {
                bad("a string cannot hold a NUL character (use hex: for binary data)");
                continue;
            }
        } else if (rest.rfind("dword:", 0) == 0) {
            it.type = RegDataType::Dword;
            std::string num = rest.substr(6);
            while (!num.empty() && (num.back() == ' ' || num.back() == '\t')) num.pop_back();
            if (!parseDword(num, it.number)) {
                bad("\"" + num + "\" is not a 32-bit number");
                continue;
            }
        } else if (rest.rfind("hex:", 0) == 0) {
            it.type = RegDataType::Binary;
            if (!parseHex(rest.substr(4), it.bytes)) {
                bad("binary data must be hex byte pairs separated by commas");
                continue;
            }
        } else {
            bad("unknown value type (use sz:, dword:, hex: or -)");
            continue;
        }
        items.push_back(std::move(it));
    }
    if (in.bad()) throw Failure{1, "regtool: cannot read " + source};
    if (inExport)
        errors += source + ": the file is cut off: it lacks its last line \"" + kClosingLine +
                  "\", so its last value may be shortened\n";
    if (!errors.empty()) throw Failure{2, errors + "regtool: nothing was imported"};
    return items;
}

void applyImport(const std::vector<ImportItem>& items) {
    Registry reg;
    reg.beginTransaction();
    for (const auto& it : items) {
        reg.setRootKey(it.key.root);
        switch (it.kind) {
            case ImportItem::OpenKey:
                reg.openKey("\\" + it.key.path, true);
                break;
            case ImportItem::DeleteKey:
                reg.deleteKey("\\" + it.key.path);
                break;
            case ImportItem::DeleteValue:
                reg.openKey("\\" + it.key.path, true);
                reg.deleteValue(it.name);
                break;
            case ImportItem::Value:
                reg.openKey("\\" + it.key.path, true);
                if (it.type == RegDataType::String)
                    reg.writeString(it.name, it.text);
                else if (it.type == RegDataType::Dword)
                    reg.writeInteger(it.name, it.number);
                else
                    reg.writeBinary(it.name, it.bytes);
                break;
        }
    }
    reg.commit();
}

// Names the store refuses are refused here, before anything is written.
void requireNames(const KeyPath& k, const std::string& value) {
    if (std::string why = keyPathProblem(k.path); !why.empty()) usageError("regtool: " + why);
    if (std::string why = Registry::valueNameProblem(value); !why.empty()) usageError("regtool: " + why);
}

void need(const std::vector<std::string>& args, size_t min, size_t max) {
    if (args.size() - 1 < min) usageError("regtool: " + args[0] + ": too few arguments");
    if (args.size() - 1 > max) usageError("regtool: " + args[0] + ": too many arguments");
}

int run(std::vector<std::string> args) {
    if (!args.empty() && (args[0] == "--store" || args[0].rfind("--store=", 0) == 0)) {
        std::string file;
        if (args[0] == "--store") {
            if (args.size() < 2) usageError("regtool: --store needs a file name");
            file = args[1];
            args.erase(args.begin(), args.begin() + 2);
        } else {
            file = args[0].substr(8);
            args.erase(args.begin());
        }
        if (file.empty()) usageError("regtool: --store needs a file name");
        setenv("ZENTROVA_REGISTRY", file.c_str(), 1);
    }
    if (args.empty()) usageError("regtool: no command given");
    const std::string& cmd = args[0];
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        std::cout << kUsage;
        return 0;
    }
    if (cmd == "path") {
        need(args, 0, 0);
        std::cout << Registry::storePath() << "\n";
        return 0;
    }
    if (cmd == "check") {
        need(args, 0, 0);
        const std::string msg = Registry::checkStore();
        if (!msg.empty()) notFound(msg);
        std::cout << Registry::storePath() << ": ok\n";
        return 0;
    }
    if (cmd == "restore") {
        need(args, 1, 1);
        // Through the store's own write transaction: a raw copy over the file under a running
        // copy cannot be made safe, this can.
        const std::string msg = Registry::restoreFrom(args[1]);
        if (!msg.empty()) notFound("regtool: " + msg);
        return 0;
    }
    Registry reg;
    if (cmd == "list") {
        need(args, 1, 1);
        const KeyPath k = parseKey(args[1], true);
        openExisting(reg, k);
        for (const auto& s : reg.getKeyNames()) std::cout << printable(s) << "\\\n";
        for (const auto& v : reg.getValueNames()) std::cout << valueLine(reg, v) << "\n";
        return 0;
    }
    if (cmd == "read") {
        need(args, 2, 2);
        const KeyPath k = parseKey(args[1], true);
        openExisting(reg, k);
        const std::string& name = args[2];
        switch (reg.getDataType(name)) {
            case RegDataType::String:
                std::cout << printable(reg.readString(name)) << "\n";
                break;
            case RegDataType::Dword:
                std::cout << reg.readInteger(name) << "\n";
                break;
            case RegDataType::Binary:
                std::cout << hexText(reg.readBinary(name)) << "\n";
                break;
            default:
                notFound("regtool: no value \"" + name + "\" in " + displayKey(k));
        }
        return 0;
    }
    if (cmd == "write") {
        need(args, 4, 4);
        const KeyPath k = parseKey(args[1], true);
        const std::string type = args[3];
        const std::string& value = args[4];
        int32_t number = 0;
        std::vector<uint8_t> bytes;
        if (type == "dword" && !parseDword(value, number))
            usageError("regtool: \"" + value + "\" is not a 32-bit number");
        if (type == "hex" && !parseHex(value, bytes))
            usageError("regtool: binary data must be hex byte pairs separated by commas");
        if (type != "sz" && type != "dword" && type != "hex")
            usageError("regtool: unknown value type \"" + type + "\" (use sz, dword or hex)");
        requireNames(k, args[2]);
        reg.setRootKey(k.root);
        reg.openKey("\\" + k.path, true);
        if (type == "sz")
            reg.writeString(args[2], value);
        else if (type == "dword")
            reg.writeInteger(args[2], number);
        else
            reg.writeBinary(args[2], bytes);
        return 0;
    }
    if (cmd == "delete-value") {
        need(args, 2, 2);
        const KeyPath k = parseKey(args[1], true);
        openExisting(reg, k);
        if (!reg.deleteValue(args[2])) notFound("regtool: no value \"" + args[2] + "\" in " + displayKey(k));
        return 0;
    }
    if (cmd == "delete-key") {
        need(args, 1, 1);
        const KeyPath k = parseKey(args[1], true);
        if (k.path.empty()) usageError("regtool: a root key cannot be deleted");
        reg.setRootKey(k.root);
        if (!reg.deleteKey("\\" + k.path)) notFound("regtool: no key " + displayKey(k));
        return 0;
    }
    if (cmd == "export") {
        need(args, 1, 2);
        const KeyPath k = parseKey(args[1], true);
        const std::string file = args.size() > 2 ? args[2] : "-";
        std::ostringstream text;
        text << kOpeningLine << "\n";
        try {
            openExisting(reg, k);
        } catch (const ERegistryException&) {
            // Damage: the export below names it and rescues what it can.
        }
        std::vector<std::string> unread;
        exportKey(reg, k, text, unread);
        text << kClosingLine << "\n";
        std::string target = file;
        if (file != "-" && !unread.empty() && ::access(file.c_str(), F_OK) == 0)
            target = file + ".incomplete";  // an incomplete export never replaces an old one
        if (target == "-") {
            std::cout << text.str() << std::flush;
        } else if (const std::string why = replaceFileWhole(target, text.str()); !why.empty()) {
            notFound("regtool: cannot write " + target + ": " + why + "; " +
                     (target == file ? "the old " + file + ", if any, is left as it was"
                                     : "the old " + file + " is left as it was"));
        }
        if (unread.empty()) return 0;
        std::string msg;
        for (const auto& u : unread) msg += "regtool: could not read " + u + "\n";
        msg += "regtool: the export is incomplete: " + std::to_string(unread.size()) +
               " part(s) of the store could not be read";
        if (target != file)
            msg += "; the old " + file + " is left as it was, what could be read is in " + target;
        notFound(msg);
    }
    if (cmd == "import") {
        need(args, 0, 1);
        const std::string file = args.size() > 1 ? args[1] : "-";
        std::vector<ImportItem> items;
        if (file == "-") {
            // Read whole first: the encoding is looked at before any line is taken.
            std::ostringstream whole;
            whole << std::cin.rdbuf();
            if (std::cin.bad()) throw Failure{1, "regtool: cannot read <stdin>"};
            std::istringstream in(whole.str());
            items = parseImport(in, "<stdin>");
        } else {
            // Never blocks on a named pipe or a device, nor reads without end.
            const SafeRead::Result r = SafeRead::readFile(file, IniFile::DefaultMaxBytes);
            if (r.err) notFound("regtool: cannot read " + file + ": " + std::strerror(r.err));
            if (!r.ok()) throw Failure{2, "regtool: " + r.error};
            std::istringstream in(r.bytes);
            items = parseImport(in, file);
        }
        applyImport(items);
        return 0;
    }
    usageError("regtool: unknown command \"" + cmd + "\"");
}

int runReporting(std::vector<std::string> args) {
    try {
        return run(std::move(args));
    } catch (const Failure& f) {
        std::cerr << f.message << "\n";
        return f.code;
    } catch (const ERegistryException& e) {
        std::cerr << "regtool: " << e.what() << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "regtool: " << e.what() << "\n";
        return 1;
    }
}
}  // namespace

int main(int argc, char** argv) {
    // A file grown past the size limit fails its write with a message instead of ending the tool.
    std::signal(SIGXFSZ, SIG_IGN);
    const int rc = runReporting(std::vector<std::string>(argv + 1, argv + argc));
    Registry::closeStore();
    if (const std::string notice = Registry::notice(); !notice.empty())
        std::cerr << "regtool: " << notice << "\n";
    return rc;
}
