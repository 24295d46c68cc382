// The client of the ChemStation data system: polls its acquisition status every 3 seconds
// through a DDE-style conversation (platform/DdeClient.h), keeps the conversation open and
// renews it about hourly. Idle until the HPLC module enables its timer.
#pragma once
#include <QObject>
#include <cstdint>
#include <string>

#include "platform/DdeClient.h"

class QTimer;

class TChemStation1 : public QObject {
    Q_OBJECT
  public:
    static constexpr int PollMs = 3000;
    static constexpr int32_t RenewPolls = 1200;  // polls between renewals of the conversation
    static constexpr const char* Topic = "CPNOWAIT";
    static constexpr const char* StatusItem = "ACQSTATUS$";

    explicit TChemStation1(QObject* owner = nullptr);  // runs DataModuleCreate
    ~TChemStation1() override;

    bool OpenLink();
    bool CloseLink();
    bool EnsureLink();
    std::string GetStatus() const;
    // One poll. The answer of its request arrives later, on the GUI thread; while a request
    // waits, further polls do nothing.
    void Timer1Timer();
    void DataModuleCreate();
    void DdeClientConvClose();

    // The service name from chemstation.ini, else win.ini, of the Windows directory,
    // section "PCS," + instance, key "_DDEOnLine"; empty when neither has it. A file that is
    // not a regular file, or is larger than ProfileMaxBytes, is skipped; why goes to problems.
    static std::string LookupServiceName(const std::string& instance, std::string* problems = nullptr);
    static constexpr size_t ProfileMaxBytes = 1024 * 1024;

    int32_t ReconnectCountdown = 0;
    bool LinkOpen = false;
    std::string StatusText = "N/A";
    std::string ChemInstance;
    std::string DDEServiceName;

    DdeClient* DdeClientConv = nullptr;
    QTimer* Timer1 = nullptr;  // 3000 ms, disabled at creation

  private:
    void onStatusReply(const DdeReply& reply);
    std::string fileProblems_;  // the last logged; logged again only when it changes
};

extern TChemStation1* ChemStation1;
