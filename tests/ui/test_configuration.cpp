// The configuration dialog: stored values with their types after Save, nothing after Cancel,
// defaults and the one warning on a value of another type, the controls' rules.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "link/FTDI.h"
#include "platform/D2xx.h"
#include "platform/Dialogs.h"
#include "platform/Help.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "platform/i18n.h"
#include "support/TempEnv.h"
#include "ui/Configuration.h"

namespace {
const std::string Key = "\\Software\\TressivanLabs\\Zentrova\\Instrument";
const char* const SetUpText = "Please, Set-Up Software Parameters.";

class Config : public ::testing::Test {
  protected:
    void SetUp() override {
        setInstance("");
        setDecimalSeparator('.');
        // Neither the machine's serial ports nor its USB converters take part.
        std::filesystem::create_directories(env.path("sys"));
        env.set("ZENTROVA_SYS_TTY", env.path("sys"));
        D2xx::setSysfsRoot(env.path("sys"));
        D2xx::setDeviceMap({});
        OnApplyConfiguration = [this] { ++applied; };
    }
    void TearDown() override {
        OnApplyConfiguration = nullptr;
        Registry::failAfterWrites(0);
        D2xx::resetDeviceMap();
        D2xx::setSysfsRoot("");
        setInstance("");
    }

    void ports(const std::vector<std::pair<std::string, std::string>>& map) {
        Registry reg(RegRoot::LocalMachine);
        ASSERT_TRUE(reg.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", true));
        for (const auto& [device, name] : map) reg.writeString(device, name);
    }
    void set(const std::string& name, const std::string& value, const std::string& instance = "") {
        Registry reg;
        ASSERT_TRUE(reg.openKey(Key + instance, true));
        reg.writeString(name, value);
    }
    void set(const std::string& name, int32_t value) {
        Registry reg;
        ASSERT_TRUE(reg.openKey(Key, true));
        reg.writeInteger(name, value);
    }
    RegDataType type(const std::string& name, const std::string& instance = "") {
        Registry reg;
        if (!reg.openKeyReadOnly(Key + instance)) return RegDataType::None;
        return reg.getDataType(name);
    }
    std::string text(const std::string& name, const std::string& instance = "") {
        Registry reg;
        EXPECT_TRUE(reg.openKeyReadOnly(Key + instance));
        return reg.readString(name);
    }
    int32_t number(const std::string& name) {
        Registry reg;
        EXPECT_TRUE(reg.openKeyReadOnly(Key));
        return reg.readInteger(name);
    }
    bool keyExists(const std::string& path = Key) {
        Registry reg;
        return reg.keyExists(path);
    }
    // The dialog as the main window's menu shows it (non-modal here, so the test goes on).
    std::unique_ptr<TInstrumentConfiguration> open() {
        auto d = std::make_unique<TInstrumentConfiguration>();
        d->show();
        return d;
    }
    std::vector<QString> titles() const {
        std::vector<QString> out;
        for (const auto& m : boxes.shown) out.push_back(m.title + ": " + m.text);
        return out;
    }
    static void choose(TUxComboBox* box, const QString& item) {
        const int i = box->findText(item);
        ASSERT_GE(i, 0) << item.toStdString();
        box->setCurrentIndex(i);
        emit box->activated(i);  // as the operator's choice
    }
    static QStringList items(TUxComboBox* box) {
        QStringList out;
        for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
        return out;
    }

    TempEnv env;
    DialogScript boxes;
    int applied = 0;
};
}  // namespace

TEST_F(Config, FirstStartShowsTheDefaultsSilentlyAndCreatesNothing) {
    ports({{"/dev/ttyS0", "COM1"}, {"/dev/ttyUSB0", "COM3"}});
    auto d = open();
    EXPECT_TRUE(boxes.shown.empty()) << titles().front().toStdString();
    EXPECT_TRUE(d->ConnectMethodRadio1->isChecked());
    EXPECT_FALSE(d->ConnectMethodRadio2->isChecked());
    EXPECT_FALSE(d->ConnectMethodRadio3->isChecked());
    EXPECT_EQ(d->InstrumentIPAddress->GetText(), TInstrumentConfiguration::DefaultIP);
    EXPECT_TRUE(d->InstrumentIPAddress->isEnabled());
    EXPECT_FALSE(d->InstrumentCommPort->isEnabled());
    EXPECT_FALSE(d->InstrumentUSBPort->isEnabled());
    EXPECT_FALSE(d->RefreshUSBBtn->isEnabled());
    EXPECT_EQ(items(d->InstrumentCommPort), QStringList({"COM1", "COM3"}));
    EXPECT_EQ(d->InstrumentCommPort->GetText(), "COM1");
    EXPECT_EQ(d->ReactorVolume->GetText(), "");
    EXPECT_TRUE(d->MeasurePsiRBtn->isChecked());
    EXPECT_FALSE(d->MeasureBarRBtn->isChecked());
    EXPECT_EQ(d->HPLCType->GetItemIndex(), -1);
    EXPECT_TRUE(d->RefillFastRBtn->isChecked());
    EXPECT_FALSE(d->RefillSlowRBtn->isChecked());
    EXPECT_FALSE(d->RefillMaxRBtn->isChecked());
    EXPECT_TRUE(d->RefillMaxRBtn->isHidden());
    EXPECT_EQ(items(d->InstrumentUSBPort), QStringList({"No ZentrovaKVZ Found"}));
    EXPECT_EQ(d->InstrumentUSBPort->GetItemIndex(), 0);
    EXPECT_EQ(d->GetCaption(), "Instrument Configuration");
    EXPECT_EQ(d->ColTmpRangeLbl->GetCaption(), QString::fromUtf8("Temperature range: 30\u00B0C - 75\u00B0C"));
    EXPECT_EQ(d->Instrument->GetPageCount(), 5);
    EXPECT_FALSE(keyExists());

    // Without a COM1 on the system nothing is selected.
    Registry lm(RegRoot::LocalMachine);
    ASSERT_TRUE(lm.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", false));
    lm.deleteValue("/dev/ttyS0");
    d->FormActivate();
    EXPECT_EQ(d->InstrumentCommPort->GetItemIndex(), -1);
}

TEST_F(Config, SaveStoresEveryValueWithItsType) {
    ports({{"/dev/ttyS0", "COM1"}, {"/dev/ttyUSB0", "COM3"}});
    D2xx::setDeviceMap({{"KVZ Bench A", "/dev/null"}, {"KVZ Bench B", "/dev/null"}});
    auto d = open();
    EXPECT_EQ(items(d->InstrumentUSBPort), QStringList({"KVZ Bench A", "KVZ Bench B"}));
    EXPECT_EQ(d->InstrumentUSBPort->GetItemIndex(), -1);

    d->ConnectMethodRadio2->SetChecked(true);
    EXPECT_TRUE(d->InstrumentCommPort->isEnabled());
    EXPECT_FALSE(d->InstrumentIPAddress->isEnabled());
    d->InstrumentIPAddress->SetText("10.20.30.40");
    choose(d->InstrumentCommPort, "COM3");
    choose(d->InstrumentUSBPort, "KVZ Bench B");
    d->ReactorVolume->SetText("12.5");
    d->MeasureBarRBtn->SetChecked(true);
    EXPECT_FALSE(d->MeasurePsiRBtn->isChecked());
    d->RefillSlowRBtn->SetChecked(true);
    choose(d->HPLCType, "Agilent ChemStation");
    choose(d->ChemInstance, "3");
    d->InstrumentLabel->SetText(QString::fromUtf8("Bench \u00C4"));
    ASSERT_EQ(boxes.shown.size(), 1u);  // the slow-refill note
    EXPECT_EQ(boxes.shown[0].title, "Note");
    EXPECT_EQ(
        boxes.shown[0].text,
        "Slow refill speed can be used for viscous reagents. The refill process will take longer with a "
        "slower refill rate.");

    d->SaveClick();
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(applied, 1);
    EXPECT_FALSE(d->isVisible());

    EXPECT_EQ(type("ConnectMethod"), RegDataType::Dword);
    EXPECT_EQ(number("ConnectMethod"), 2);
    EXPECT_EQ(type("IP"), RegDataType::String);
    EXPECT_EQ(text("IP"), "10.20.30.40");
    EXPECT_EQ(type("COM"), RegDataType::String);
    EXPECT_EQ(text("COM"), "COM3");
    EXPECT_EQ(type("USB"), RegDataType::String);
    EXPECT_EQ(text("USB"), "KVZ Bench B");
    EXPECT_EQ(type("ReactorVolume"), RegDataType::String);
    EXPECT_EQ(text("ReactorVolume"), "12.5");
    EXPECT_EQ(type("PressureMeasure"), RegDataType::String);
    EXPECT_EQ(text("PressureMeasure"), "bar");
    EXPECT_EQ(type("HPLCType"), RegDataType::String);
    EXPECT_EQ(text("HPLCType"), "Agilent ChemStation");
    EXPECT_EQ(type("ChemInstance"), RegDataType::String);
    EXPECT_EQ(text("ChemInstance"), "3");
    EXPECT_EQ(type("InstrumentLabel"), RegDataType::String);
    EXPECT_EQ(text("InstrumentLabel"), "Bench \xC3\x84");
    EXPECT_EQ(type("RefillSpeed"), RegDataType::Dword);
    EXPECT_EQ(number("RefillSpeed"), 30);

    // Shown again, the dialog reads back what it stored, the USB device included.
    d->show();
    EXPECT_TRUE(d->ConnectMethodRadio2->isChecked());
    EXPECT_EQ(d->InstrumentCommPort->GetText(), "COM3");
    EXPECT_EQ(d->InstrumentUSBPort->GetText(), "KVZ Bench B");
    EXPECT_EQ(d->UsbDevice, "KVZ Bench B");
    EXPECT_TRUE(d->MeasureBarRBtn->isChecked());
    EXPECT_TRUE(d->RefillSlowRBtn->isChecked());
    EXPECT_EQ(d->ChemInstance->GetText(), "3");
    EXPECT_EQ(boxes.shown.size(), 1u);  // loading a slow refill speed shows no note

    // USB, network and the other refill speeds.
    d->ConnectMethodRadio3->SetChecked(true);
    EXPECT_TRUE(d->InstrumentUSBPort->isEnabled());
    EXPECT_TRUE(d->RefreshUSBBtn->isEnabled());
    EXPECT_FALSE(d->InstrumentCommPort->isEnabled());
    d->RefillFastRBtn->SetChecked(true);
    d->MeasurePsiRBtn->SetChecked(true);
    d->SaveClick();
    EXPECT_EQ(number("ConnectMethod"), 3);
    EXPECT_EQ(number("RefillSpeed"), 55);
    EXPECT_EQ(text("PressureMeasure"), "psi");
    EXPECT_EQ(applied, 2);
}

TEST_F(Config, CancelStoresNothing) {
    auto d = open();
    d->ConnectMethodRadio2->SetChecked(true);
    d->InstrumentLabel->SetText("Changed");
    d->ReactorVolume->SetText("5");
    d->CancelClick();
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(applied, 0);
    EXPECT_FALSE(keyExists());

    set("InstrumentLabel", "Kept");
    d->show();
    EXPECT_EQ(d->InstrumentLabel->GetText(), "Kept");
    EXPECT_TRUE(d->ConnectMethodRadio1->isChecked());  // unsaved edits are replaced on activation
    d->InstrumentLabel->SetText("Changed");
    d->close();  // the close box is a Cancel too
    EXPECT_EQ(text("InstrumentLabel"), "Kept");
    EXPECT_EQ(type("IP"), RegDataType::None);
}

TEST_F(Config, AValueOfAnotherTypeGivesTheSetUpMessageOncePerLoad) {
    set("IP", 5);  // a number where text belongs
    set("ReactorVolume", "3");
    set("RefillSpeed", 30);
    set("ConnectMethod", 2);
    auto d = std::make_unique<TInstrumentConfiguration>();
    ASSERT_EQ(boxes.shown.size(), 1u);  // at creation
    EXPECT_EQ(boxes.shown[0].title, "Warning");
    EXPECT_EQ(boxes.shown[0].text, SetUpText);
    // Before the error: the connection; after it: nothing of the strings, but the refill speed.
    EXPECT_TRUE(d->ConnectMethodRadio2->isChecked());
    EXPECT_EQ(d->ReactorVolume->GetText(), "");
    EXPECT_TRUE(d->RefillSlowRBtn->isChecked());
    d->show();
    EXPECT_EQ(boxes.shown.size(), 2u);

    // Integers of another type take their defaults silently.
    set("IP", "10.0.0.9");
    set("ConnectMethod", "2");
    set("RefillSpeed", "30");
    d->FormActivate();
    EXPECT_EQ(boxes.shown.size(), 2u);
    EXPECT_TRUE(d->ConnectMethodRadio1->isChecked());
    EXPECT_TRUE(d->RefillFastRBtn->isChecked());
    EXPECT_EQ(d->InstrumentIPAddress->GetText(), "10.0.0.9");
    EXPECT_EQ(d->ReactorVolume->GetText(), "3");

    // A stored address longer than the mask is shown and saved whole.
    set("IP", "instrument-7.lab.example");
    d->FormActivate();
    EXPECT_EQ(d->InstrumentIPAddress->GetText(), "instrument-7.lab.example");
    d->SaveClick();
    EXPECT_EQ(text("IP"), "instrument-7.lab.example");
    d->show();

    // Any string value counts: the last one, too.
    set("InstrumentLabel", 1);
    d->FormActivate();
    ASSERT_EQ(boxes.shown.size(), 3u);
    EXPECT_EQ(boxes.shown[2].text, SetUpText);
}

TEST_F(Config, RefillSpeedAndPressureUnitAsStored) {
    set("RefillSpeed", 70);
    set("PressureMeasure", "kPa");
    auto d = open();
    EXPECT_TRUE(d->RefillMaxRBtn->isChecked());  // the hidden "Fast"
    EXPECT_FALSE(d->RefillFastRBtn->isChecked());
    EXPECT_FALSE(d->MeasureBarRBtn->isChecked());
    EXPECT_FALSE(d->MeasurePsiRBtn->isChecked());
    d->SaveClick();
    EXPECT_EQ(number("RefillSpeed"), 70);
    EXPECT_EQ(text("PressureMeasure"), "");

    set("RefillSpeed", 40);
    d->show();
    EXPECT_TRUE(d->RefillFastRBtn->isChecked());
    EXPECT_FALSE(d->RefillMaxRBtn->isChecked());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Config, ReactorVolumeSetsTheRangeAndWarnsOnlyWhileShown) {
    const QString r130 = QString::fromUtf8("Temperature range: 30\u00B0C - 130\u00B0C");
    const QString r80 = QString::fromUtf8("Temperature range: 30\u00B0C - 80\u00B0C");
    set("ReactorVolume", "2.51");
    auto d = std::make_unique<TInstrumentConfiguration>();
    EXPECT_EQ(d->ReactorMaxTempLabel->GetCaption(), r80);  // loaded while hidden
    d->ReactorVolume->SetText("abc");
    d->ReactorVolume->SetText("99");
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(d->ReactorMaxTempLabel->GetCaption(), r80);

    d->show();  // loads "2.51" again
    d->ReactorVolume->SetText("2.5");
    EXPECT_EQ(d->ReactorMaxTempLabel->GetCaption(), r130);
    d->ReactorVolume->SetText("2.51");
    EXPECT_EQ(d->ReactorMaxTempLabel->GetCaption(), r80);
    d->ReactorVolume->SetText("0");
    EXPECT_EQ(d->ReactorMaxTempLabel->GetCaption(), r130);
    EXPECT_TRUE(boxes.shown.empty());

    d->ReactorVolume->SetText("70.1");
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Warning");
    EXPECT_EQ(boxes.shown[0].text, "The Reactor Volume should be between 0 and 70.");
    EXPECT_EQ(d->ReactorMaxTempLabel->GetCaption(), r130);
    d->ReactorVolume->SetText("abc");
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].text,
              "The Reactor Volume value should contain numbers and decimal point, no other symbols, please.");
    d->ReactorVolume->SetText("-1");
    EXPECT_EQ(boxes.shown.size(), 3u);

