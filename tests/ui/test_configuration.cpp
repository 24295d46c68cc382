// The configuration dialog: stored values with their types after Save, nothing after Cancel or a
// failed save, the one warning on a value of another type, the controls' rules, the port lists;
// and the install step's first-start settings, which the dialog and the instrument load silently.
#include <gtest/gtest.h>

#include <QApplication>
#include <QStyleOptionComboBox>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "link/Instrument.h"
#include "platform/D2xx.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "platform/i18n.h"
#include "support/TempEnv.h"
#include "ui/Configuration.h"

namespace {
const std::string Key = "\\Software\\TressivanLabs\\Zentrova\\Instrument";
const char* const SetUpText = "Warning: Please, Set-Up Software Parameters.";
using Texts = std::vector<std::string>;

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
    template <class V>
    void set(const std::string& name, const V& value, const std::string& instance = "") {
        Registry reg;
        ASSERT_TRUE(reg.openKey(Key + instance, true));
        if constexpr (std::is_integral_v<V>) {
            reg.writeInteger(name, value);
        } else {
            reg.writeString(name, value);
        }
    }
    // Stored values, named with spaces between, as "dword N" or the text; "-" when missing.
    static std::string stored(const std::string& names, const std::string& instance = "") {
        Registry reg;
        const bool open = reg.openKeyReadOnly(Key + instance);
        std::string out, name;
        for (std::istringstream in(names); in >> name;) {
            out += out.empty() ? "" : " ";
            if (!open || !reg.valueExists(name)) {
                out += "-";
            } else {
                out += reg.getDataType(name) == RegDataType::Dword
                           ? "dword " + std::to_string(reg.readInteger(name))
                           : reg.readString(name);
            }
        }
        return out;
    }
    // The dialog as the main window's menu shows it (non-modal here, so the test goes on).
    std::unique_ptr<TInstrumentConfiguration> open() {
        auto d = std::make_unique<TInstrumentConfiguration>();
        d->show();
        return d;
    }
    Texts takeBoxes() {
        Texts out;
        for (const auto& m : boxes.shown) out.push_back((m.title + ": " + m.text).toStdString());
        boxes.shown.clear();
        return out;
    }
    static void choose(TUxComboBox* box, const QString& item) {
        const int i = box->findText(item);
        ASSERT_GE(i, 0) << item.toStdString();
        box->setCurrentIndex(i);
        emit box->activated(i);  // as the operator's choice
    }
    // The dialog's choices: connection, address, COM, USB, volume, unit, refill speed, HPLC, instance.
    static std::string choices(const TInstrumentConfiguration& d) {
        const auto checked = [](std::initializer_list<std::pair<QRadioButton*, const char*>> group) {
            for (const auto& [button, name] : group)
                if (button->isChecked()) return QString(name);
            return QString("-");
        };
        return QStringList(
                   {checked({{d.ConnectMethodRadio1, "TCP"},
                             {d.ConnectMethodRadio2, "COM"},
                             {d.ConnectMethodRadio3, "USB"}}),
                    d.InstrumentIPAddress->GetText(), d.InstrumentCommPort->GetText(),
                    d.InstrumentUSBPort->GetText(), d.ReactorVolume->GetText(),
                    checked({{d.MeasureBarRBtn, "bar"}, {d.MeasurePsiRBtn, "psi"}}),
                    checked(
                        {{d.RefillMaxRBtn, "max"}, {d.RefillFastRBtn, "fast"}, {d.RefillSlowRBtn, "slow"}}),
                    d.HPLCType->GetText(), d.ChemInstance->GetText()})
            .join(" | ")
            .toStdString();
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
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(choices(*d), "TCP | 192.168.1.100 | COM1 | No ZentrovaKVZ Found |  | psi | fast |  | ");
    EXPECT_EQ(stored("ConnectMethod"), "-");
    // The placeholder shows whole in its field.
    QApplication::processEvents();
    QStyleOptionComboBox opt;
    opt.initFrom(d->InstrumentUSBPort);
    const QRect field = d->InstrumentUSBPort->style()->subControlRect(
        QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, d->InstrumentUSBPort);
    EXPECT_LE(d->InstrumentUSBPort->fontMetrics().horizontalAdvance(d->InstrumentUSBPort->itemText(0)),
              field.width());
}

TEST_F(Config, SaveStoresEveryValueWithItsType) {
    ports({{"/dev/ttyS0", "COM1"}, {"/dev/ttyUSB0", "COM3"}});
    D2xx::setDeviceMap({{"KVZ Bench A", "/dev/null"}, {"KVZ Bench B", "/dev/null"}});
    auto d = open();
    d->ConnectMethodRadio2->SetChecked(true);
    EXPECT_TRUE(d->InstrumentCommPort->isEnabled());
    EXPECT_FALSE(d->InstrumentIPAddress->isEnabled());
    d->InstrumentIPAddress->SetText("10.20.30.40");
    choose(d->InstrumentCommPort, "COM3");
    choose(d->InstrumentUSBPort, "KVZ Bench B");
    d->ReactorVolume->SetText("12.5");
    d->MeasureBarRBtn->SetChecked(true);
    d->RefillSlowRBtn->SetChecked(true);
    choose(d->HPLCType, "Agilent ChemStation");
    choose(d->ChemInstance, "3");
    d->InstrumentLabel->SetText(QString::fromUtf8("Bench \u00C4"));
    EXPECT_EQ(takeBoxes(),
              Texts{"Note: Slow refill speed can be used for viscous reagents. The refill process will "
                    "take longer with a slower refill rate."});
    d->SaveClick();
    EXPECT_EQ(applied, 1);
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(
        stored("ConnectMethod IP COM USB ReactorVolume PressureMeasure HPLCType ChemInstance InstrumentLabel "
               "RefillSpeed"),
        "dword 2 10.20.30.40 COM3 KVZ Bench B 12.5 bar Agilent ChemStation 3 Bench \xC3\x84 dword 30");

    // Shown again, the dialog reads back what it stored, without the note.
    d->show();
    EXPECT_EQ(choices(*d),
              "COM | 10.20.30.40 | COM3 | KVZ Bench B | 12.5 | bar | slow | Agilent ChemStation | 3");
    d->ConnectMethodRadio3->SetChecked(true);
    EXPECT_TRUE(d->RefreshUSBBtn->isEnabled());
    d->RefillFastRBtn->SetChecked(true);
    d->MeasurePsiRBtn->SetChecked(true);
    d->SaveClick();
    EXPECT_EQ(stored("ConnectMethod RefillSpeed PressureMeasure"), "dword 3 dword 55 psi");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Config, AValueOfAnotherTypeGivesTheSetUpMessageOncePerLoad) {
    set("IP", 5);  // a number where text belongs
    set("ReactorVolume", std::string("3"));
    set("RefillSpeed", 30);
    set("ConnectMethod", 2);
    auto d = std::make_unique<TInstrumentConfiguration>();
    EXPECT_EQ(takeBoxes(), Texts{SetUpText});  // at creation
    // Before the error: the connection; after it: nothing of the strings, but the refill speed.
    EXPECT_EQ(choices(*d), "COM |  |  |  |  | - | slow |  | ");
    d->show();
    EXPECT_EQ(takeBoxes(), Texts{SetUpText});

    // Integers of another type take their defaults silently; a long address is kept whole.
    set("IP", std::string("instrument-7.lab.example"));
    set("ConnectMethod", std::string("2"));
    set("RefillSpeed", std::string("30"));
    d->FormActivate();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(choices(*d), "TCP | instrument-7.lab.example |  | No ZentrovaKVZ Found | 3 | psi | fast |  | ");
    d->SaveClick();
    EXPECT_EQ(stored("IP"), "instrument-7.lab.example");

    set("InstrumentLabel", 1);  // the last string value counts, too
    d->FormActivate();
    EXPECT_EQ(takeBoxes(), Texts{SetUpText});
}

TEST_F(Config, ReactorVolumeSetsTheRangeAndWarnsOnlyWhileShown) {
    set("ReactorVolume", std::string("2.51"));
    auto d = std::make_unique<TInstrumentConfiguration>();
    d->ReactorVolume->SetText("abc");  // hidden: no warning
    d->show();
    const std::string notANumber =
        "The Reactor Volume value should contain numbers and decimal point, no other symbols, please.";
    const struct {
        char separator;  // the operator's
        const char* text;
        int maxTemp;
        std::string box;  // "" none
    } rows[] = {{'.', "2.5", 130, ""},
                {'.', "2.51", 80, ""},
                // a refused value leaves the range as it was
                {'.', "70.1", 80, "The Reactor Volume should be between 0 and 70."},
                {'.', "abc", 80, notANumber},
                {',', "2,5", 130, ""},
                {',', "1.5", 130, notANumber}};
    for (const auto& r : rows) {
        setDecimalSeparator(r.separator);
        d->ReactorVolume->SetText(r.text);
        EXPECT_EQ(d->ReactorMaxTempLabel->GetCaption(),
                  QString::fromUtf8("Temperature range: 30\u00B0C - %1\u00B0C").arg(r.maxTemp))
            << r.text;
        EXPECT_EQ(takeBoxes(), r.box.empty() ? Texts{} : Texts{"Warning: " + r.box}) << r.text;
    }
    d->SaveClick();  // the text as typed, unchecked
    EXPECT_EQ(stored("ReactorVolume"), "1.5");
}

// Typed and cancelled: the dialog shows the stored volume again, with its range and without a
// box before it appears; clearing the field to type anew warns of nothing.
TEST_F(Config, AVolumeTypedAndCancelledLeavesNoBoxNoWarningAndNoStaleRange) {
    const auto range = [](int maxTemp) {
        return QString::fromUtf8("Temperature range: 30\u00B0C - %1\u00B0C").arg(maxTemp);
    };
    for (const char* storedVolume : {"", "1.5", "abc"}) {
        SCOPED_TRACE(storedVolume);
        set("ReactorVolume", std::string(storedVolume));
        auto d = open();
        EXPECT_EQ(takeBoxes(), Texts{});
        d->ReactorVolume->SetText("8");
        EXPECT_EQ(d->ReactorMaxTempLabel->GetCaption(), range(80));
        d->ReactorVolume->SetText("80");
        EXPECT_EQ(takeBoxes(), Texts{"Warning: The Reactor Volume should be between 0 and 70."});
        d->ReactorVolume->SetText("");  // cleared to type anew
        EXPECT_EQ(takeBoxes(), Texts{});
        d->ReactorVolume->SetText("80");
        takeBoxes();
        d->CancelClick();
        EXPECT_FALSE(d->isVisible());
        d->show();  // opened again
        EXPECT_EQ(takeBoxes(), Texts{}) << "a box before the dialog";
        EXPECT_EQ(d->ReactorVolume->GetText(), storedVolume);
        EXPECT_EQ(d->ReactorMaxTempLabel->GetCaption(), range(130));
        d->ReactorVolume->SetText("1x");  // typing still warns
        EXPECT_EQ(takeBoxes().size(), 1u);
    }
}

// A stored refill speed of 70 selects the hidden "Fast" button, and Save keeps it. The note under
// the HPLC type says how the run is synchronised.
TEST_F(Config, FastRefillIsKeptAndTheHplcTypeSaysHowRunsAreSynchronised) {
    set("RefillSpeed", 70);
    auto d = open();
    EXPECT_TRUE(d->RefillMaxRBtn->isChecked());
    EXPECT_TRUE(d->RefillMaxRBtn->isHidden());
    d->SaveClick();
    EXPECT_EQ(stored("RefillSpeed"), "dword 70");

    d->show();
    const struct {
        const char* type;
        const char* note;
    } rows[] = {{"Agilent ChemStation", "Will be using Software Synchronization."},
                {"Varian StarWS", "Will be using relays."},
                {"No Connection to HPLC", ""},
                {"Waters", "Will be using relays."},
                {"Other", "Will be using relays."}};
    for (const auto& r : rows) {
        choose(d->HPLCType, r.type);
        EXPECT_EQ(d->UseOfRelaysLbl->GetCaption().toStdString(), r.note) << r.type;
    }
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Config, TheInstanceIsStoredOnlyForTheDataSystemThatHasOne) {
    set("ChemInstance", std::string("2"));
    auto d = open();
    choose(d->HPLCType, "Agilent ChemStation");
    EXPECT_FALSE(d->ChemInstance->isHidden());
    // The instance is stored only while its box shows.
    choose(d->HPLCType, "Waters");
    choose(d->ChemInstance, "4");
    d->SaveClick();
    EXPECT_EQ(stored("HPLCType ChemInstance"), "Waters 2");
    // A stored name is found whatever its case; Save writes the list's spelling.
    set("HPLCType", std::string("agilent chemstation"));
    d->show();
    EXPECT_FALSE(d->ChemInstance->isHidden());
    choose(d->ChemInstance, "4");
    d->SaveClick();
    EXPECT_EQ(stored("HPLCType ChemInstance"), "Agilent ChemStation 4");
}

TEST_F(Config, PortListsKeepTheStoredPortAndDevice) {
    set("USB", std::string("KVZ Unplugged"));
    set("COM", std::string("com7"));
    set("ConnectMethod", 3);  // Refresh is for the USB connection
    ports({{"/dev/ttyA", "COM1"},
           {"/dev/ttyB", "COM123456"},
           {"/dev/ttyC", "COM1234567"},
           {"/dev/ttyD", "COM2"}});
    // The system's own ports are merged into the map when the dialog shows.
    std::filesystem::create_directories(env.path("sys/ttyUSB7/device"));
    D2xx::setDeviceMap({{"KVZ Other", "/dev/null"}});
    auto d = open();
    // A name that needs more than 10 bytes is skipped; the ports after it are still listed.
    EXPECT_EQ(items(d->InstrumentCommPort), QStringList({"COM1", "COM123456", "COM2", "COM3"}));
    char buf[10];
    EXPECT_TRUE(d->ListSerialPorts(buf, sizeof buf, 4));
    EXPECT_STREQ(buf, "COM3");  // /dev/ttyUSB7, the lowest free number
    EXPECT_FALSE(d->ListSerialPorts(buf, sizeof buf, 5));
    EXPECT_FALSE(d->ListSerialPorts(buf, 4, 3));  // "COM2" and its terminator need 5
    EXPECT_EQ(items(d->InstrumentUSBPort), QStringList({"KVZ Other"}));
    d->SaveClick();
    EXPECT_EQ(stored("USB COM"), "KVZ Unplugged com7");

    // A value that is not text is skipped; the stored port found whatever its case.
    Registry lm(RegRoot::LocalMachine);
    ASSERT_TRUE(lm.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM", false));
    lm.writeInteger("/dev/ttyB", 1);
    ports({{"/dev/ttyUSB3", "COM7"}});
    d->show();
    EXPECT_EQ(items(d->InstrumentCommPort), QStringList({"COM1", "COM2", "COM7", "COM3"}));
    EXPECT_EQ(d->InstrumentCommPort->GetText(), "COM7");
    // Plugged in: Refresh lists it and selects the stored device.
    D2xx::setDeviceMap(
        {{"KVZ Unplugged", "/dev/null"}, {"KVZ Other", "/dev/null"}, {"KVZ New", "/dev/null"}});
    d->RefreshUSBBtn->Click();
    EXPECT_EQ(items(d->InstrumentUSBPort), QStringList({"KVZ Unplugged", "KVZ Other", "KVZ New"}));
    EXPECT_EQ(d->InstrumentUSBPort->GetText(), "KVZ Unplugged");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Config, AStoredDevicePathTheListLacksIsShownAndKept) {
    ports({{"/dev/ttyS0", "COM1"}});
    const struct {
        std::string stored;
        QStringList items;
        QString shown;
    } rows[] = {
        {"/tmp/kvz tty", {"COM1", "/tmp/kvz tty"}, "/tmp/kvz tty"},
        {"COM1", {"COM1"}, "COM1"},
        {"COM9", {"COM1"}, ""},  // a name, not a path: the list's own
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.stored);
        set("COM", r.stored);
        auto d = open();
        d->hide();
        d->show();  // shown again: listed once
        EXPECT_EQ(items(d->InstrumentCommPort), r.items);
        EXPECT_EQ(d->InstrumentCommPort->GetText(), r.shown);
        d->SaveClick();
        EXPECT_EQ(stored("COM"), r.stored);
    }
    EXPECT_TRUE(boxes.shown.empty());
}

// Save reopens the link: with the instrument enabled the operator is told it halts, and may stay.
TEST_F(Config, SaveWithTheInstrumentEnabledSaysItHaltsFirst) {
    set("ConnectMethod", 2);
    TInstrumentModule module;
    const std::string halts =
        "Please, confirm: Saving applies the settings at once: the link to the instrument is closed and "
        "opened again, and the instrument is halted (heaters and pumps off, set points and LCD message "
        "cleared).\n\nSave the settings?";
    const struct {
        bool enabled;
        MsgResult answer;
        bool saved;
    } rows[] = {{false, mrNone, true}, {true, mrCancel, false}, {true, mrOk, true}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.enabled) + " " + std::to_string(r.answer));
        set("InstrumentLabel", std::string("Old"));
        module.Enabled = r.enabled;
        auto d = open();
        d->InstrumentLabel->SetText("New");
        const int before = applied;
        if (r.answer != mrNone) boxes.answer(r.answer);
        d->SaveClick();
        EXPECT_EQ(takeBoxes(), r.enabled ? Texts{halts} : Texts{});
        EXPECT_EQ(stored("InstrumentLabel"), r.saved ? "New" : "Old");
        EXPECT_EQ(applied - before, r.saved ? 1 : 0);
        EXPECT_EQ(d->isVisible(), !r.saved);
    }
}

