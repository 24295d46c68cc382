// The real program's windows on a virtual X display: each one has the program's own position
// before it appears (a window manager need not place it, or ask the operator to), and one that
// is not on the screen comes back with the next click. And a question open while the link to
// the instrument is lost and back: its answer starts nothing.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <algorithm>
#include <map>
#include <regex>

#include "integration/support_program.h"

namespace {

using progtest::countOf;
using progtest::waitUntil;

const std::string kLive = "#main: setMode(): mode=2; current mode=0";
// Bound of every wait: a loaded machine may be several times slower; each ends once it holds.
const int kWait = 60000;

// A window on the display as the X server and the window-manager hints see it.
struct XWindow {
    std::string id, title;
    int x = 0, y = 0, width = 0, height = 0;
    bool viewable = false;
    bool positioned = false;  // WM_NORMAL_HINTS with a user or program specified position
};

// The virtual X server of one test, and what its clients see.
class Display {
  public:
    explicit Display(const QString& screen = "1280x1024x24") {
        server_.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", screen});
        if (server_.waitForStarted(30000) &&
            waitUntil([&] { return server_.canReadLine() || server_.state() != QProcess::Running; }, 30000))
            name_ = ":" + server_.readLine().trimmed().toStdString();
    }
    ~Display() {
        wm_.kill();
        wm_.waitForFinished(3000);
        server_.kill();
        server_.waitForFinished(3000);
    }
    // Why the display cannot be used ("" when it can).
    std::string missing() const {
        for (const char* tool : {"xwininfo", "xprop", "xdotool"})
            if (QStandardPaths::findExecutable(tool).isEmpty()) return tool;
        return name_.size() > 1 ? "" : "Xvfb";
    }
    const std::string& name() const { return name_; }

