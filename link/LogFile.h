// The daily log: one text file per calendar day on which the program wrote a line, plus
// the logs of the three earlier such days. Every unit writes through TLogFile::AddLine.
// The window side ("Send Log File to Support") grows on this form.
#pragma once
#include <cstdint>
#include <string>

#include "unicode/UxForms.h"

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
    TLogDate ReadLogDate(const std::string& path);
    std::string WriteHeader();

    // Closes today's file for a moment (lines wait in PendingText) and reopens it.
    void CloseForMoment();
    void Reopen();

    int LogHandle = -1;
    std::string LogPath, LogPath2, LogPath3, LogPath4;
    TLogDate LogDate;
    uint8_t LogState = 0;
    std::string PendingText;
};

extern TLogFile* LogFile;
// LogFile->AddLine when the log exists; lines before that are dropped.
bool logLine(const std::string& text);
