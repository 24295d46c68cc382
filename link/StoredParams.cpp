#include "link/StoredParams.h"

#include <exception>

#include "platform/Instance.h"
#include "platform/Registry.h"

std::string TStoredParams::InstrumentRegistryKey() {
    return "\\Software\\TressivanLabs\\Zentrova\\Instrument" + Instance();
}

std::string TStoredParams::ReadRegistryString(const std::string& key, const std::string& name) {
    try {
        Registry reg(RegRoot::CurrentUser);
        if (!reg.openKey(key, false)) return {};
        return reg.readString(name);
    } catch (const std::exception&) {
        return {};
    }
}

int32_t TStoredParams::ReadRegistryInteger(const std::string& key, const std::string& name) {
    Registry reg(RegRoot::CurrentUser);
    if (!reg.openKey(key, false)) throw ERegistryException("Failed to get data for '" + name + "'");
    return reg.readInteger(name);
}