    std::string run(const QString& tool, const QStringList& args) const {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", QString::fromStdString(name_));
        p.setProcessEnvironment(env);
        p.start(tool, args);
        p.waitForFinished(30000);
        return p.readAllStandardOutput().toStdString();
    }
    // The top-level windows of every client (there is no window manager in between).
    std::vector<XWindow> windows() const {
        std::vector<XWindow> out;
        const std::string tree = run("xwininfo", {"-root", "-children"});
        static const std::regex child(R"re(^\s+(0x[0-9a-f]+) "([^"]*)")re");
        std::smatch m;
        size_t from = 0;
        while (from < tree.size()) {
            const size_t end = tree.find('\n', from);
            const std::string line =
                tree.substr(from, end == std::string::npos ? std::string::npos : end - from);
            from = end == std::string::npos ? tree.size() : end + 1;
            if (!std::regex_search(line, m, child)) continue;
            XWindow w;
            w.id = m[1];
            w.title = m[2];
            const std::string info = run("xwininfo", {"-id", QString::fromStdString(w.id)});
            w.viewable = info.find("Map State: IsViewable") != std::string::npos;
            const auto number = [&info](const std::string& key) {
                const size_t at = info.find(key);
                return at == std::string::npos ? 0 : std::atoi(info.c_str() + at + key.size());
            };
            w.x = number("Absolute upper-left X:");
            w.y = number("Absolute upper-left Y:");
            w.width = number("Width:");
            w.height = number("Height:");
            const std::string hints = run("xprop", {"-id", QString::fromStdString(w.id), "WM_NORMAL_HINTS"});
            w.positioned = hints.find("user specified location") != std::string::npos ||
                           hints.find("program specified location") != std::string::npos;
            out.push_back(w);
        }
        return out;
    }
    std::vector<XWindow> shown() const {
        std::vector<XWindow> out;
        for (const XWindow& w : windows())
            if (w.viewable) out.push_back(w);
        return out;
    }
    bool isShown(const std::string& title) const {
        const auto all = shown();
        return std::any_of(all.begin(), all.end(), [&](const XWindow& w) { return w.title == title; });
    }
    XWindow window(const std::string& title) const {
        for (const XWindow& w : windows())
            if (w.title == title) return w;
        return {};
    }

    // Starts a reparenting window manager that takes the program's positions; false when there is none.
    bool startWindowManager() {
        if (QStandardPaths::findExecutable("twm").isEmpty()) return false;
        wmConfig_.setFileTemplate(QDir::tempPath() + "/twmrc-XXXXXX");
        if (!wmConfig_.open()) return false;
        wmConfig_.write("RandomPlacement\nUsePPosition \"on\"\nNoGrabServer\nDecorateTransients\n");
        for (const char* f : {"TitleFont", "ResizeFont", "MenuFont", "IconFont", "IconManagerFont"})
            wmConfig_.write(QByteArray(f) + " \"fixed\"\n");
        wmConfig_.flush();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", QString::fromStdString(name_));
        env.insert("LC_ALL", "C");
        wm_.setProcessEnvironment(env);
        wm_.start("twm", {"-f", wmConfig_.fileName()});
        return wm_.waitForStarted(30000);
    }
    // A client window by its title as the window manager's frames hold it: its absolute position;
    // viewable false when no client of that title is on the screen.
    XWindow client(const std::string& title) const {
        const std::string ids =
            run("xdotool", {"search", "--onlyvisible", "--name",
                            "^" + QRegularExpression::escape(QString::fromStdString(title)) + "$"});
        XWindow w;
        w.title = title;
        const size_t end = ids.find('\n');
        if (end == std::string::npos || end == 0) return w;
        w.id = ids.substr(0, end);
        const std::string info = run("xwininfo", {"-id", QString::fromStdString(w.id)});
        w.viewable = info.find("Map State: IsViewable") != std::string::npos;
        const auto number = [&info](const std::string& key) {
            const size_t at = info.find(key);
            return at == std::string::npos ? 0 : std::atoi(info.c_str() + at + key.size());
        };
        w.x = number("Absolute upper-left X:");
        w.y = number("Absolute upper-left Y:");
        w.width = number("Width:");
        w.height = number("Height:");
        return w;
    }
    // True once the window manager has put the client in a frame of its own.
    bool framed(const std::string& id) const {
        const std::string tree = run("xwininfo", {"-tree", "-id", QString::fromStdString(id)});
        const size_t at = tree.find("Parent window id:");
        if (at == std::string::npos) return false;
        const std::string parent = tree.substr(at, tree.find('\n', at) - at);
        return parent.find("(the root window)") == std::string::npos;
    }

  private:
    QProcess server_, wm_;
    QTemporaryFile wmConfig_;
    std::string name_;
};

// Each window and box of the program, opened through its menu or key as the operator does: it
// carries a position of the program's when it appears, centred on the main window and with room
// for its title bar; the Critical Error window too. A window taken from the screen behind the
// program's back comes back with the next click.
TEST(ProgramWindows, EveryWindowHasTheProgramsPositionBeforeItAppears) {
    ASSERT_EQ(progtest::missingProgram(), "");
    Display display;
    if (!display.missing().empty()) GTEST_SKIP() << "needs " << display.missing();
    progtest::Sandbox box;
    progtest::Sim sim(box);
    ASSERT_TRUE(sim.startPty()) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start({}, {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display.name()}})) << prog.output();
    ASSERT_TRUE(waitUntil([&] { return display.isShown("ZentrovaKVZ"); }, kWait));
    const XWindow main = display.window("ZentrovaKVZ");
    EXPECT_TRUE(main.positioned);
    // Centred on the screen.
    EXPECT_NEAR(main.x + main.width / 2, 640, 2);
    EXPECT_NEAR(main.y + main.height / 2, 512, 40);
    ASSERT_TRUE(prog.waitForLog(kLive, kWait)) << prog.logText();

    const auto centredOnMain = [&](const XWindow& w) {
        const int cx = w.x + w.width / 2, cy = w.y + w.height / 2;
        return cx >= main.x && cx <= main.x + main.width && cy >= main.y && cy <= main.y + main.height;
    };
    const auto everyOnePositioned = [&] {
        for (const XWindow& w : display.shown()) {
            EXPECT_TRUE(w.positioned) << w.title;
            EXPECT_GE(w.y, 0) << w.title;
        }
    };
    const struct {
        std::string command;
        std::string title;
        bool centred;  // on the main window (a dialog's own editor may be larger)
    } opens[] = {
        {"menu ImportExport", "Export/Import user parameters", true},
        {"menu SendLogToSupport1", "Send Log File to Support", true},
        {"menu About1", "About", true},
        {"menu Configure1", "Instrument Configuration", true},
        {"menu EditDelete1", "Edit Methods", false},
        {"menu SequenceTable1", "Edit Sequence", true},
        {"menu Load1", "  Load Sequence", true},
        {"key L", "Send Log File to Support", true},
        {"key C", "Zentrova Test Host Version 0.0", false},
        {"key H", "HPLC Module", false},
        {"key I", "Instrument", false},
        {"menu Exit1", "Warning", true},  // a real box: the close question (dismissed: No)
    };
    ASSERT_EQ(prog.control("real on"), "ok");
    for (const auto& o : opens) {
        SCOPED_TRACE(o.command);
        ASSERT_EQ(prog.control(o.command), "ok");
        ASSERT_TRUE(waitUntil([&] { return display.isShown(o.title); }, kWait)) << o.title;
        everyOnePositioned();
        if (o.centred) {
            EXPECT_TRUE(centredOnMain(display.window(o.title))) << o.title;
        }
        ASSERT_EQ(prog.control("dismiss"), "ok");
        ASSERT_TRUE(waitUntil([&] { return !display.isShown(o.title); }, kWait)) << o.title;
    }
    EXPECT_EQ(prog.state("shown"), "1") << "the close question was answered No";