// Save asks whenever anything runs, whatever the instrument's enabled state: heaters or pumps
// that may be on, or an operation (a refill, a flush, a pressure test) on a disabled instrument,
// which the question says stops.
TEST_F(Config, SaveAsksWheneverAnythingRunsAndSaysAnOperationStops) {
    const std::string halts =
        "Please, confirm: Saving applies the settings at once: the link to the instrument is closed and "
        "opened again, and the instrument is halted (heaters and pumps off, set points and LCD message "
        "cleared).";
    const struct {
        RunningNow running;
        MsgResult answer;
        std::string box;  // "" none
        bool saved;
    } rows[] = {
        {RunningNow::Nothing, mrNone, "", true},
        {RunningNow::HeatersOrPumps, mrCancel, halts + "\n\nSave the settings?", false},
        {RunningNow::HeatersOrPumps, mrOk, halts + "\n\nSave the settings?", true},
        {RunningNow::Operation, mrCancel,
         halts + "\n\nThe operation in progress stops.\n\nSave the settings?", false},
        {RunningNow::Operation, mrOk, halts + "\n\nThe operation in progress stops.\n\nSave the settings?",
         true},
    };
    set("ConnectMethod", 2);
    TInstrumentModule module;  // disabled: the main window's view decides
    for (const auto& r : rows) {
        SCOPED_TRACE(r.box + " " + std::to_string(r.answer));
        OnWhatRuns = [&] { return r.running; };
        set("InstrumentLabel", std::string("Old"));
        auto d = open();
        d->InstrumentLabel->SetText("New");
        const int before = applied;
        if (r.answer != mrNone) boxes.answer(r.answer);
        d->SaveClick();
        EXPECT_EQ(takeBoxes(), r.box.empty() ? Texts{} : Texts{r.box});
        EXPECT_EQ(stored("InstrumentLabel"), r.saved ? "New" : "Old");
        EXPECT_EQ(applied - before, r.saved ? 1 : 0);
    }
    OnWhatRuns = nullptr;
}

