#include "ui/MainForm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "link/ChemStation.h"
#include "link/FTDI.h"
#include "link/FZentrova.h"
#include "link/HPLC.h"
#include "link/Instrument.h"
#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "link/ZentrovaAPI.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/EndSignals.h"
#include "platform/Help.h"
#include "platform/Instance.h"
#include "platform/MessageWindow.h"
#include "platform/SystemInfo.h"
#include "platform/i18n.h"
#include "ui/ChangeSeal.h"
#include "ui/Configuration.h"
#include "ui/ErrorMessages.h"
#include "ui/LCDFrame.h"
#include "ui/Logo.h"
#include "ui/PressureTest.h"
#include "unicode/UxControls.h"

TMainForm* MainForm = nullptr;
int32_t MainLoopSkipTicks = 5;

namespace {
// The end reason the main window records when the critical-error monitor stops a sequence.
constexpr uint8_t SequenceStoppedOnError = 3;

// Modes that run a procedure; the sequence's three modes are one run.
bool isProcedureMode(uint8_t m) {
    return m == 6 || (m >= 7 && m <= 9) || (m >= 11 && m <= 18);
}
bool isRunMode(uint8_t m) {
    return m >= 7 && m <= 9;
}
bool isMode(uint8_t m) {
    return m <= 19 && m != 5 && m != 10;
}
bool isPressureTestMode(uint8_t m) {
    return m == 14 || m == 15;
}
constexpr uint8_t HaltedMode = 4;

QColor bgr(uint32_t v) {
    return QColor(int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF));
}
}  // namespace

// Once the program is ending, the instrument hears nothing but the halt: every other command,
// whatever window or event still asks for it, is refused here and logged. The queue the halt
// waits in is not cleared by anything else either.
class EndGate : public ZentrovaLink {
  public:
    explicit EndGate(ZentrovaLink* inner) : inner_(inner), innerObject_(dynamic_cast<QObject*>(inner)) {}
    // The link the gate stands in front of (nullptr once it is gone).
    ZentrovaLink* inner() const { return innerObject_.isNull() && isObject_ ? nullptr : inner_; }
    bool haltPasses = false;

    void QueueCommand(const std::string& line) override {
        if (haltPasses && inner())
            inner()->QueueCommand(line);
        else
            logLine("#main: The program is ending; command not sent: " + line);
    }
    void ClearQueue() override {
        if (haltPasses && inner()) inner()->ClearQueue();
    }
    void SetStatusQuery(const std::string& query) override {
        if (inner()) inner()->SetStatusQuery(query);
    }
    std::string_view LastLine() const override { return inner() ? inner()->LastLine() : std::string_view(); }
    void SetOnStatusLine(std::function<void()> handler) override {
        if (inner()) inner()->SetOnStatusLine(std::move(handler));
    }

  private:
    ZentrovaLink* inner_;
    QPointer<QObject> innerObject_;
    bool isObject_ = innerObject_ != nullptr;
};

// ---------------------------------------------------------------- front-panel shapes

TShapeImage::TShapeImage(Shape shape, QWidget* parent) : QWidget(parent), shape_(shape) {}

void TShapeImage::SetBrushColor(const QColor& c) {
    if (brush_ == c) return;
    brush_ = c;
    update();
}

void TShapeImage::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(brush_);
    QRect r = rect().adjusted(0, 0, -1, -1);
    if (shape_ == Circle) {
        const int d = std::min(r.width(), r.height());
        r = QRect(r.left() + (r.width() - d) / 2, r.top() + (r.height() - d) / 2, d, d);
    }
    p.drawEllipse(r);
}

void TShapeImage::mousePressEvent(QMouseEvent* e) {
    if (!OnMouseDown) return QWidget::mousePressEvent(e);
    try {
        OnMouseDown(e->button());
    } catch (const std::exception& ex) {
        showException(ex);
    }
}

// ---------------------------------------------------------------- creation

TMainForm::TMainForm(const std::vector<std::string>& args, QWidget* owner) : TUxForm(owner), args_(args) {
    if (!MainForm) MainForm = this;
    setMainWindow(this);
    setObjectName("MainForm");
    SetCaption("ZentrovaKVZ");
    setFont(QFont("MS Sans Serif"));
    buildComponents();
    OnShow = [this] {
        // Centred on the screen when it first appears, once its auto-size is known.
        if (!placed_) CentreOn(nullptr);
        placed_ = true;
        FormShow();
    };
    OnCloseQuery = [this](bool& canClose) {
        TCloseAction action = caFree;
        FormClose(action);
        canClose = action != caNone;
    };
    // The application ends with its main window, whatever other window is still open.
    OnClose = [] { QCoreApplication::quit(); };
    FormCreate();
}

TMainForm::~TMainForm() {
    if (Timer1) Timer1->stop();
    if (gate_ && TZentrovaAPI::Link() == gate_.get()) TZentrovaAPI::SetLink(gate_->inner());
    if (MainForm == this) {
        MainForm = nullptr;
        OnWhatRuns = nullptr;
    }
}