    // A file dialog, from the Export button of the Export/Import window.
    ASSERT_EQ(prog.control("menu ImportExport"), "ok");
    ASSERT_TRUE(waitUntil([&] { return display.isShown("Export/Import user parameters"); }, kWait));
    ASSERT_EQ(prog.control("click Export"), "ok");
    ASSERT_TRUE(waitUntil([&] { return display.shown().size() == 3; }, kWait));
    everyOnePositioned();
    for (int left : {2, 1}) {
        ASSERT_EQ(prog.control("dismiss"), "ok");
        ASSERT_TRUE(waitUntil([&] { return int(display.shown().size()) == left; }, kWait));
    }

    // An input query, from a button of a modal editor.
    ASSERT_EQ(prog.control("menu SequenceTable1"), "ok");
    ASSERT_TRUE(waitUntil([&] { return display.isShown("Edit Sequence"); }, kWait));
    ASSERT_EQ(prog.control("click BtnAddSequence"), "ok");
    ASSERT_TRUE(waitUntil([&] { return display.isShown("Create Sequence"); }, kWait));
    everyOnePositioned();
    for (const char* title : {"Create Sequence", "Edit Sequence"}) {
        ASSERT_EQ(prog.control("dismiss"), "ok");
        ASSERT_TRUE(waitUntil([&] { return !display.isShown(title); }, kWait)) << title;
    }

    // A window the program takes as shown but that is not on the screen: the next click shows it.
    ASSERT_EQ(prog.control("menu ImportExport"), "ok");
    const std::string exportTitle = "Export/Import user parameters";
    ASSERT_TRUE(waitUntil([&] { return display.isShown(exportTitle); }, kWait));
    display.run("xdotool", {"windowunmap", "--sync", QString::fromStdString(display.window(exportTitle).id)});
    ASSERT_FALSE(display.isShown(exportTitle));
    ASSERT_EQ(prog.control("menu ImportExport"), "ok");
    EXPECT_TRUE(waitUntil([&] { return display.isShown(exportTitle); }, kWait)) << "shown again";
    everyOnePositioned();
    ASSERT_EQ(prog.control("dismiss"), "ok");

