// The window "Send Log File to Support": the four log choices, the proposed archive names, the
// archive it writes (read back with libzip), today's log closed only while it is packed, the
// progress window, and the mail link only after an archive was written.
#include <gtest/gtest.h>
#include <zip.h>

#include <QDate>
#include <QLocale>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "link/LogFile.h"
#include "link/ProgressBar.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Instance.h"
#include "platform/Shell.h"
#include "support/TempEnv.h"
#include "unicode/UxControls.h"

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

std::map<std::string, std::string> readArchive(const std::string& path) {
    int ze = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &ze);
    EXPECT_NE(za, nullptr) << path << " error " << ze;
    std::map<std::string, std::string> out;
    if (!za) return out;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(za, i, 0, &st);
        zip_file_t* f = zip_fopen_index(za, i, 0);
        std::string bytes(st.size, '\0');
        EXPECT_EQ(zip_fread(f, bytes.data(), st.size), static_cast<zip_int64_t>(st.size));
        zip_fclose(f);
        out[st.name] = bytes;
    }
    zip_close(za);
    return out;
}

QString shortDate(int y, int m, int d) {
    return QLocale().toString(QDate(y, m, d), QLocale::ShortFormat);
}

class SupportArchiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setInstance("");
        folder_ = env_.dir + "/appdata/TressivanLabs/";
        out_ = env_.dir + "/out/";
        std::filesystem::create_directories(out_);
        ProgressBarForm = &progress_;
        Shell::setOpenHook([this](const std::string& url) { opened_.push_back(url); });
        Shell::setSaveFileHandler([this](const Shell::SaveFileRequest& req) {
            proposed_.push_back(req.fileName);
            EXPECT_EQ(req.defaultExt, req.fileName.endsWith(".zip") ? "zip" : "");
            return answer_;
        });
    }
    void TearDown() override {
        Shell::setOpenHook(nullptr);
        Shell::setSaveFileHandler(nullptr);
        ProgressBarForm = nullptr;
    }
    // Saves log k with the action through the Save button.
    void save(TLogFile& log, int k, int action, const QString& answer) {
        answer_ = answer;
        log.Show();
        log.FilenameRadioGrp->SetItemIndex(k);
        log.ActionRadioGrp->SetItemIndex(action);
        log.SaveBtn->Click();
    }

    TempEnv env_;
    FakeClockGuard clock_;
    DialogScript boxes_;
    TProgressBarForm progress_;
    std::string folder_, out_;
    QString answer_;
    std::vector<std::string> opened_;
    std::vector<QString> proposed_;
};

TEST_F(SupportArchiveTest, WindowAndItsChoices) {
    TLogFile log;
    writeFile(log.LogPath2, "09:30:00 05/12/2026\nyesterday\n");
    writeFile(log.LogPath3, "short\n");
    writeFile(log.LogPath4, "10:00:00 45/13/2026\nnot a date\n");
    log.Show();  // the texts are made as the window opens
    auto items = [&] {
        std::vector<QString> v;
        for (int k = 0; k < log.FilenameRadioGrp->Items()->GetCount(); ++k)
            v.push_back(log.FilenameRadioGrp->Items()->Get(k));
        return v;
    };
    EXPECT_EQ(items(), (std::vector<QString>{"Log File from " + shortDate(2026, 12, 6),
                                             "Log File from " + shortDate(2026, 12, 5),
                                             "Log File from Day Before", "Log File from 3rd Day"}));
    log.CancelBtn->Click();
    EXPECT_FALSE(log.isVisible());

    // Without a readable date every log has its fixed text; a first line without a line feed
    // in its first 20 bytes carries a two-digit year.
    writeFile(log.LogPath, "garbage\n");
    std::filesystem::remove(log.LogPath2);
    writeFile(log.LogPath4, "10:00:00 03/12/26 no line feed here");
    log.Show();
    EXPECT_EQ(items(),
              (std::vector<QString>{"Today's Log File", "Log File from Yesterday", "Log File from Day Before",
                                    "Log File from " + shortDate(2026, 12, 3)}));
    log.Close();
}

TEST_F(SupportArchiveTest, ProposedNamesFromTheLogsDate) {
    TLogFile log;
    writeFile(log.LogPath2, "09:30:00 05/12/2026\nyesterday\n");
    writeFile(log.LogPath3, "no date in this line\n");
    EXPECT_EQ(log.AskTargetFileName(log.LogPath, "zip"), "");
    EXPECT_EQ(log.AskTargetFileName(log.LogPath2, "zip"), "");
    EXPECT_EQ(log.AskTargetFileName(log.LogPath3, "zip"), "");
    EXPECT_EQ(log.AskTargetFileName(log.LogPath4, ""), "");
    EXPECT_EQ(proposed_, (std::vector<QString>{"Zentrova2026-12-06.zip", "Zentrova2026-12-05.zip",
                                               "ZentrovaKVZ.zip", "ZentrovaKVZ"}));
    answer_ = "/some/where.zip";
    EXPECT_EQ(log.AskTargetFileName(log.LogPath, "zip"), "/some/where.zip");
}