    // The operator's decimal separator; Save stores the text as typed, unchecked.
    setDecimalSeparator(',');
    d->ReactorVolume->SetText("3,5");
    EXPECT_EQ(d->ReactorMaxTempLabel->GetCaption(), r80);
    d->ReactorVolume->SetText("1.5");
    EXPECT_EQ(boxes.shown.size(), 4u);
    d->SaveClick();
    EXPECT_EQ(text("ReactorVolume"), "1.5");
}

TEST_F(Config, HPLCTypeDecidesTheInstanceBoxAndTheNote) {
    set("ChemInstance", "2");
    auto d = open();
    EXPECT_EQ(items(d->HPLCType), QStringList({"Agilent ChemStation", "Varian StarWS", "PE TotalChrom",
                                               "Waters", "Other", "No Connection to HPLC"}));
    EXPECT_EQ(items(d->ChemInstance), QStringList({"1", "2", "3", "4"}));

    choose(d->HPLCType, "Agilent ChemStation");
    EXPECT_FALSE(d->ChemInstance->isHidden());
    EXPECT_FALSE(d->ChemInstanceLbl->isHidden());
    EXPECT_EQ(d->UseOfRelaysLbl->GetCaption(), "Will be using Software Synchronization.");
    choose(d->HPLCType, "Waters");
    EXPECT_TRUE(d->ChemInstance->isHidden());
    EXPECT_TRUE(d->ChemInstanceLbl->isHidden());
    EXPECT_EQ(d->UseOfRelaysLbl->GetCaption(), "Will be using relays.");
    choose(d->HPLCType, "No Connection to HPLC");
    EXPECT_EQ(d->UseOfRelaysLbl->GetCaption(), "");
    EXPECT_TRUE(d->ChemInstance->isHidden());

    // The instance is stored only while its box shows.
    choose(d->HPLCType, "Waters");
    choose(d->ChemInstance, "4");
    d->SaveClick();
    EXPECT_EQ(text("HPLCType"), "Waters");
    EXPECT_EQ(text("ChemInstance"), "2");

    // A stored name is found whatever its case; Save writes the list's spelling.
    set("HPLCType", "agilent chemstation");
    d->show();
    EXPECT_EQ(d->HPLCType->GetText(), "Agilent ChemStation");
    EXPECT_FALSE(d->ChemInstance->isHidden());
    EXPECT_EQ(d->ChemInstance->GetText(), "2");
    choose(d->ChemInstance, "4");
    d->SaveClick();
    EXPECT_EQ(text("HPLCType"), "Agilent ChemStation");
    EXPECT_EQ(text("ChemInstance"), "4");
}

