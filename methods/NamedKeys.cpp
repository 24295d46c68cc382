#include "methods/NamedKeys.h"

#include <algorithm>

#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/i18n.h"

namespace {

// The box says why when the store refuses the name itself.
void info(const char* text, const std::string& name = {}) {
    const std::string why = Registry::keyNameProblem(name);
    messageBox(_(text) + (why.empty() ? QString() : "\n" + QString::fromStdString(why)), _("Info"),
               MsgButtons::OK);
}

}  // namespace

NamedKeys::NamedKeys(const char* folder) {
    folderKey_ = Instance().empty()
                     ? std::string("\\Software\\TressivanLabs\\Zentrova\\") + folder
                     : "\\Software\\TressivanLabs\\Zentrova\\Instrument" + Instance() + "\\" + folder;
}

bool NamedKeys::isValidName(const std::string& name) {
    return !name.empty() && Registry::keyNameProblem(name).empty();
}

bool NamedKeys::names(std::vector<std::string>& out) {
    if (!reg_.openKey(folderKey_, false)) return false;
    out = reg_.getKeyNames();
    return true;
}

bool NamedKeys::add(const std::string& name, const char* failText) {
    try {
        if (!reg_.openKey(folderKey_, true)) return false;
    } catch (const ERegistryException&) {
        return false;
    }
    bool ok = false;
    if (isValidName(name)) {
        try {
            ok = reg_.openKey(keyOf(name), true);
        } catch (const ERegistryException&) {
            ok = false;
        }
    }
    if (!ok) info(failText, name);
    return ok;
}

bool NamedKeys::remove(const std::string& name, const char* failText) {
    if (!reg_.openKey(folderKey_, false)) return false;
    bool ok = false;
    if (isValidName(name)) {
        try {
            ok = reg_.deleteKey(keyOf(name));
        } catch (const ERegistryException&) {
            ok = false;
        }
    }
    if (!ok) info(failText);
    return ok;
}

bool NamedKeys::replace(const std::string& name, const std::function<void(const std::string& key)>& write) {
    if (!isValidName(name)) return false;
    const std::string key = keyOf(name);
    // The old version goes only together with the new one's arrival.
    reg_.beginTransaction();
    try {
        reg_.deleteKey(key);
        if (!reg_.openKey(key, true)) {
            reg_.rollback();
            return false;
        }
        write(key);
        reg_.commit();
    } catch (...) {
        if (reg_.inTransaction()) reg_.rollback();
        throw;
    }
    return true;
}

bool startsOrEndsWithBlank(const QString& name) {
    return !name.isEmpty() && (name.front().isSpace() || name.back().isSpace());
}

std::vector<std::string> sortedByNumber(std::vector<std::string> names) {
    auto numberOfName = [](const std::string& s) -> long long {
        if (s.empty() || s.size() > 18) return -1;
        long long v = 0;
        for (char c : s) {
            if (c < '0' || c > '9') return -1;
            v = v * 10 + (c - '0');
        }
        return v;
    };
    std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        const long long na = numberOfName(a), nb = numberOfName(b);
        if (na < 0 || nb < 0) return na >= 0 && nb < 0;  // numbers first
        return na < nb;
    });
    return names;
}