// A save that fails changes nothing: the running program keeps its settings and its link (it
// applies nothing) and the instrument goes on as it was; the box says so and the dialog closes.
TEST_F(Config, AFailedSaveIsReportedAndChangesNothing) {
    set("IP", std::string("10.0.0.1"));
    set("InstrumentLabel", std::string("Old"));
    auto d = open();
    for (bool partWay : {false, true}) {
        d->show();
        d->ConnectMethodRadio3->SetChecked(true);
        d->InstrumentIPAddress->SetText("10.0.0.2");
        d->InstrumentLabel->SetText("New");
        const std::string store = env.path("registry.db");
        if (partWay) {
            Registry::failAfterWrites(2);  // a failure part-way leaves the previous settings whole
        } else {
            env.set("ZENTROVA_REGISTRY", env.dir);  // the store cannot be opened: its path names a folder
        }
        d->SaveClick();
        env.set("ZENTROVA_REGISTRY", store);
        // The store's own reason follows: it says what the operator can do.
        const std::string why =
            partWay
                ? "The settings store could not be written (simulated failure)."
                : "The settings store " + env.dir +
                      " is not a file. The file is left unchanged. Close every copy of the program first; "
                      "then move the file aside together with its -wal and -shm files, or copy a backup "
                      "over it and delete those two files; then start the program again.";
        EXPECT_EQ(takeBoxes(), Texts{"Error: Can not save parameters to Registry!\n\n" + why +
                                     "\n\nNothing was changed: the link to the instrument and the instrument "
                                     "stay as they were."});
        EXPECT_EQ(applied, 0);
        EXPECT_FALSE(d->isVisible());
        EXPECT_EQ(stored("ConnectMethod IP InstrumentLabel"), "- 10.0.0.1 Old");
    }
}

