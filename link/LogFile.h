// The daily log: one text file per calendar day on which the program wrote a line, plus
// the logs of the three earlier such days. Every unit writes through TLogFile::AddLine.
// The same form is the window "Send Log File to Support": it packs one of the four logs into
// an archive and can open a mail to support.
#pragma once
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "archive/ZipCompress.h"
#include "platform/Clock.h"
#include "unicode/UxForms.h"

class TUxRadioGroup;
class TUxButton;
class TUxLabel;

struct TLogDate {
    int32_t year = 0;
    uint8_t day = 0;  // 0 = no date
    uint8_t month = 0;
    bool operator==(const TLogDate&) const = default;
};

// What the header block needs of the instrument state; filled in by the instrument state.
class LogHeaderSource {
  public:
    virtual ~LogHeaderSource() = default;
    virtual uint32_t instrumentNumber() const = 0;  // 0 = unknown
    virtual std::string versionText() const = 0;    // "FW version ...; CPLD version ..."
    virtual std::string ipAddress() const = 0;
    virtual std::string currentSequenceName() const = 0;
    virtual std::string currentMethodName() const = 0;
    // ConnectMethod of the instrument state (1 TCP/IP, 2 serial, 3 USB); the default
    // reads the stored setting, 1 when it cannot be read.
    virtual int32_t connectMethod() const;
};
void setLogHeaderSource(const LogHeaderSource* src);  // nullptr: the "unknown" defaults

class TLogFile : public TUxForm {
    Q_OBJECT
  public:
    explicit TLogFile(QWidget* owner = nullptr);  // runs FormCreate
    ~TLogFile() override;                         // runs FormDestroy

    bool AddLine(const std::string& text);
    void FormCreate();
    void FormDestroy();
    bool EnsureFolder(const std::string& path);
    bool RotateIfNewDay(const TLogDate& date);
    // The same with the time of the line that caused it: its header carries that time.
    bool RotateIfNewDay(const TLogDate& date, const LocalTime& now);
    TLogDate ReadLogDate(const std::string& path);
    std::string WriteHeader();
    std::string WriteHeader(const LocalTime& now);

    // Closes today's file for a moment (lines wait in PendingText) and reopens it.
    void CloseForMoment();
    void Reopen();
    bool IsClosedForMoment() const { return closedForMoment_; }

    // "" while the log works; otherwise why the program runs without a log (the log
    // window shows it). The same text goes to stderr and to OnLogTrouble once per outage;
    // at its end, a line in the log and the same two say that the log is written again.
    // Without a file, lines try to start it again every few seconds.
    const std::string& StatusText() const { return statusText_; }
    // Lines dropped since the log last took one; the next line written is preceded by a
    // line that gives their number and the time of the first.
    uint64_t DroppedLines() const { return dropped_; }

    // What the log keeps of a line received from the instrument: a line longer than the
    // instrument ever sends is cut and carries its length; beyond BadLinesPerMinute malformed
    // or overlong lines a minute nothing is kept (the line is counted, and the count is
    // logged before the next received line that is kept).
    std::optional<std::string> ReceivedEntry(std::string_view text, bool wellFormed, bool cutByReader);
    static std::string CutReceived(std::string_view text, bool cutByReader);
    static constexpr size_t ReceivedLineMax = 200;
    static constexpr int BadLinesPerMinute = 30;
    // How long the start of a day waits for the lock on the log folder that copies of the
    // program take while they shift the logs; beyond it the day is begun without the lock.
    static int FolderLockWaitMs;
    // Folder of the logs: $APPDATA (or its stand-in) + "/TressivanLabs/".
    static std::string LogFolder();