TEST_F(Config, UsbListKeepsTheStoredDevice) {
    set("USB", "KVZ Unplugged");
    set("ConnectMethod", 3);
    auto d = open();
    EXPECT_EQ(items(d->InstrumentUSBPort), QStringList({"No ZentrovaKVZ Found"}));
    d->SaveClick();
    EXPECT_EQ(text("USB"), "KVZ Unplugged");  // the placeholder is never stored

    // Another device attached, the stored one still missing: nothing selected, nothing replaced.
    D2xx::setDeviceMap({{"KVZ Other", "/dev/null"}});
    d->show();
    EXPECT_EQ(items(d->InstrumentUSBPort), QStringList({"KVZ Other"}));
    EXPECT_EQ(d->InstrumentUSBPort->GetItemIndex(), -1);
    d->SaveClick();
    EXPECT_EQ(text("USB"), "KVZ Unplugged");

    // Plugged in: Refresh lists it and selects the stored device.
    D2xx::setDeviceMap({{"KVZ Other", "/dev/null"}, {"KVZ Unplugged", "/dev/null"}});
    d->show();
    D2xx::setDeviceMap(
        {{"KVZ Unplugged", "/dev/null"}, {"KVZ Other", "/dev/null"}, {"KVZ New", "/dev/null"}});
    d->RefreshUSBBtn->Click();
    EXPECT_EQ(items(d->InstrumentUSBPort), QStringList({"KVZ Unplugged", "KVZ Other", "KVZ New"}));
    EXPECT_EQ(d->InstrumentUSBPort->GetText(), "KVZ Unplugged");
    EXPECT_EQ(FTDI.DeviceCount, 3u);
}