void TMainForm::buildComponents() {
    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(1000);
    connectTimer(Timer1, this, [this] { Timer1Timer(); });

    LCDScreen1 = new TLCDScreen(this);
    LCDScreen1->setObjectName("LCDScreen1");
    LCDScreen1->setFixedSize(496, 305);

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedWidth(81);
    Panel1->setAutoFillBackground(true);
    QPalette pal = Panel1->palette();
    pal.setColor(QPalette::Window, bgr(0xF0CAA6));  // sky blue
    Panel1->setPalette(pal);

    auto shape = [this](TShapeImage::Shape s, const char* name, QRect geo) {
        auto* img = new TShapeImage(s, Panel1);
        img->setObjectName(name);
        img->setGeometry(geo);
        return img;
    };
    auto label = [this](const char* text, const char* name, QPoint at) {
        auto* l = new QLabel(QString::fromUtf8(text), Panel1);
        l->setObjectName(name);
        l->move(at);
        return l;
    };
    LogoImg = new QLabel(Panel1);
    LogoImg->setObjectName("LogoImg");
    LogoImg->setGeometry(8, 8, 65, 40);
    LogoImg->setPixmap(ZentrovaLogo(LogoImg->size(), LogoImg->devicePixelRatioF()));
    RedLightImg = shape(TShapeImage::Circle, "RedLightImg", QRect(28, 70, 24, 24));
    RedLightImg->SetBrushColor(bgr(0x000080));  // maroon
    StopBtnImg = shape(TShapeImage::Ellipse, "StopBtnImg", QRect(12, 120, 57, 30));
    StopBtnImg->SetBrushColor(Qt::white);
    StopBtnImg->setCursor(Qt::PointingHandCursor);
    StopBtnImgLbl = label(" STOP ", "StopBtnImgLbl", QPoint(22, 152));
    ModeBtnImg = shape(TShapeImage::Ellipse, "ModeBtnImg", QRect(12, 180, 57, 30));
    ModeBtnImg->SetBrushColor(Qt::white);
    ModeBtnImgLbl = label("MODE ", "ModeBtnImgLbl", QPoint(24, 212));
    SelectBtnImg = shape(TShapeImage::Ellipse, "SelectBtnImg", QRect(12, 240, 57, 30));
    SelectBtnImg->SetBrushColor(Qt::white);
    SelectBtnImgLbl = label("SELECT ", "SelectBtnImgLbl", QPoint(20, 272));

    auto* body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);
    body->addWidget(LCDScreen1);
    body->addWidget(Panel1);
    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(0);
    SetupCommands(this);
    // Every command of the window passes one guard: once a close is confirmed none runs, so
    // nothing opens a window that holds the end or starts what the halt stopped.
    for (TUxMenuItem* item : findChildren<TUxMenuItem*>()) {
        if (!item->OnClick) continue;
        item->OnClick = [this, name = item->objectName().toStdString(), click = std::move(item->OnClick)] {
            if (!RefusesCommand(name)) click();
        };
    }
    if (StopBtnImg->OnMouseDown)
        StopBtnImg->OnMouseDown = [this, press = std::move(StopBtnImg->OnMouseDown)](Qt::MouseButton b) {
            if (!RefusesCommand("StopBtnImg")) press(b);
        };
    if (OnKeyDown)
        OnKeyDown = [this, keyDown = std::move(OnKeyDown)](int& key, Qt::KeyboardModifiers shift) {
            if (!closing_) keyDown(key, shift);
        };
    top->setMenuBar(MainMenu1);
    top->addLayout(body);
    top->addWidget(StatusBar1);
    top->setSizeConstraint(QLayout::SetFixedSize);  // auto-sized
}

void TMainForm::FormCreate() {
    TranslateComponent(this);
    iMode = 2;
    Timer1->start();
    Instance = instanceFromArgs(args_);
    setInstance(Instance);
    UpdateCaption();
    SelectHelpFile();
    Help::setTopic(this, 0);  // F1 opens the index, as Help > Index does
    Valve1ResendTimer.Start(5);
    Valve2ResendTimer.Start(5);
    // What a save of the settings would stop, for its question.
    OnWhatRuns = [this] {
        if (isProcedureMode(iMode)) return RunningNow::Operation;
        return InstrumentMayRun() ? RunningNow::HeatersOrPumps : RunningNow::Nothing;
    };
    // One box per outage of the daily log; its window keeps the text while it lasts.
    OnLogTrouble = [](const QString& text) {
        messageBox(text, _("Warning"), MsgButtons::OK, mrOk, MsgIcon::Warning);
    };
}

void TMainForm::UpdateCaption() {
    const std::string label =
        TStoredParams::ReadRegistryString(TStoredParams::InstrumentRegistryKey(), "InstrumentLabel");
    if (!label.empty())
        SetCaption(QString::fromStdString(label));
    else if (!args_.empty())
        SetCaption(_("Instrument ") + QString::fromStdString(Instance));
    else
        SetCaption("ZentrovaKVZ");
}

void TMainForm::SelectHelpFile() {
    const std::string name = Help::languageFile(SystemInfo::programDir(), i18n::language());
    if (!name.empty()) Help::setHelpFile(name);
}

void TMainForm::FormShow() {
    LCDScreen1->Init();
}

// ---------------------------------------------------------------- close

