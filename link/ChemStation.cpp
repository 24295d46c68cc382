#include "link/ChemStation.h"

#include <QTimer>
#include <exception>

#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "platform/Dialogs.h"
#include "platform/IniFile.h"
#include "platform/SystemInfo.h"

TChemStation1* ChemStation1 = nullptr;

namespace {

std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

}  // namespace

TChemStation1::TChemStation1(QObject* owner) : QObject(owner) {
    DdeClientConv = new DdeClient(this);
    DdeClientConv->OnClose = [this] { DdeClientConvClose(); };
    Timer1 = new QTimer(this);
    Timer1->setInterval(PollMs);
    connectTimer(Timer1, this, [this] { Timer1Timer(); });
    DataModuleCreate();
}

TChemStation1::~TChemStation1() {
    if (ChemStation1 == this) ChemStation1 = nullptr;
}

void TChemStation1::DataModuleCreate() {
    LinkOpen = false;
    StatusText = "N/A";
}

void TChemStation1::DdeClientConvClose() {
    LinkOpen = false;
    StatusText = "N/A";
}

std::string TChemStation1::LookupServiceName(const std::string& instance, std::string* problems) {
    const std::string dir = SystemInfo::windowsDir();
    const std::string section = "PCS," + instance;
    std::string name;
    for (const char* file : {"/chemstation.ini", "/win.ini"}) {
        const IniFile ini(dir + file, ProfileMaxBytes);
        if (problems && !ini.lastError().empty())
            *problems += (problems->empty() ? "" : " ") + ini.lastError();
        name = ini.readString(section, "_DDEOnLine", "");
        if (!name.empty()) break;
    }
    return name;
}

bool TChemStation1::OpenLink() {
    if (!LinkOpen) {
        ChemInstance =
            TStoredParams::ReadRegistryString(TStoredParams::InstrumentRegistryKey(), "ChemInstance");
        std::string problems;
        DDEServiceName = LookupServiceName(ChemInstance, &problems);
        // Said once, not on every poll: the file stays as it is until someone mends it.
        if (problems != fileProblems_ && !problems.empty()) logLine("#Agilent DDE: " + problems);
        fileProblems_ = problems;
    }
    if (!trimmed(DDEServiceName).empty() && DdeClientConv->setLink(DDEServiceName, Topic)) {
        logLine("#Agilent DDE bConnectionOpen: " + DDEServiceName);
        const bool open = DdeClientConv->openLink();
        if (!open && DdeClientConv->refused()) logLine("#Agilent DDE refused: " + DdeClientConv->lastError());
        return open;
    }
    logLine("#Agilent DDE bConnectionOpen: incorrect name " + DDEServiceName);
    return false;
}

bool TChemStation1::CloseLink() {
    DdeClientConv->closeLink();
    return true;
}

bool TChemStation1::EnsureLink() {
    if (!LinkOpen) {
        LinkOpen = OpenLink();
        ReconnectCountdown = RenewPolls;
    } else if (ReconnectCountdown < 0) {
        CloseLink();
        LinkOpen = OpenLink();
        ReconnectCountdown = RenewPolls;
    } else {
        --ReconnectCountdown;
    }
    return LinkOpen;
}

std::string TChemStation1::GetStatus() const {
    return trimmed(StatusText);
}

void TChemStation1::Timer1Timer() {
    if (DdeClientConv->busy()) return;  // the last request has its own time-out
    if (!EnsureLink()) {
        logLine("#ChemDDEStatus: No Connect");
        LinkOpen = false;
        StatusText = "N/A";  // an unreachable data system is not taken as running
        return;
    }
    DdeClientConv->request(StatusItem, [this](const DdeReply& reply) { onStatusReply(reply); });
}

void TChemStation1::onStatusReply(const DdeReply& reply) {
    if (reply.hasData()) {
        StatusText = reply.text;
        // Logged as a received line is: a long answer is cut and carries its length.
        logLine("#ChemDDEStatus: " + TLogFile::CutReceived(trimmed(reply.text), false));
    } else {
        logLine("#ChemDDEStatus: Unknown");
        LinkOpen = false;
        // A data system that hangs or fails is not taken as still running.
        StatusText = "N/A";
    }
}
