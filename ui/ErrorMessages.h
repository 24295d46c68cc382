// The critical-error monitor: compares the instrument's live readings with fixed limits once
// per main-loop tick, shows each newly raised condition once in a small non-modal window,
// puts the current condition on the LCD panel's second line, and tells the main window when
// the instrument must be disabled. It also ends a pump-on or a sequence whose HPLC link has
// been in error for too long.
#pragma once
#include <QWidget>
#include <array>
#include <cstdint>
#include <string>

class TUxButton;
class TUxLabel;

struct TErrorEntry {
    std::string Text;   // translated once at construction; any length
    uint8_t State = 0;  // 0 absent, 1 raised and not yet shown, 2 shown
    bool Disables = false;
    bool Active = false;  // seen since the last report
    uint32_t HelpContext = 0;
};

class TErrorMessagesDialog : public QWidget {
    Q_OBJECT
  public:
    static constexpr int EntryCount = 11;
    static constexpr double MissingPressure = -900.0;  // psi: transducer not connected
    static constexpr double MissingTemperature = -200.0;
    static constexpr double MaxPressure = 490.0;  // psi
    static constexpr double MaxReactorTemperature = 140.0;
    static constexpr double MaxColumnTemperature = 80.0;
    static constexpr int32_t ValveLostChecks = 23;
    static constexpr int32_t HPLCErrorChecks = 900;

    explicit TErrorMessagesDialog(QWidget* owner = nullptr);
    ~TErrorMessagesDialog() override;

    // One check; true when the instrument must be disabled.
    bool CheckInstrumentErrors(bool singlePump);
    void OKBtnClick();
    void HelpBtnClick();
    void FormShow();
    void FormCreate() {}

    void InitErrorTable();
    void SetErrorEntry(int index, const char* text, bool disables, uint32_t helpContext);
    bool HasActiveError() const;
    bool HasDisablingError() const;
    bool HasNewError() const;
    // Clears every Active flag; the text of the highest-index entry that was active.
    std::string TakeActiveErrorText();
    uint32_t GetNewErrorHelpContext() const;
    // The texts of the new entries joined by "\n" (each becomes shown), plus the disabled note.
    QString BuildErrorMessage();

    TUxButton* OKBtn = nullptr;
    TUxButton* HelpBtn = nullptr;
    TUxLabel* MessageLbl = nullptr;
    std::array<TErrorEntry, EntryCount> ErrorTable;
    uint32_t ErrorHelpContext = 0;
    // Why the last check asked to disable the instrument ("" when it did not): the condition's
    // own text, or the HPLC time-out's.
    QString CriticalReason;

    static int32_t ValveLostCount1;
    static int32_t ValveLostCount2;
    static int32_t HPLCErrorCount;

  protected:
    void showEvent(QShowEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;  // Escape: OK

  private:
    void raiseEntry(int index);
    // A modal window opened after this one is in front (a question the operator answers first):
    // raising this window over it would hide it.
    bool behindLaterModal() const;
};

extern TErrorMessagesDialog* ErrorMessagesDialog;