namespace {

// One short wait of the ending: with an event loop timers and painting go on; without one only
// the link's messages run (the windows' own events would paint on a display that may be gone).
void endingWait(bool eventLoop, int ms) {
    if (eventLoop) {
        QEventLoop wait;
        QTimer::singleShot(ms, &wait, &QEventLoop::quit);
        wait.exec();
        return;
    }
    // Replies arrive as window messages (serial) or are read here (USB).
    dispatchQueuedMessages();
    if (FZentrova && FZentrova->TimerCommand->isActive()) FZentrova->TimerCommandTimer();
    QThread::msleep(unsigned(ms));
}

// Sends the halt and paces it out of the link's queue in place of the link's poll, which stops
// so that no status query joins the queue behind the halt: each command waits for its reply, at
// most replyWaitMs. Once the instrument left a command unanswered that long, the rest go a short
// gap apart: a halt of up to nine commands must not wait seconds on each.
//
// A status reply still on its way ends with the prompt that also answers a command: a halt
// command sent before that prompt came would be taken as answered by it, and each later one by
// its predecessor's reply, so the halt would count as confirmed before its last command was
// answered, and the link closed behind it. The halt therefore waits for a reply that is owed
// when it begins, and that reply's prompt, a reply's wait at most. A link that is not open is
// opened first where the ending allows it, so that an instrument left running hears the halt.
class HaltPacer {
  public:
    static constexpr qint64 SilentGapMs = 100;

    HaltPacer(qint64 replyWaitMs, std::function<void()> halt, bool openLink = false)
        : replyWaitMs_(replyWaitMs), halt_(std::move(halt)) {
        total_.start();
        sinceSend_.start();
        if (FZentrova) {
            FZentrova->Timer1->stop();
            FZentrova->RepliesAwaitedByPacer = true;
            // Nothing queued before the halt leaves while it waits.
            FZentrova->ClearQueue();
            if (openLink && !FZentrova->IsConnected() && InstrumentModule) {
                InstrumentModule->Reconnect();
                if (FZentrova->IsConnected()) logLine("#main: The link was opened for the halt");
            }
            statusOwed_ = FZentrova->IsConnected() && FZentrova->PendingStatus > 0;
        }
        if (settled()) haltNow();
    }
    ~HaltPacer() {
        if (FZentrova) FZentrova->RepliesAwaitedByPacer = false;
    }
    HaltPacer(const HaltPacer&) = delete;
    HaltPacer& operator=(const HaltPacer&) = delete;
    // Sends what may go now; true once nothing is left to send or to await (or can no longer be).
    bool pass() {
        if (!halted_) {
            if (!settled() && sinceSend_.elapsed() <= replyWaitMs_) return false;
            haltNow();
        }
        if (!FZentrova || !FZentrova->IsConnected()) return true;
        if (FZentrova->CommandQueue.Count() == 0 && FZentrova->PendingAcks == 0) return true;
        if (FZentrova->CommandQueue.Count() != left_) {
            left_ = FZentrova->CommandQueue.Count();
            sinceSend_.restart();
        } else if (sinceSend_.elapsed() > (forced_ ? std::min(SilentGapMs, replyWaitMs_) : replyWaitMs_)) {
            FZentrova->PendingAcks = 0;
            FZentrova->PendingStatus = 0;
            forced_ = true;
            sinceSend_.restart();
        }
        FZentrova->processCommandQueue();
        return false;
    }
    // Every command left and each was answered.
    bool confirmed() const {
        return halted_ && FZentrova && FZentrova->IsConnected() && FZentrova->CommandQueue.Count() == 0 &&
               FZentrova->PendingAcks == 0 && !forced_;
    }
    qint64 elapsedMs() const { return total_.elapsed(); }

  private:
    // No reply is owed that a halt command could be taken for answered by.
    bool settled() const {
        if (!FZentrova || !FZentrova->IsConnected()) return true;
        if (FZentrova->PendingStatus > 0 || FZentrova->PendingAcks > 0) return false;
        const uint8_t last = FTDI.IsOpen() ? TFZentrova::PrevUSBByte : TFZentrova::PrevByte;
        return !statusOwed_ || last == '>' || last == '!';
    }
    void haltNow() {
        if (FZentrova && !settled()) {
            // The owed reply did not come in time: the halt goes without it.
            FZentrova->PendingAcks = 0;
            FZentrova->PendingStatus = 0;
            forced_ = true;
        }
        halted_ = true;
        if (halt_) halt_();
        left_ = FZentrova ? FZentrova->CommandQueue.Count() : 0;
        sinceSend_.restart();
        if (FZentrova) FZentrova->processCommandQueue();
    }

    qint64 replyWaitMs_;
    std::function<void()> halt_;
    int32_t left_ = 0;
    bool forced_ = false;
    bool halted_ = false;
    bool statusOwed_ = false;
    // A stop on the way out uses up neither the drain's time nor a reply's.
    mutable EndSignals::RunningClock total_;
    EndSignals::RunningClock sinceSend_;
};

// Lets the rest of the halt leave, though no reply is awaited for long and the whole takes
// limitMs at most since the halt; true when every command left and was answered.
bool drainHalt(HaltPacer& pacer, bool eventLoop, int32_t limitMs) {
    while (!pacer.pass()) {
        if (pacer.elapsedMs() > limitMs) return false;
        endingWait(eventLoop, 10);
    }
    return pacer.confirmed();
}

// Milliseconds a command of the halt waits for its reply.
constexpr qint64 ReplyWaitMs = 1000;
// Seconds the process may still take once a close is confirmed, besides the countdown and the
// halt's own time: the windows go and the store closes.
constexpr int CloseGraceSeconds = 3;

void logHaltOutcome(bool connected, bool confirmed) {
    logLine(!connected  ? "#main: Not connected to the instrument; program ends"
            : confirmed ? "#main: Instrument halted; program ends"
                        : "#main: The instrument did not confirm the halt; program ends");
}

}  // namespace

