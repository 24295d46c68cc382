// The archive component: what it writes (read back with libzip), its errors and codes, and the
// progress events with their cancel flag.
#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/ZipCompress.h"
#include "support/TempEnv.h"

namespace {
using Entries = std::map<std::string, std::string>;

// Entry name -> bytes of every entry of an archive; throws when it cannot be read.
Entries readArchive(const std::string& path) {
    int ze = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &ze);
    if (!za) throw std::runtime_error("cannot open " + path + ": " + std::to_string(ze));
    Entries out;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(za, i, 0, &st);
        zip_file_t* f = zip_fopen_index(za, i, 0);
        std::string bytes(st.size, '\0');
        EXPECT_EQ(zip_fread(f, bytes.data(), st.size), zip_int64_t(st.size));
        zip_fclose(f);
        out[st.name] = bytes;
    }
    zip_close(za);
    return out;
}

// "code message" of the archive error f raised, or "" when it raised none.
std::string failure(const std::function<void()>& f) {
    try {
        f();
    } catch (const EZipException& e) {
        return std::to_string(e.ErrorCode) + " " + e.what();
    }
    return "";
}

std::string logBytes(size_t n) {
    std::string s;
    for (size_t i = 0; s.size() < n; ++i)
        s += "10:00:0" + std::to_string(i % 10) + ".25,line " + std::to_string(i) + "\n";
    return s.substr(0, n);
}

class Zip : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(logs);
        std::filesystem::create_directories(out);
        zip.BaseDir = logs;
    }
    TempEnv env;
    const std::string logs = env.dir + "/logs/", out = env.dir + "/out/";
    TZipCompress zip;
};

TEST_F(Zip, OneFileUnderItsBareNameWithIdenticalBytesCompressedAndItsProgressWhileAdding) {
    const std::string bytes = logBytes(300000) + std::string("\0\xff\x01 binary tail", 16);
    writeFile(logs + "Zentrova.log", bytes);
    writeFile(logs + "Zentrova.log2", "other day\n");
    std::vector<std::pair<double, TZipProgressPhase>> progress;
    zip.OnFileProgress = [&](TBaseArchiver* sender, const std::string& name, double p, TZipOperation op,
                             TZipProgressPhase phase, bool&) {
        EXPECT_TRUE(sender == &zip && op == poAdd && name.ends_with("/Zentrova.log")) << name;
        progress.emplace_back(p, phase);
    };
    zip.CompressionLevel = clMax;
    zip.FileName = out + "Zentrova2026-12-06.zip";
    zip.OpenArchive(fmCreate);
    zip.AddFiles("Zentrova.log", 0x28BF, "");
    const size_t duringAdd = progress.size();
    zip.CloseArchive();
    EXPECT_EQ(progress.size(), duringAdd);
    ASSERT_GT(progress.size(), 5u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.front(), std::make_pair(0.0, ppStart));
    EXPECT_EQ(progress.back().first, 100.0);
    EXPECT_EQ(progress.back().second, ppEnd);
    EXPECT_TRUE(readArchive(zip.FileName) == (Entries{{"Zentrova.log", bytes}}));
    EXPECT_LT(std::filesystem::file_size(zip.FileName), bytes.size() / 4);
}

TEST_F(Zip, MasksExclusionAndNeverTheArchiveItself) {
    zip.FileName = out + "empty.zip";
    zip.OpenArchive(fmCreate);
    zip.CloseArchive();
    EXPECT_TRUE(readArchive(zip.FileName).empty()) << "an archive without files is still one";
    writeFile(logs + "a.log", "A");
    writeFile(logs + "b.log", "B");
    writeFile(logs + "c.txt", "C");
    std::filesystem::create_directories(logs + "sub.log");
    zip.FileName = logs + "all.log";  // matches the mask, yet is not added to itself
    zip.OpenArchive(fmCreate);
    zip.AddFiles("*.log", 0x28BF, "b*");
    zip.CloseArchive();
    EXPECT_EQ(readArchive(zip.FileName), (Entries{{"a.log", "A"}}));
    // An existing archive opened for writing takes more files, but not itself.
    zip.OpenArchive(fmOpenReadWrite);
    zip.AddFiles("*", 0x28BF, "b*");
    zip.CloseArchive();
    EXPECT_EQ(readArchive(zip.FileName), (Entries{{"a.log", "A"}, {"c.txt", "C"}}));
}