    // ---- window "Send Log File to Support"
    void FormShow();
    void SaveBtnClick();
    void CancelBtnClick();
    // Packs log k (0 today's .. 3) into an archive named in the save dialog; true when the
    // archive was written. Failures are shown; today's log is closed only while it is packed.
    bool SaveDayLog(const std::string& extension, int k, int action);
    // The largest log the archive packs.
    static constexpr size_t ArchiveLogMax = size_t(256) * 1024 * 1024;
    // The archive path the operator picks, "" when cancelled.
    std::string AskTargetFileName(const std::string& path, const std::string& extension);
    void ZipCompressFileProgress(TBaseArchiver* sender, const std::string& fileName, double progress,
                                 TZipOperation operation, TZipProgressPhase phase, bool& cancel);
    // Text of item k of the log choice: "Log File from " + the log's date, or a fixed text.
    QString LogChoiceText(int k);
    // Proposed archive name for a log: "Zentrova2026-12-06" from its date, else "ZentrovaKVZ".
    std::string ProposedArchiveName(const std::string& path);
    // The mail link opened by "Save Log File and Create Email".
    static std::string SupportMailLink();
    static const char* const SupportEmailAddress;

    TUxRadioGroup* ActionRadioGrp = nullptr;
    TUxButton* SaveBtn = nullptr;
    TUxButton* CancelBtn = nullptr;
    TZipCompress* ZipCompress = nullptr;
    TUxRadioGroup* FilenameRadioGrp = nullptr;
    TUxLabel* StatusLabel = nullptr;  // StatusText() while the program runs without a log

    int LogHandle = -1;
    std::string LogPath, LogPath2, LogPath3, LogPath4;
    TLogDate LogDate;
    uint8_t LogState = 0;
    std::string PendingText;

  private:
    void buildWindow();
    const std::string& pathOf(int k) const;
    // Opens (creating it, shifting the logs when it is of another day) today's file.
    bool startDay(const TLogDate& date, const LocalTime& now);
    void closeHandle();
    bool writePending(const LocalTime& now);
    // Adds a line stamped with now to PendingText.
    void queue(const std::string& text, const LocalTime& now);
    // Puts pendingDate_ before the time of every waiting line that lacks a date.
    void datePending();
    void reportFailure(const std::string& message);
    void clearFailure();
    void logIsBack(const LocalTime& now);
    void showStatus();
    void countDropped(const LocalTime& now);
    std::string droppedText() const;
    std::string skippedText() const;

    bool created_ = false;          // FormCreate has run: the paths are set
    bool closedForMoment_ = false;  // closed by CloseForMoment until Reopen
    bool failureReported_ = false;
    bool headerOwed_ = false;  // today's file still lacks its header
    int64_t lastStartMs_ = 0;  // monotonic ms of the last try to start today's file
    std::string statusText_;
    uint64_t dropped_ = 0;
    LocalTime droppedSince_;
    int64_t badWindowStart_ = 0;  // monotonic ms at which the current minute of bad lines began
    int badInWindow_ = 0;
    uint64_t badSkipped_ = 0;
    LocalTime badSkippedSince_;
    std::unique_ptr<TZipCompress> zip_;
    TLogDate pendingDate_;  // the day of the waiting lines that carry no date
    TLogDate tailDay_;      // the day of the file that holds the start of the first waiting line
};

extern TLogFile* LogFile;
// LogFile->AddLine when the log exists; lines before that are dropped.
bool logLine(const std::string& text);
// LogFile->ReceivedEntry when the log exists, else the line as the log would keep it.
std::optional<std::string> receivedLogEntry(std::string_view text, bool wellFormed, bool cutByReader);
// Set by the main window: tells the operator, once per outage, that the log cannot be
// written, and again when it is written again. Called from the event loop, never from
// inside AddLine.
extern std::function<void(const QString& text)> OnLogTrouble;
// Tests: an errno that the log's next file call of the kind fails with (0: the call runs).
// Create is the open of a file that does not exist yet; TakeBack the truncation that takes back
// what a short write left.
enum class LogFileCall { Create, Write, TakeBack };
extern std::function<int(LogFileCall call)> LogFileFault;