TEST_F(Config, AnInstanceHasItsOwnKeyAndOnlySaveStores) {
    setInstance("2");
    auto d = std::make_unique<TInstrumentConfiguration>();
    set("InstrumentLabel", std::string("Second"), "2");
    QString shownLabel;
    QTimer::singleShot(0, d.get(), [&] {
        shownLabel = d->InstrumentLabel->GetText();
        d->InstrumentLabel->SetText("Second bench");
        d->Save->Click();
    });
    EXPECT_EQ(d->ShowModal(), mrOk);
    EXPECT_EQ(shownLabel, "Second");
    EXPECT_EQ(stored("InstrumentLabel", "2") + " " + stored("InstrumentLabel"), "Second bench -");
    QTimer::singleShot(0, d.get(), [&] {
        d->ConnectMethodRadio2->SetChecked(true);
        d->InstrumentLabel->SetText("Changed");
        d->Cancel->Click();
    });
    EXPECT_EQ(d->ShowModal(), mrCancel);
    d->show();
    EXPECT_TRUE(d->ConnectMethodRadio1->isChecked());  // unsaved edits are replaced on activation
    d->InstrumentLabel->SetText("Changed");
    d->close();  // the close box is a Cancel too
    EXPECT_EQ(stored("InstrumentLabel ConnectMethod", "2"), "Second bench dword 1");
    EXPECT_EQ(applied, 1);
}