TEST_F(Zip, ErrorsCarryCodesAndMessagesCloseTheArchiveAndWriteNothing) {
    writeFile(logs + "Zentrova.log", "10:00:00 06/12/2026\nline\n");
    writeFile(out + "text.zip", "not an archive");
    std::filesystem::create_directories(out + "taken.zip/inner");
    const std::string noFiles = "6 No files to add: " + logs + "Zentrova.log4";
    const struct {
        const char* file;  // the archive in out/, "" for none
        uint16_t mode;     // the open's mode; 1 for no open at all
        const char* mask;  // the files to add, nullptr for none
        std::string failure;
    } cases[] = {
        {"", fmCreate, nullptr, "10 Archive file name is not specified"},
        {"a.zip", 1, "x", "3 "},
        {"missing/folder/a.zip", fmCreate, nullptr, "1 "},
        {"none.zip", fmOpenRead, nullptr, "2 "},
        {"text.zip", fmOpenReadWrite, nullptr, "2 "},
        {"none.zip", fmCreate, "Zentrova.log4", noFiles},
        {"taken.zip", fmCreate, "Zentrova.log", "1 "},
        {"taken.zip", fmCreate, nullptr, "1 "},
    };
    for (const auto& c : cases) {
        zip.FileName = *c.file ? out + c.file : "";
        const std::string got = failure([&] {
            if (c.mode != 1) zip.OpenArchive(c.mode);
            if (c.mask) zip.AddFiles(c.mask);
            zip.CloseArchive();
        });
        EXPECT_EQ(got.substr(0, c.failure.size()), c.failure) << got;
        EXPECT_FALSE(zip.IsOpen());
    }
    EXPECT_FALSE(std::filesystem::exists(out + "none.zip"));
    EXPECT_TRUE(std::filesystem::is_directory(out + "taken.zip/inner"));
    EXPECT_EQ(fileBytes(out + "text.zip"), "not an archive");

    zip.FileName = out + "later.zip";
    zip.OpenArchive(fmCreate);
    EXPECT_EQ(failure([&] { zip.OpenArchive(fmCreate); }).substr(0, 2), "4 ");
    zip.BaseDir = env.dir + "/nowhere";
    EXPECT_EQ(failure([&] { zip.AddFiles("*"); }).substr(0, 3), "11 ");
}

TEST_F(Zip, CancelAndHandlerErrorsLeaveTheOldFile) {
    writeFile(logs + "big.log", logBytes(200000));
    writeFile(out + "old.zip", "previous contents");
    zip.FileName = out + "old.zip";
    zip.OnFileProgress = [](TBaseArchiver*, const std::string&, double p, TZipOperation, TZipProgressPhase,
                            bool& cancel) { cancel = p > 30; };
    zip.OpenArchive(fmCreate);
    EXPECT_EQ(failure([&] { zip.AddFiles("big.log"); }).substr(0, 2), "9 ");
    EXPECT_FALSE(zip.IsOpen());
    zip.OnFileProgress = [](TBaseArchiver*, const std::string&, double p, TZipOperation, TZipProgressPhase,
                            bool&) {
        if (p > 50) throw std::logic_error("handler failed");
    };
    zip.OpenArchive(fmCreate);
    EXPECT_THROW(zip.AddFiles("big.log"), std::logic_error);
    EXPECT_FALSE(zip.IsOpen());
    EXPECT_EQ(fileBytes(out + "old.zip"), "previous contents");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 1)
        << "no temporary files are left";
}

}  // namespace
