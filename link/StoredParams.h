// The instrument's settings as stored for the running instance: the key path and two
// stateless readers. The configuration dialog writes the values; everyone else reads here.
#pragma once
#include <cstdint>
#include <string>

class TStoredParams {
  public:
    // "\Software\TressivanLabs\Zentrova\Instrument" + the instance string, no separator.
    static std::string InstrumentRegistryKey();
    // The string value, or "" when the key or value is missing, is not a string, or the
    // store fails. Never raises and never creates the key.
    static std::string ReadRegistryString(const std::string& key, const std::string& name);
    // The integer value. A missing key or value, or a value of another type, raises
    // ERegistryException; callers choose their fallback. Never creates the key.
    static int32_t ReadRegistryInteger(const std::string& key, const std::string& name);
};