bool TMainForm::RefusesCommand(const std::string& name) const {
    if (!closing_) return false;
    logLine("#main: The program is ending; command refused: " + name);
    return true;
}

bool TMainForm::InstrumentMayRun() const {
    if (!InstrumentModule) return false;
    const TInstrumentModule& m = *InstrumentModule;
    return m.Enabled || isProcedureMode(iMode) || lostWhileRunning_ || ZentrovaAPI.Pump1.State != 0 ||
           (!m.SinglePump && ZentrovaAPI.Pump2.State != 0);
}

void TMainForm::closeGate() {
    if (!gate_) gate_ = std::make_unique<EndGate>(TZentrovaAPI::Link());
    if (TZentrovaAPI::Link() != gate_.get()) TZentrovaAPI::SetLink(gate_.get());
}

void TMainForm::haltThroughGate() {
    const bool gated = gate_ && TZentrovaAPI::Link() == gate_.get();
    if (gated) gate_->haltPasses = true;
    try {
        HaltInstrument();
    } catch (...) {
        if (gated) gate_->haltPasses = false;
        throw;
    }
    if (gated) gate_->haltPasses = false;
}

void TMainForm::FormClose(TCloseAction& action) {
    if (closing_) {
        // A second request during the countdown: the first one is already closing.
        action = caNone;
        return;
    }
    if (messageBox(_("You asked to close ZentrovaKVZ software.\nPlease, confirm."), _("Warning"),
                   MsgButtons::YesNo, mrNo, MsgIcon::Warning) != mrYes) {
        action = caNone;
        return;
    }
    closing_ = true;
    Timer1->stop();
    // Nothing the countdown lets run (a menu command, a window still open) holds the end.
    if (BoundTheEnd)
        BoundTheEnd(CloseCountdownSeconds + int((EndDrainMs + ReplyWaitMs) / 1000) + CloseGraceSeconds);
    const bool mayRun = InstrumentMayRun();
    closeGate();
    // The halt goes out first and is paced out during the countdown, so the pump-off and
    // heater-off commands reach the instrument before the link closes; a slow instrument holds
    // the close past the countdown until the halt has left (EndDrainMs at most).
    HaltPacer pacer(
        ReplyWaitMs, [this] { guarded([this] { haltThroughGate(); }); }, true);
    bool left = false;

    const int64_t start = appClock().seconds();
    int64_t last = 0;
    for (int64_t elapsed = 0; elapsed < CloseCountdownSeconds || !left;
         elapsed = appClock().seconds() - start) {
        if (elapsed != last && elapsed < CloseCountdownSeconds) {
            LCDScreen1->SetMessage(fillFirst(_("Closing Application in %s sec"),
                                             QString::number(CloseCountdownSeconds - elapsed)));
            last = elapsed;
        }
        guarded([&] { left = pacer.pass(); });
        left = left || pacer.elapsedMs() > EndDrainMs + ReplyWaitMs;
        // Timers and painting go on; the wait does not spin.
        endingWait(true, 20);
    }
    const bool connected = FZentrova && FZentrova->IsConnected();
    const bool confirmed = pacer.confirmed();
    logHaltOutcome(connected, confirmed);
    guarded([this] { closeLink(true); });
    // The operator stands by the instrument: one that may still heat or pump is named before the
    // end, and the box waits for the operator.
    if (connected ? !confirmed : mayRun) {
        if (BoundTheEnd && !ending_) BoundTheEnd(0);
        messageBox(_("The instrument did not confirm the halt: it may still be heating or pumping.\n\nCheck "
                     "the instrument and switch its heaters and pumps off there."),
                   _("Warning"), MsgButtons::OK, mrOk, MsgIcon::Warning);
    }
}

void TMainForm::closeLink(bool onlyAlive) {
    if (!InstrumentModule) return;
    InstrumentModule->StopUSBPolling();
    // A confirmed close leaves a silent link to the end of the process; a link that is not open
    // stays closed, since the reconnect would open it.
    if (onlyAlive && !InstrumentModule->IsConnectionAlive()) return;
    if (FZentrova && FZentrova->IsConnected()) InstrumentModule->Reconnect();
}

void TMainForm::EndWithoutQuestion(const std::string& reason) {
    endNow(reason, true);
}

void TMainForm::HaltBeforeExit(const std::string& reason) {
    endNow(reason, false);
}

void TMainForm::endNow(const std::string& reason, bool eventLoop) {
    if (ending_) return;
    ending_ = true;
    closing_ = true;
    Timer1->stop();
    logLine("#main: " + reason + ": closing without confirmation");
    closeGate();
    // Without an event loop the window system may be gone: an error goes to the diagnostic
    // output, since a box would need the display.
    const auto step = [this, eventLoop](auto&& f) {
        if (eventLoop) return guarded(f);
        try {
            f();
        } catch (const std::exception& e) {
            qWarning("%s", e.what());
        } catch (...) {
        }
    };
    bool confirmed = false;
    // Halted again even inside a confirmed close: its halt may still wait in the queue. Without
    // an event loop the replies of a serial or TCP/IP link are not seen: a short gap between the
    // commands must do, and no link is opened.
    step([&] {
        HaltPacer pacer(
            eventLoop ? ReplyWaitMs : HaltPacer::SilentGapMs, [&] { step([this] { haltThroughGate(); }); },
            eventLoop);
        confirmed = drainHalt(pacer, eventLoop, EndDrainMs);
    });
    const bool connected = FZentrova && FZentrova->IsConnected();
    // Said before the link closes: without an event loop a closing port may let the window
    // system run, which ends a process whose display is gone at once.
    logHaltOutcome(connected, confirmed);
    step([this] { closeLink(false); });
}

