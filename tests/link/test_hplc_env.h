// Shared by the HPLC tests: a private store, log, Windows-directory stand-in and socket
// folder; the daily log read back line by line; an event loop that runs until a condition.
#pragma once
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link/LogFile.h"
#include "link/StoredParams.h"
#include "platform/Clock.h"
#include "platform/IniFile.h"
#include "platform/Instance.h"
#include "platform/Registry.h"
#include "support/EventWait.h"
#include "support/TempEnv.h"

class HplcEnv {
  public:
    HplcEnv() {
        env.set("ZENTROVA_WINDIR", env.path("windows"));
        env.set("ZENTROVA_DDE_DIR", env.dir);
        std::filesystem::create_directories(env.path("windows"));
        setInstance("");
        log = new TLogFile;
        LogFile = log;
    }
    ~HplcEnv() {
        LogFile = nullptr;
        delete log;
    }

    void setStored(const std::string& name, const std::string& value) {
        Registry reg;
        reg.openKey(TStoredParams::InstrumentRegistryKey(), true);
        reg.writeString(name, value);
    }
    void writeIni(const std::string& file, const std::string& section, const std::string& key,
                  const std::string& value) {
        IniFile ini(env.path("windows") + "/" + file);
        ini.writeString(section, key, value);
        ini.updateFile();
    }

    // The lines logged since the last call, without their time stamps.
    std::vector<std::string> newLines() {
        std::ifstream f(log->LogPath, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        std::string text = ss.str();
        const size_t body = text.find("\n\n");
        text = body == std::string::npos ? std::string() : text.substr(body + 2);
        std::vector<std::string> all;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            const size_t comma = line.find(',');
            all.push_back(comma == std::string::npos ? line : line.substr(comma + 1));
        }
        std::vector<std::string> fresh(all.begin() + static_cast<long>(std::min(seen_, all.size())),
                                       all.end());
        seen_ = all.size();
        return fresh;
    }

    TempEnv env;
    FakeClockGuard clock;
    TLogFile* log = nullptr;

  private:
    size_t seen_ = 0;
};