TEST_F(Config, SerialPortListHoldsEveryPortName) {
    ports({{"/dev/ttyA", "COM1"},
           {"/dev/ttyB", "COM123456"},
           {"/dev/ttyC", "COM1234567"},
           {"/dev/ttyD", "COM2"}});
    // The system's own ports are merged into the map when the dialog shows.
    std::filesystem::create_directories(env.path("sys/ttyUSB7/device"));
    auto d = open();
    EXPECT_EQ(items(d->InstrumentCommPort), QStringList({"COM1", "COM123456", "COM1234567", "COM2", "COM3"}));
    char buf[10];
    EXPECT_TRUE(d->ListSerialPorts(buf, sizeof buf, 3));
    EXPECT_STREQ(buf, "COM2");
    EXPECT_TRUE(d->ListSerialPorts(buf, sizeof buf, 4));
    EXPECT_STREQ(buf, "COM3");  // /dev/ttyUSB7, the lowest free number
    EXPECT_FALSE(d->ListSerialPorts(buf, sizeof buf, 5));
    EXPECT_FALSE(d->ListSerialPorts(buf, 4, 3));  // "COM2" and its terminator need 5

    // A value that is not text is skipped.
    Registry lm(RegRoot::LocalMachine);
    ASSERT_TRUE(lm.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", false));
    lm.writeInteger("/dev/ttyB", 1);
    d->FormActivate();
    EXPECT_EQ(items(d->InstrumentCommPort), QStringList({"COM1", "COM1234567", "COM2", "COM3"}));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Config, AComPortMissingFromTheSystemKeepsItsSetting) {
    ports({{"/dev/ttyS0", "COM1"}});
    set("COM", "com7");
    set("ConnectMethod", 2);
    auto d = open();
    EXPECT_EQ(d->InstrumentCommPort->GetItemIndex(), -1);
    d->SaveClick();
    EXPECT_EQ(text("COM"), "com7");

    ports({{"/dev/ttyUSB3", "COM7"}});
    d->show();
    EXPECT_EQ(d->InstrumentCommPort->GetText(), "COM7");  // case ignored
    d->SaveClick();
    EXPECT_EQ(text("COM"), "COM7");
}

TEST_F(Config, AFailedSaveIsReportedThenAppliedAndClosed) {
    set("IP", "10.0.0.1");
    set("InstrumentLabel", "Old");
    auto d = open();
    d->ConnectMethodRadio3->SetChecked(true);
    d->InstrumentIPAddress->SetText("10.0.0.2");
    d->InstrumentLabel->SetText("New");
    // The store cannot be opened: its path now names a folder.
    const std::string store = env.path("registry.db");
    env.set("ZENTROVA_REGISTRY", env.dir);
    d->SaveClick();
    env.set("ZENTROVA_REGISTRY", store);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Error");
    EXPECT_EQ(boxes.shown[0].text, "Can not save parameters to Registry!");
    EXPECT_EQ(applied, 1);
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(type("ConnectMethod"), RegDataType::None);
    EXPECT_EQ(text("IP"), "10.0.0.1");

    // A failure part-way leaves the previous settings whole.
    d->show();
    d->ConnectMethodRadio3->SetChecked(true);
    d->InstrumentIPAddress->SetText("10.0.0.2");
    d->InstrumentLabel->SetText("New");
    Registry::failAfterWrites(2);
    d->SaveClick();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].text, "Can not save parameters to Registry!");
    EXPECT_EQ(applied, 2);
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(type("ConnectMethod"), RegDataType::None);
    EXPECT_EQ(text("IP"), "10.0.0.1");
    EXPECT_EQ(text("InstrumentLabel"), "Old");
}