// ---------------------------------------------------------------- settings

bool TMainForm::ApplySettings() {
    if (closing_) return false;
    const bool operation = isProcedureMode(iMode);
    // The main loop waits while the halt leaves: no step of the operation follows it.
    const bool ticking = Timer1->isActive();
    Timer1->stop();
    if (operation) {
        // Left as a disable leaves it: its boxes close and say so; a sequence is tidied up as at
        // its end.
        const bool run = isRunMode(iMode);
        SetMode(19);
        if (run) sequenceCleanUp();
    }
    bool confirmed = false;
    guarded([&] {
        HaltPacer pacer(ReplyWaitMs, [this] { guarded([this] { HaltInstrument(); }); });
        confirmed = drainHalt(pacer, true, EndDrainMs);
    });
    // The program began to end meanwhile (a signal): its own halt went out, and no link opens.
    if (closing_) return false;
    logLine(std::string("#main: Settings saved; ") +
            (!FZentrova || !FZentrova->IsConnected() ? "not connected to the instrument"
             : confirmed                             ? "instrument halted"
                                                     : "the instrument did not confirm the halt") +
            "; the link opens anew");
    if (FZentrova) FZentrova->Timer1->start();
    if (InstrumentModule) InstrumentModule->ReloadSettings();
    if (HPLCModule) HPLCModule->LoadHPLCType();
    if (ChemStation1) ChemStation1->CloseLink();
    UpdateCaption();
    // The outage the new settings begin: the link opens again with them at once.
    guarded([this] {
        if (InstrumentModule) lostLink();
    });
    lostWhileRunning_ = lostWhileRunning_ && !confirmed;
    if (operation) LCDScreen1->SetMessage(_("SETTINGS CHANGED, OPERATION STOPPED"));
    if (ticking && !closing_) Timer1->start();
    return true;
}

// ---------------------------------------------------------------- main loop

template <class F>
void TMainForm::guarded(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        showException(e);
    } catch (...) {
        showException(_("Unknown error"));
    }
}

void TMainForm::Timer1Timer() {
    if (MainLoopSkipTicks != 0) {
        --MainLoopSkipTicks;
        return;
    }
    if (closing_ || !InstrumentModule) return;
    InstrumentModule->SyncPumpCount();
    if (HPLCModule) HPLCModule->SetRelayInput(InstrumentModule->GetRelayInput());
    UpdateRunSignal();
    copyLiveValues();
    if (InstrumentModule->IsConnectionAlive()) {
        if (lostTicks_ > 0) linkBack();
        linkedOnce_ = true;
        CheckErrors();
        checkValveState();
        stepMode();
        // The release of a pressure test's path that a stop left under pressure follows the
        // halt (a link back halts in the step above), while nothing else drives the pumps.
        if (PressureTest && PressureTest->ReleasePending() && !isProcedureMode(iMode))
            PressureTest->ReleaseStep();
        UpdateMenus(iMode);
    } else {
        lostLink();
    }
    LCDScreen1->SetSinglePump(InstrumentModule->SinglePump);
    LCDScreen1->Redraw();
}

void TMainForm::copyLiveValues() {
    TInstrumentModule& m = *InstrumentModule;
    TLCDScreen& lcd = *LCDScreen1;
    lcd.SetReactorTemperature(m.GetReactorTemperature());
    lcd.SetReactorSetPoint(m.GetReactorSetPoint());
    lcd.SetColumnTemperature(m.GetColumnTemperature());
    lcd.SetColumnSetPoint(m.GetColumnSetPoint());
    lcd.SetPump1Pressure(m.GetPump1Pressure());
    lcd.SetPump2Pressure(m.GetPump2Pressure());
    lcd.SetPump1Rate(m.GetPump1Rate());
    lcd.SetPump2Rate(m.GetPump2Rate());
    lcd.SetPressureUnit(m.PressureUnit == 1);
    if (m.SinglePump) {
        lcd.SetPump2Volume(m.GetPump1Volume());
    } else {
        lcd.SetPump1Volume(m.GetPump1Volume());
        lcd.SetPump2Volume(m.GetPump2Volume());
    }
}