TEST_F(SupportArchiveTest, TodaysLogPackedWhileLinesWait) {
    TLogFile log;
    LogFile = &log;
    log.AddLine("#menu: Help|Send Log to Support");
    const std::string before = fileBytes(log.LogPath);

    std::vector<int> shown;
    std::vector<uint8_t> states;
    log.ZipCompress->OnFileProgress = [&](TBaseArchiver* s, const std::string& name, double p,
                                          TZipOperation op, TZipProgressPhase phase, bool& cancel) {
        states.push_back(log.LogState);
        logLine("#main: tick while packing");
        log.ZipCompressFileProgress(s, name, p, op, phase, cancel);
        shown.push_back(progress_.GetProgress());
        EXPECT_TRUE(progress_.isVisible());
    };
    save(log, 0, 0, QString::fromStdString(out_ + "today.zip"));

    EXPECT_EQ(readArchive(out_ + "today.zip"),
              (std::map<std::string, std::string>{{"Zentrova.log", before}}));
    ASSERT_FALSE(states.empty());
    for (uint8_t s : states) EXPECT_EQ(s, 2);
    EXPECT_EQ(shown.front(), 0);
    EXPECT_EQ(shown.back(), 100);
    EXPECT_FALSE(progress_.isVisible());
    EXPECT_FALSE(log.isVisible());
    EXPECT_TRUE(opened_.empty());
    EXPECT_TRUE(boxes_.shown.empty());

    // Reopened: the lines that waited come with the next line, in order.
    EXPECT_EQ(log.LogState, 1);
    EXPECT_FALSE(log.IsClosedForMoment());
    EXPECT_EQ(fileBytes(log.LogPath), before);
    logLine("after");
    const std::string now = fileBytes(log.LogPath);
    ASSERT_EQ(now.substr(0, before.size()), before);
    std::string expected;
    for (size_t i = 0; i < states.size(); ++i) expected += "10:00:00.00,#main: tick while packing\n";
    expected += "10:00:00.00,after\n";
    EXPECT_EQ(now.substr(before.size()), expected);
    LogFile = nullptr;
}

TEST_F(SupportArchiveTest, EarlierLogLeavesTodaysOpen) {
    TLogFile log;
    const std::string yesterday = "09:30:00 05/12/2026\nyesterday\n";
    writeFile(log.LogPath2, yesterday);
    log.ZipCompress->OnFileProgress = [&](TBaseArchiver*, const std::string&, double, TZipOperation,
                                          TZipProgressPhase, bool&) {
        EXPECT_EQ(log.LogState, 1);
        log.AddLine("written at once");
    };
    const std::string before = fileBytes(log.LogPath);
    save(log, 1, 1, QString::fromStdString(out_ + "y.zip"));
    EXPECT_EQ(readArchive(out_ + "y.zip"),
              (std::map<std::string, std::string>{{"Zentrova.log2", yesterday}}));
    EXPECT_EQ(fileBytes(log.LogPath).substr(0, before.size()), before);
    EXPECT_NE(fileBytes(log.LogPath).find("written at once"), std::string::npos);
    EXPECT_EQ(log.PendingText, "");
    // The mail link after the archive was written.
    EXPECT_EQ(opened_,
              (std::vector<std::string>{"mailto:support@tressivanlabs.example?subject=Log%20File&body="
                                        "Please,%20attach%20compressed%20file%20to%20this%20email!"}));
}

TEST_F(SupportArchiveTest, MailOnlyWhenTheArchiveWasWritten) {
    TLogFile log;
    log.AddLine("first");
    const std::string before = fileBytes(log.LogPath);

    // Cancelled dialog: nothing written, no mail, today's log still open, both windows closed.
    save(log, 0, 1, QString());
    EXPECT_TRUE(opened_.empty());
    EXPECT_EQ(log.LogState, 1);
    EXPECT_FALSE(log.isVisible());
    EXPECT_FALSE(progress_.isVisible());
    EXPECT_TRUE(boxes_.shown.empty());

    // The archive cannot be written: a clear message, no mail, the log intact and reopened.
    save(log, 0, 1, QString::fromStdString(env_.dir + "/no/such/folder/a.zip"));
    EXPECT_TRUE(opened_.empty());
    ASSERT_EQ(boxes_.shown.size(), 1u);
    EXPECT_EQ(boxes_.shown[0].title, "Error");
    EXPECT_TRUE(
        boxes_.shown[0].text.startsWith("The log file could not be saved:\nCannot create archive file: "))
        << boxes_.shown[0].text.toStdString();
    EXPECT_EQ(log.LogState, 1);
    EXPECT_EQ(fileBytes(log.LogPath), before);
    log.AddLine("still logging");
    EXPECT_NE(fileBytes(log.LogPath).find("still logging"), std::string::npos);

    // The archive may not replace a log file.
    save(log, 0, 1, QString::fromStdString(log.LogPath2));
    save(log, 0, 1, QString::fromStdString(log.LogPath));
    EXPECT_TRUE(opened_.empty());
    ASSERT_EQ(boxes_.shown.size(), 3u);
    EXPECT_TRUE(boxes_.shown[2].text.startsWith("The archive cannot replace the log file "));
    EXPECT_NE(fileBytes(log.LogPath).find("still logging"), std::string::npos);
    EXPECT_EQ(log.LogState, 1);

    // A log that does not exist is not offered to the dialog.
    proposed_.clear();
    save(log, 3, 1, QString::fromStdString(out_ + "x.zip"));
    EXPECT_TRUE(proposed_.empty());
    ASSERT_EQ(boxes_.shown.size(), 4u);
    EXPECT_EQ(boxes_.shown[3].text,
              "The log file " + QString::fromStdString(log.LogPath4) + " does not exist.");
    EXPECT_FALSE(std::filesystem::exists(out_ + "x.zip"));

    // Then a good save: one mail link.
    save(log, 0, 1, QString::fromStdString(out_ + "ok.zip"));
    EXPECT_EQ(opened_.size(), 1u);
    EXPECT_EQ(readArchive(out_ + "ok.zip").at("Zentrova.log"), fileBytes(log.LogPath));
}

}  // namespace