// The install step's settings tool on a fresh store leaves the dialog's defaults; values that are
// there already, whatever their type, stay as they are.
TEST_F(Config, FirstStartSettingsAreTheDialogDefaultsAndKeepWhatIsThere) {
    const auto installDefaults = [](const std::string& instance) {
        return std::system((std::string("bash '") + ZENTROVA_SOURCE_DIR + "/scripts/install-defaults.sh' '" +
                            ZENTROVA_BINARY_DIR + "/tools/regtool/regtool' " + instance)
                               .c_str());
    };
    set("COM", std::string("/dev/ttyUSB0"), "4");
    set("RefillSpeed", std::string("fast"), "4");  // of another type: still the operator's
    for (const char* instance : {"3", "4"}) ASSERT_EQ(installDefaults(instance), 0);
    for (const char* instance : {"", "3", "4"}) {
        const bool kept = std::string(instance) == "4";
        EXPECT_EQ(
            stored("ConnectMethod IP COM PressureMeasure RefillSpeed", instance),
            kept ? "dword 1 192.168.1.100 /dev/ttyUSB0 psi fast" : "dword 1 192.168.1.100 COM1 psi dword 55")
            << instance;
    }
    EXPECT_EQ(stored("ConnectMethod", "1"), "-");
    TInstrumentModule module;
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(module.IP, TInstrumentConfiguration::DefaultIP);
}