void TMainForm::stepMode() {
    TInstrumentModule& m = *InstrumentModule;
    // A step that opens a box returns after the ticks under the box may have left its mode (or
    // ended the procedure and started another: every mode change does): the end of a procedure
    // that is no longer running changes nothing. A procedure that ends by itself is finished:
    // its boxes stay as they are.
    const uint8_t stepped = iMode;
    const uint64_t procedure = currentProcedure();
    const auto ended = [&](bool busy) {
        if (busy || currentProcedure() != procedure) return false;
        finishProcedure();
        return true;
    };
    switch (iMode) {
        case 0:
            SetMode(2);
            LCDScreen1->SetMode(0);
            break;
        case 3:
            LCDScreen1->SetMode(0);
            SetMode(2);
            break;
        case 6:
            if (ended(m.PumpOnStep())) PumpOnDone();
            break;
        case 7:
        case 8:
        case 9:
            if (ended(!m.bRun(iMode - 7))) SequenceFinished();
            LCDScreen1->SetMode(1);
            break;
        case 11:
            if (ended(m.FlushStep())) FlushDone();
            break;
        case 12:
            if (ended(m.RefillStep())) RefillDone();
            break;
        case 13:
            if (ended(m.StorageProcedureStep())) StorageDone();
            break;
        case 14:
        case 15: {
            const bool busy = PressureTest && PressureTest->Step();
            if (ended(busy)) stepped == 14 ? PressureTestDone() : SystemPressureTestDone();
            break;
        }
        case 16:
            if (ended(m.EmptyStep())) EmptyDone();
            break;
        case 17:
            if (ended(m.InstrumentFlushStep())) InstrumentFlushDone();
            break;
        case 18: {
            const bool busy = ChangeSeal && ChangeSeal->Step();
            if (ended(busy)) SealChangeDone();
            break;
        }
        default:
            LCDScreen1->SetMode(0);
            break;
    }
}

void TMainForm::lostLink() {
    // What the stopped run or procedure queued is not for the instrument: the halt is the first
    // thing it hears once the link is back (the link's status polls are queued anew).
    InstrumentModule->ClearCommandQueue();
    InstrumentModule->Reconnect();
    UpdateMenus(0);
    logLine("#main: Connection lost");
    if (lostTicks_++ == 0) {
        lostWhileRunning_ = InstrumentMayRun();
        // A question whose Yes would start something says why it no longer can.
        if (endLinkSession(_("Lost connection with Instrument. Nothing was started."),
                           _("Unrecoverable Error!")))
            logLine("#main: The link was lost under a question; nothing was started");
        forgetRun();
    }
    SetMode(0);
}

void TMainForm::forgetRun() {
    // The panel would otherwise go on saying what no longer holds: "REFILL STARTED" or
    // "Instrument Enabled. Heaters are On." while the link-back halt has stopped and disabled
    // everything, and a stopped procedure (a storage preparation half done) would pass for one
    // that finished once the window reads READY again. The halt text stays: it remains true.
    const QString message =
        isProcedureMode(iMode) ? _("Lost connection with Instrument. Operation stopped.") : QString();
    if (iMode != HaltedMode && LCDScreen1->String1->GetCaption() != message) LCDScreen1->SetMessage(message);
    if (isRunMode(iMode)) {
        SetStatusText(1, QString());
        const std::string method = InstrumentModule ? InstrumentModule->Method.Name : std::string();
        SetStatusText(
            2, method.empty() ? _("Method: NOT LOADED") : _("Method: ") + QString::fromStdString(method));
    }
}

void TMainForm::linkBack() {
    logLine(cformat(
        linkedOnce_ ? "#main: Connection back after %u %s without it" : "#main: Connected after %u %s",
        lostTicks_, lostTicks_ == 1 ? "tick" : "ticks"));
    lostTicks_ = 0;
    lostWhileRunning_ = false;
}

void TMainForm::UpdateRunSignal() {
    if (!InstrumentModule) return;
    const uint8_t state = HPLCModule ? HPLCModule->GetState() : uint8_t(hsNoHPLC);
    bool signal = false;
    if (state == hsRunning)
        signal = true;
    else if (state == hsNoHPLC)
        signal = InstrumentModule->EquilTimer.IsExpired();
    InstrumentModule->RunSignal = signal;
}

bool TMainForm::CheckErrors() {
    if (!ErrorMessagesDialog || !InstrumentModule) return false;
    const bool inSequence = iMode == 7 || iMode == 8 || iMode == 9;
    // A refill, flush, empty or pressure test pumps on a disabled instrument: the condition
    // stops it as it stops an enabled one.
    const bool pumping = isProcedureMode(iMode);
    const bool result = ErrorMessagesDialog->CheckInstrumentErrors(InstrumentModule->SinglePump);
    if (result && (InstrumentModule->Enabled || pumping)) {
        // The monitor says why; the second line may hold another condition's text.
        const QString reason = ErrorMessagesDialog->CriticalReason;
        // A sequence stopped by the monitor ends "on error", not as a normal end.
        if (inSequence) {
            InstrumentModule->SequenceEndReason = SequenceStoppedOnError;
            InstrumentModule->SequenceStopReason = reason;
        }
        SetInstrumentEnabled(false);
        if (!reason.isEmpty()) LCDScreen1->SetStopReason(reason);
    }
    // The sequence was left for another mode: tidy up as its normal end does, without a
    // second mode change.
    if (inSequence && iMode != 7 && iMode != 8 && iMode != 9) sequenceCleanUp();
    return result;
}