    // The Critical Error window, raised by a column too hot.
    ASSERT_EQ(sim.control("temp column 95"), "ok");
    ASSERT_TRUE(waitUntil([&] { return display.isShown("Critical Error"); }, kWait)) << prog.logText();
    everyOnePositioned();
    const XWindow error = display.window("Critical Error");
    EXPECT_TRUE(centredOnMain(error)) << error.x << "," << error.y;
    EXPECT_GE(error.y, 20) << "room for its title bar above it";
}

// Under a reparenting window manager (its frames add a title bar) each window opens in the same
// place every time it is shown, the first time too, centred on the main window; a window the
// operator minimised comes back on the screen with its menu command.
TEST(ProgramWindows, UnderAReparentingWindowManagerEachWindowOpensInTheSamePlace) {
    ASSERT_EQ(progtest::missingProgram(), "");
    Display display;
    if (!display.missing().empty()) GTEST_SKIP() << "needs " << display.missing();
    if (!display.startWindowManager()) GTEST_SKIP() << "needs twm";
    progtest::Sandbox box;
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start({}, {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display.name()}})) << prog.output();
    ASSERT_TRUE(waitUntil(
        [&] {
            const XWindow m = display.client("ZentrovaKVZ");
            return m.viewable && display.framed(m.id);
        },
        kWait));
    const XWindow main = display.client("ZentrovaKVZ");
    ASSERT_EQ(prog.control("real on"), "ok");
    const struct {
        std::string command, title;
        bool onMain;  // centred on the main window (About: on the screen, as the main window was)
    } opens[] = {
        {"menu Configure1", "Instrument Configuration", true},
        {"menu Load1", "  Load Sequence", true},
        {"menu ImportExport", "Export/Import user parameters", true},
        {"menu SendLogToSupport1", "Send Log File to Support", true},
        {"menu About1", "About", false},
    };
    for (const auto& o : opens) {
        SCOPED_TRACE(o.title);
        std::vector<std::pair<int, int>> places;
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(prog.control(o.command), "ok");
            ASSERT_TRUE(waitUntil([&] { return display.client(o.title).viewable; }, kWait));
            // The place where the window manager has put it, once it stays.
            std::pair<int, int> at{-1, -1};
            ASSERT_TRUE(waitUntil(
                [&] {
                    const XWindow w = display.client(o.title);
                    const std::pair<int, int> now{w.x, w.y};
                    const bool still = now == at && display.framed(w.id);
                    at = now;
                    return still;
                },
                kWait));
            places.push_back(at);
            const XWindow w = display.client(o.title);
            EXPECT_NEAR(w.x + w.width / 2, main.x + main.width / 2, 2) << "showing " << i + 1;
            if (o.onMain) {
                EXPECT_NEAR(w.y + w.height / 2, main.y + main.height / 2, 2) << "showing " << i + 1;
            }
            ASSERT_EQ(prog.control("dismiss"), "ok");
            ASSERT_TRUE(waitUntil([&] { return !display.client(o.title).viewable; }, kWait));
        }
        EXPECT_EQ(places[1], places[0]);
        EXPECT_EQ(places[2], places[0]);
    }

    // Minimised by the operator, the window comes back with its menu command.
    const std::string title = "Export/Import user parameters";
    ASSERT_EQ(prog.control("menu ImportExport"), "ok");
    ASSERT_TRUE(waitUntil([&] { return display.client(title).viewable; }, kWait));
    display.run("xdotool", {"windowminimize", "--sync", QString::fromStdString(display.client(title).id)});
    ASSERT_TRUE(waitUntil([&] { return !display.client(title).viewable; }, kWait));
    ASSERT_EQ(prog.control("menu ImportExport"), "ok");
    EXPECT_TRUE(waitUntil([&] { return display.client(title).viewable; }, kWait)) << "shown again";
}

// On a screen smaller than the windows, a dialog that Qt would leave where it was (at the
// screen's corner, before and after it is laid out) still carries the program's position.
TEST(ProgramWindows, OnAScreenSmallerThanTheWindowsEachOneStillHasItsPosition) {
    ASSERT_EQ(progtest::missingProgram(), "");
    Display display("400x300x24");
    if (!display.missing().empty()) GTEST_SKIP() << "needs " << display.missing();
    progtest::Sandbox box;
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start({}, {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display.name()}})) << prog.output();
    ASSERT_TRUE(waitUntil([&] { return display.isShown("ZentrovaKVZ"); }, kWait));
    ASSERT_EQ(prog.control("menu ImportExport"), "ok");
    ASSERT_TRUE(waitUntil([&] { return display.isShown("Export/Import user parameters"); }, kWait));
    ASSERT_EQ(prog.control("click Export"), "ok");
    ASSERT_TRUE(waitUntil([&] { return display.shown().size() == 3; }, kWait));
    for (const XWindow& w : display.shown()) {
        EXPECT_TRUE(w.positioned) << w.title;
        EXPECT_GE(w.y, 0) << w.title;
    }
}

