// The install step's first-start settings: on a fresh store it leaves the configuration
// dialog's defaults, so the instrument state loads without a box; values that are there
// already, whatever their type, stay as they are.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "link/Instrument.h"
#include "link/StoredParams.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "support/TempEnv.h"
#include "ui/Configuration.h"

namespace {

const std::string Key = "\\Software\\TressivanLabs\\Zentrova\\Instrument";

int installDefaults(const std::string& instance = "") {
    const std::string cmd = std::string("bash '") + ZENTROVA_SOURCE_DIR + "/scripts/install-defaults.sh' '" +
                            ZENTROVA_BINARY_DIR + "/tools/regtool/regtool' " + instance;
    return std::system(cmd.c_str());
}

std::string text(const std::string& key, const std::string& name) {
    Registry reg;
    if (!reg.openKey(key, false) || !reg.valueExists(name)) return "<missing>";
    return reg.getDataType(name) == RegDataType::String ? reg.readString(name)
                                                        : "dword " + std::to_string(reg.readInteger(name));
}

using C = TInstrumentConfiguration;

TEST(FirstStart, AFreshStoreGetsTheDialogDefaultsAndLoadsWithoutABox) {
    TempEnv env;
    setInstance("");
    ASSERT_EQ(installDefaults("3"), 0);
    for (const std::string& key : {Key, Key + "3"}) {
        EXPECT_EQ(text(key, "ConnectMethod"), "dword " + std::to_string(C::DefaultConnectMethod));
        EXPECT_EQ(text(key, "IP"), C::DefaultIP);
        EXPECT_EQ(text(key, "COM"), C::DefaultCom);
        EXPECT_EQ(text(key, "PressureMeasure"), C::DefaultPressureMeasure);
        EXPECT_EQ(text(key, "RefillSpeed"), "dword " + std::to_string(C::DefaultRefillSpeed));
    }
    EXPECT_EQ(text(Key + "1", "ConnectMethod"), "<missing>");

    DialogScript dialogs;
    TInstrumentModule module;
    EXPECT_TRUE(dialogs.shown.empty()) << dialogs.shown.front().text.toStdString();
    EXPECT_EQ(module.ConnectMethod, 1);
    EXPECT_EQ(module.IP, C::DefaultIP);
}

TEST(FirstStart, ValuesThatAreThereStayAsTheyAre) {
    TempEnv env;
    {
        Registry reg;
        ASSERT_TRUE(reg.openKey(Key, true));
        reg.writeInteger("ConnectMethod", 2);
        reg.writeString("COM", "/dev/ttyUSB0");
        reg.writeString("IP", "");
        reg.writeString("RefillSpeed", "fast");  // of another type: still the operator's
    }
    ASSERT_EQ(installDefaults(), 0);
    EXPECT_EQ(text(Key, "ConnectMethod"), "dword 2");
    EXPECT_EQ(text(Key, "COM"), "/dev/ttyUSB0");
    EXPECT_EQ(text(Key, "IP"), "");
    EXPECT_EQ(text(Key, "RefillSpeed"), "fast");
    EXPECT_EQ(text(Key, "PressureMeasure"), C::DefaultPressureMeasure);
}

}  // namespace