bool TMainForm::checkValveState() {
    if (iMode != 7 || !InstrumentModule) return true;
    TInstrumentModule& m = *InstrumentModule;
    if (m.Channel1 && m.Channel1->Valve) {
        TValve& v = *m.Channel1->Valve;
        const int8_t pos = v.GetCommandedPosition();
        if (v.IsInPosition() || pos == 0) {
            Valve1ResendTimer.Start(7);
        } else if (Valve1ResendTimer.IsExpired()) {
            v.MoveTo(pos);
            logLine("#checkValveState: Repeated Valve1 Command to Position: " + std::to_string(pos));
            Valve1ResendTimer.Start(10);
        }
    }
    TValve* v2 = m.Channel2 ? m.Channel2->Valve : nullptr;
    if (v2 && !m.SinglePump && !v2->IsInPosition() && v2->GetCommandedPosition() != 0) {
        if (Valve2ResendTimer.IsExpired()) {
            const int8_t pos = v2->GetCommandedPosition();
            v2->MoveTo(pos);
            logLine("#checkValveState: Repeated Valve2 Command to Position: " + std::to_string(pos));
            Valve2ResendTimer.Start(10);
        }
    } else {
        Valve2ResendTimer.Start(7);
    }
    return true;
}

// ---------------------------------------------------------------- mode machine

void TMainForm::changeProcedure(uint8_t m) {
    if (m == iMode || (isRunMode(m) && isRunMode(iMode))) return;
    // A sequence left for any other mode is over: nothing can take its run up again.
    if (isRunMode(iMode) && InstrumentModule) InstrumentModule->EndSequenceRun();
    // Leaving a procedure's mode other than by its own end stops it: a box it left open closes
    // and says why, and the step that opened the box does nothing more.
    QString why;
    QString title = _("Warning");
    switch (m) {
        case 0:
            why = _("Lost connection with Instrument. Operation stopped.");
            title = _("Unrecoverable Error!");
            break;
        case 1:
        case 3:
        case 19:
            why = _("Instrument Disabled. Heaters and Pumps are Off.") + "\n\n" + _("Operation stopped.");
            break;
        case 4:
            why = _("SYSTEM HALTED, INSTRUMENT STOPPED") + "\n\n" + _("Operation stopped.");
            break;
        default:
            why = _("Operation stopped.");
            break;
    }
    // The box gets a title that fits what it now says.
    if (stopProcedure(why, title)) logLine("#main: SetMode(): procedure stopped while its box was open");
    // A test left other than by its own end leaves its path under pressure; its release follows
    // the halt (once the link is back when it is lost).
    if (isPressureTestMode(iMode) && PressureTest && PressureTest->Abandon()) pressureLeft_ = true;
    if (isProcedureMode(m)) {
        // The operator starts something new: it takes the pumps over.
        if (PressureTest) PressureTest->DropRelease();
        beginProcedure();
    }
}

void TMainForm::syncStopKey() {
    if (StopReset1) StopReset1->SetCaption(iMode == HaltedMode ? _("Reset") : _("Stop"));
    if (RedLightImg) RedLightImg->SetBrushColor(iMode == HaltedMode ? QColor(Qt::red) : bgr(0x000080));
}

void TMainForm::tellPressureLeft() {
    pressureLeft_ = false;
    const QString when =
        closing_     ? _("The program ends before it can release it: release it on the instrument before the "
                             "path is opened.")
        : iMode == 0 ? _("It is released once the connection with the instrument is back: the pump draws "
                         "back slowly down to 10 psi.")
                     : _("It is released now: the pump draws back slowly down to 10 psi.");
    const QString text =
        _("The pressure test was stopped: the tested path may hold pressure until it is released.") + "\n\n" +
        when;
    logLine("#main: " + text.toStdString());
    // Without an event loop (a signal on the way out) the log says it alone.
    if (ending_) return;
    messageBox(text, _("Warning"), MsgButtons::OK, mrOk, MsgIcon::Warning);
}