// Flush Both Pumps asks its question; the instrument falls silent and answers again while the
// question is open (the halt goes out). The box says the link was lost, under a title that
// fits, and Yes starts nothing: after the halt the instrument hears no valve or pump command.
// The LCD and the status bar no longer show what ran.
TEST(ProgramWindows, AQuestionOpenWhileTheLinkIsLostStartsNothing) {
    ASSERT_EQ(progtest::missingProgram(), "");
    progtest::Sandbox box;
    progtest::Sim sim(box);
    ASSERT_TRUE(sim.startPty()) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start()) << prog.output();
    ASSERT_TRUE(prog.waitForLog(kLive, kWait)) << prog.logText();

    ASSERT_EQ(prog.control("hold on"), "ok");
    ASSERT_EQ(prog.control("menu FlushBothPumps"), "ok");
    ASSERT_TRUE(waitUntil([&] { return prog.control("open") == "1"; }, kWait));
    // The connect's halt is whole: what follows the loss is counted from here.
    ASSERT_TRUE(waitUntil([&] { return sim.nonQueries().size() >= 6; }, kWait));
    const size_t halted = sim.nonQueries().size();
    const auto haltsSinceLoss = [&] {
        const auto all = sim.nonQueries();
        return int(std::count(all.begin() + long(halted), all.end(), "OFF 2"));
    };
    const int outages = countOf(prog.logText(), "#main: Connection lost");
    const int returns = countOf(prog.logText(), kLive);
    ASSERT_EQ(sim.control("silent on"), "ok");
    ASSERT_TRUE(prog.waitForLog("#main: Connection lost", kWait, outages + 1)) << prog.logText();
    ASSERT_EQ(sim.control("silent off"), "ok");
    ASSERT_TRUE(prog.waitForLog(kLive, kWait, returns + 1)) << prog.logText();
    EXPECT_NE(prog.control("boxes").find(
                  "Unrecoverable Error!: Lost connection with Instrument. Nothing was started."),
              std::string::npos)
        << prog.control("boxes");
    ASSERT_EQ(prog.control("answer yes"), "ok");
    ASSERT_TRUE(waitUntil([&] { return prog.control("open") == "0"; }, kWait));
    // The link-back halt is whole (its second OFF 2), and some status polls later there is
    // still nothing but the halt.
    ASSERT_TRUE(waitUntil([&] { return haltsSinceLoss() >= 2; }, kWait)) << prog.logText();
    ASSERT_TRUE(sim.waitForPolls(4));
    const auto all = sim.nonQueries();
    for (size_t i = halted; i < all.size(); ++i)
        EXPECT_TRUE(all[i].rfind("OFF ", 0) == 0 || all[i].find("HEAT OFF") != std::string::npos) << all[i];
    for (const std::string& c : all) EXPECT_EQ(c.rfind("VALVE", 0), std::string::npos) << c;
    EXPECT_EQ(prog.state("mode"), "2");
    EXPECT_EQ(countOf(prog.logText(), "#main: setMode(): mode=11"), 0);
}

// File > Exit while the instrument answers nothing: the halt is not confirmed, and before the
// program ends a box says the instrument may still be heating or pumping; the program ends once
// the operator has read it. The simulator's heaters are indeed still on.
TEST(ProgramWindows, ExitAgainstASilentInstrumentSaysItMayStillHeat) {
    ASSERT_EQ(progtest::missingProgram(), "");
    progtest::Sandbox box;
    progtest::Sim sim(box);
    ASSERT_TRUE(sim.startPty()) << sim.output();
    ASSERT_TRUE(box.setting("ConnectMethod", 2));
    ASSERT_TRUE(box.setting("COM", sim.ptyPath()));
    ASSERT_TRUE(
        box.import("[HKCU\\Software\\TressivanLabs\\Zentrova\\Methods\\Hot]\n"
                   "\"ColumnT\"=sz:40\n\"ReactorT\"=sz:45\n"
                   "[HKCU\\Software\\TressivanLabs\\Zentrova\\Sequences\\Hot\\0000001]\n"
                   "\"Name\"=sz:Hot\n\"Repeat\"=sz:1\n"));
    progtest::Program prog(box);
    ASSERT_TRUE(prog.start()) << prog.output();
    ASSERT_EQ(prog.control("sequence Hot"), "ok");
    ASSERT_TRUE(prog.waitForLog(kLive, kWait)) << prog.logText();
    ASSERT_EQ(prog.control("menu Enable1"), "ok");
    const auto heating = [&] { return countOf(sim.control("status"), "heat=on") == 2; };
    ASSERT_TRUE(waitUntil(heating, kWait)) << sim.control("status");

    ASSERT_EQ(sim.control("silent on"), "ok");
    ASSERT_EQ(prog.control("hold on"), "ok");
    ASSERT_EQ(prog.control("answer yes"), "ok");  // the close question
    ASSERT_EQ(prog.control("menu Exit1"), "ok");
    ASSERT_TRUE(prog.waitForLog("#main: The instrument did not confirm the halt; program ends", kWait))
        << prog.logText();
    const std::string warning =
        "Warning: The instrument did not confirm the halt: it may still be heating or pumping.";
    ASSERT_TRUE(waitUntil([&] { return prog.control("boxes").find(warning) != std::string::npos; }, kWait))
        << prog.control("boxes");
    EXPECT_EQ(prog.control("open"), "1") << "the program waits on the box";
    EXPECT_TRUE(heating()) << sim.control("status");
    ASSERT_EQ(prog.control("answer ok"), "ok");
    EXPECT_TRUE(prog.waitForExit(kWait));
    EXPECT_EQ(prog.exitCode(), 0);
}

}  // namespace
