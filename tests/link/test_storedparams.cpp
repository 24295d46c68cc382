// The stored instrument settings: key path per instance and the two readers' failure rules.
#include <gtest/gtest.h>

#include <cstdlib>

#include "link/StoredParams.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "support/TempEnv.h"

namespace {

class StoredParamsTest : public ::testing::Test {
  protected:
    void SetUp() override { setInstance(""); }
    void TearDown() override { setInstance(""); }

    static void write(const std::string& key, const std::string& name, const std::string& value) {
        Registry reg;
        ASSERT_TRUE(reg.openKey(key, true));
        reg.writeString(name, value);
    }
    static void write(const std::string& key, const std::string& name, int32_t value) {
        Registry reg;
        ASSERT_TRUE(reg.openKey(key, true));
        reg.writeInteger(name, value);
    }

    TempEnv env_;
};

TEST_F(StoredParamsTest, KeyCarriesTheInstanceWithoutSeparator) {
    EXPECT_EQ(TStoredParams::InstrumentRegistryKey(), "\\Software\\TressivanLabs\\Zentrova\\Instrument");
    setInstance("2");
    EXPECT_EQ(TStoredParams::InstrumentRegistryKey(), "\\Software\\TressivanLabs\\Zentrova\\Instrument2");
}

TEST_F(StoredParamsTest, StringReaderNeverFails) {
    const std::string key = TStoredParams::InstrumentRegistryKey();
    // Missing key: empty, and the key is not created by reading.
    EXPECT_EQ(TStoredParams::ReadRegistryString(key, "IP"), "");
    EXPECT_FALSE(Registry().keyExists(key));

    write(key, "IP", std::string("10.0.0.7"));
    write(key, "ConnectMethod", 2);
    EXPECT_EQ(TStoredParams::ReadRegistryString(key, "IP"), "10.0.0.7");
    EXPECT_EQ(TStoredParams::ReadRegistryString(key, "ip"), "10.0.0.7");  // names ignore case
    EXPECT_EQ(TStoredParams::ReadRegistryString(key, "COM"), "");
    EXPECT_EQ(TStoredParams::ReadRegistryString(key, "ConnectMethod"), "");  // not a string
}

TEST_F(StoredParamsTest, IntegerReaderRaisesOnEveryFailure) {
    setInstance("3");
    const std::string key = TStoredParams::InstrumentRegistryKey();
    EXPECT_THROW(TStoredParams::ReadRegistryInteger(key, "ConnectMethod"), ERegistryException);
    EXPECT_FALSE(Registry().keyExists(key));

    write(key, "RefillSpeed", std::string("55"));
    write(key, "ConnectMethod", 3);
    write(key, "Negative", -5);
    EXPECT_EQ(TStoredParams::ReadRegistryInteger(key, "ConnectMethod"), 3);
    EXPECT_EQ(TStoredParams::ReadRegistryInteger(key, "Negative"), -5);
    EXPECT_THROW(TStoredParams::ReadRegistryInteger(key, "RefillSpeed"), ERegistryException);
    EXPECT_THROW(TStoredParams::ReadRegistryInteger(key, "Missing"), ERegistryException);
    // Another instance's key is apart.
    EXPECT_THROW(TStoredParams::ReadRegistryInteger("\\Software\\TressivanLabs\\Zentrova\\Instrument",
                                                    "ConnectMethod"),
                 ERegistryException);
}

}  // namespace