void TMainForm::SetMode(uint8_t m) {
    logLine("#main: setMode(): mode=" + std::to_string(int(m)) +
            "; current mode=" + std::to_string(int(iMode)));
    if (isMode(m)) changeProcedure(m);
    QString text;
    int32_t timeout = -1;
    const auto sequenceName = [] { return InstrumentModule ? InstrumentModule->Sequence.Name : QString(); };
    const uint8_t endReason = InstrumentModule ? InstrumentModule->SequenceEndReason : 0;
    const QString stopReason = InstrumentModule ? InstrumentModule->SequenceStopReason : QString();
    // A sequence stopped on error keeps its reason on the second line until the next start. The
    // monitor's own line lasts two ticks once its condition clears, and a missing method has no
    // line at all: the end text alone would say "STOPPED ON ERROR" without the error, and an
    // operator who starts again runs into it blind (a sequence the monitor stopped would
    // otherwise even read as a normal end).
    const bool stoppedOnError =
        (m == 2 || m == 3) && (iMode == 7 || iMode == 8 || iMode == 9) && endReason == SequenceStoppedOnError;
    const bool starts = m == 6 || (m == 7 && iMode != 8) || (m >= 11 && m <= 18);
    if (stoppedOnError && !stopReason.isEmpty())
        LCDScreen1->SetStopReason(stopReason);
    else if (starts)
        LCDScreen1->SetStopReason(QString());
    switch (m) {
        case 0:
            if (iMode == 7 || iMode == 9 || iMode == 17) {
                iMode = 0;
                logLine("#main: SetMode(): pop-up Connection Lost message");
                messageBox(_("Lost connection with Instrument. Operation stopped."),
                           _("Unrecoverable Error!"), MsgButtons::OK, mrOk, MsgIcon::Error);
                logLine("#main: SetMode(): pop-up Connection Lost message closed, Instrument Halted");
                // Ticks ran under the box; a link back there halted the instrument and the next
                // tick halts it again from mode 0.
            }
            break;
        case 1:
            text = _("HPLC ERROR, INSTRUMENT DISABLED");
            break;
        case 2:
        case 3:
            switch (iMode) {
                case 0:
                    HaltInstrument();
                    break;
                case 4:
                case 5:
                    text = _("INSTRUMENT RESET");
                    break;
                case 7:
                    if (endReason == 1) {
                        const int total = InstrumentModule->Sequence.GetTotalRuns();
                        text = fillFirst(_n("END OF SEQUENCE REACHED (%s OF %s RUN)",
                                            "END OF SEQUENCE REACHED (%s OF %s RUNS)",
                                            static_cast<unsigned long>(std::max(total, 0))),
                                         QString::number(total));
                    } else if (endReason == 2) {
                        text = fillFirst(_("SEQUENCE STOPPED (RUN %s) - NO RELAY SIGNAL"),
                                         QString::number(InstrumentModule->PumpStarts));
                    } else {
                        text = _("SEQUENCE STOPPED ON ERROR");
                    }
                    break;
                case 8:
                    if (endReason == SequenceStoppedOnError) text = _("SEQUENCE STOPPED ON ERROR");
                    break;
                case 9:
                    text = endReason == SequenceStoppedOnError ? _("SEQUENCE STOPPED ON ERROR")
                                                               : _("SEQUENCE STOPPED");
                    break;
                case 11:
                    text = _("FLUSH DONE");
                    break;
                case 12:
                    text = _("REFILL DONE");
                    break;
                case 13:
                    text = _("CLEANUP FLUSH DONE");
                    break;
                case 14:
                    text = _("PRESSURE TEST DONE");
                    break;
                case 15:
                    text = _("SYSTEM PRESSURE TEST DONE");
                    break;
                case 16:
                    text = _("EMPTY PUMP(S) DONE");
                    break;
                case 17:
                    text = _("INSTRUMENT FLUSH DONE");
                    break;
                default:
                    break;
            }
            break;
        case 4:
            text = _("SYSTEM HALTED, INSTRUMENT STOPPED");
            break;
        case 6:
        case 16:
            break;
        case 7:
            text =
                fillFirst(iMode == 8 ? _("SEQUENCE %s RESUMED") : _("SEQUENCE %s STARTED"), sequenceName());
            timeout = 60;
            break;
        case 8:
        case 9:
            text = _("FINISHING CURRENT RUN");
            break;
        case 11:
            text = _("FLUSH PUMP(S) STARTED");
            timeout = 60;
            break;
        case 12:
            text = _("REFILL STARTED");
            timeout = 20;
            break;
        case 13:
            text = _("CLEANUP FLUSH STARTED");
            timeout = 60;
            break;
        case 14:
            text = _("PRESSURE TEST STARTED");
            timeout = 60;
            break;
        case 15:
            text = _("SYSTEM PRESSURE TEST STARTED");
            timeout = 60;
            break;
        case 17:
            text = _("INSTRUMENT FLUSH STARTED");
            timeout = 60;
            break;
        case 18:
            text = _("PREPARING INSTRUMENT FOR SEAL CHANGE");
            timeout = 60;
            break;
        case 19:
            text = _("Instrument Disabled. Heaters and Pumps are Off.");
            break;
        default:  // 5, 10, 20 and up: not a mode
            return;
    }
    iMode = m;
    syncStopKey();
    if (!text.isEmpty()) {
        if (timeout < 0)
            LCDScreen1->SetMessage(text);
        else
            LCDScreen1->SetMessage(text, timeout);
    }
    if (pressureLeft_) tellPressureLeft();
}

bool TMainForm::HaltInstrument() {
    if (!InstrumentModule) return true;
    InstrumentModule->ClearCommandQueue();
    InstrumentModule->StopPumps();
    InstrumentModule->DisableInstrument();
    if (PressureTest) {
        if (isPressureTestMode(iMode) && PressureTest->Abandon()) pressureLeft_ = true;
        // The release starts (again) after every halt. On the way out nothing but the halt
        // reaches the instrument (the main loop is off): the operator is told at once.
        PressureTest->RestartRelease();
        if (closing_ && pressureLeft_) tellPressureLeft();
    }
    return true;
}

void TMainForm::sequenceCleanUp() {
    if (HPLCModule) HPLCModule->SetStopped();
    SetStatusText(1, QString());
}

bool TMainForm::SequenceFinished() {
    SetMode(2);
    sequenceCleanUp();
    return true;
}

bool TMainForm::ShowLCDMessage(const QString& text) {
    return LCDScreen1->SetMessage(text);
}

bool TMainForm::PumpOnDone() {
    SetMode(3);
    if (InstrumentModule) InstrumentModule->StopPumps();
    return true;
}

bool TMainForm::FlushDone() {
    SetMode(2);
    return true;
}
bool TMainForm::RefillDone() {
    SetMode(2);
    return true;
}
bool TMainForm::StorageDone() {
    SetMode(2);
    return true;
}
bool TMainForm::PressureTestDone() {
    SetMode(2);
    return true;
}
bool TMainForm::SystemPressureTestDone() {
    SetMode(2);
    return true;
}
bool TMainForm::EmptyDone() {
    SetMode(2);
    return true;
}
bool TMainForm::InstrumentFlushDone() {
    SetMode(2);
    return true;
}
bool TMainForm::SealChangeDone() {
    SetMode(2);
    return true;
}