TEST_F(Config, InstanceKeyHelpAndModalUse) {
    setInstance("2");
    auto d = std::make_unique<TInstrumentConfiguration>();
    EXPECT_EQ(d->RegistryKey, Key + "2");
    std::vector<uint32_t> topics;
    Help::setOpenHook([&](uint32_t, uint32_t topic) { topics.push_back(topic); });
    d->Help->Click();
    Help::setOpenHook(nullptr);
    EXPECT_EQ(topics, std::vector<uint32_t>{510});

    // Shown modally from the menu: it loads on showing, and Save ends it with OK.
    set("InstrumentLabel", "Second", "2");
    QString shownLabel;
    QTimer::singleShot(0, d.get(), [&] {
        shownLabel = d->InstrumentLabel->GetText();
        d->InstrumentLabel->SetText("Second bench");
        d->Save->Click();
    });
    EXPECT_EQ(d->ShowModal(), mrOk);
    EXPECT_EQ(shownLabel, "Second");
    EXPECT_EQ(text("InstrumentLabel", "2"), "Second bench");
    EXPECT_EQ(type("InstrumentLabel"), RegDataType::None);
    EXPECT_EQ(applied, 1);

    QTimer::singleShot(0, d.get(), [&] { d->Cancel->Click(); });
    EXPECT_EQ(d->ShowModal(), mrCancel);
    EXPECT_EQ(applied, 1);
}
