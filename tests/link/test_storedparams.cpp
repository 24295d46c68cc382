// The instrument's settings as the link and the modules read them: the key of the running
// instance, and the readers' answers for values that are missing or stored with another type.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/StoredParams.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "support/TempEnv.h"

namespace {

// Every setting read as text reads "" when it is stored with another type, and nothing is
// raised; the same name stored as text reads as that text. Reading creates no key.
TEST(StoredParams, ATextSettingOfAnotherTypeReadsEmptyWithoutAnException) {
    TempEnv env;
    setInstance("");
    const std::string key = TStoredParams::InstrumentRegistryKey();
    EXPECT_EQ(TStoredParams::ReadRegistryString(key, "COM"), "");
    {
        Registry probe;
        EXPECT_FALSE(probe.keyExists(key)) << "reading created the key";
    }
    Registry reg;
    ASSERT_TRUE(reg.openKey(key, true));
    const struct {
        const char* what;
        void (*store)(Registry&, const std::string&);
    } types[] = {
        {"integer", [](Registry& r, const std::string& n) { r.writeInteger(n, 3); }},
        {"binary",
         [](Registry& r, const std::string& n) {
             r.writeBinary(n, {'C', 'O', 'M', '3'});
         }},
        {"empty binary", [](Registry& r, const std::string& n) { r.writeBinary(n, {}); }},
    };
    for (const char* name : {"COM", "IP", "USB", "HPLCType", "ChemInstance", "InstrumentLabel"}) {
        for (const auto& t : types) {
            SCOPED_TRACE(std::string(name) + " as " + t.what);
            t.store(reg, name);
            std::string got = "not read";
            EXPECT_NO_THROW(got = TStoredParams::ReadRegistryString(key, name));
            EXPECT_EQ(got, "");
        }
        reg.writeString(name, "COM3");
        EXPECT_EQ(TStoredParams::ReadRegistryString(key, name), "COM3") << name;
    }
    // The integer reader leaves the choice to its caller: a text raises.
    EXPECT_THROW(TStoredParams::ReadRegistryInteger(key, "COM"), ERegistryException);
    reg.writeInteger("ConnectMethod", 2);
    EXPECT_EQ(TStoredParams::ReadRegistryInteger(key, "ConnectMethod"), 2);
    EXPECT_THROW(TStoredParams::ReadRegistryInteger(key, "Missing"), ERegistryException);
}

}  // namespace
