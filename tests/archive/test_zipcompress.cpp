// The archive component: what it writes (read back with libzip), its errors and codes, and the
// progress events with their cancel flag.
#include <gtest/gtest.h>
#include <zip.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/ZipCompress.h"
#include "support/TempEnv.h"

namespace {

// Entry name -> bytes of every entry of an archive; throws when it cannot be read.
std::map<std::string, std::string> readArchive(const std::string& path) {
    int ze = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &ze);
    if (!za) throw std::runtime_error("cannot open " + path + ": " + std::to_string(ze));
    std::map<std::string, std::string> out;
    const zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        zip_stat_t st;
        zip_stat_index(za, i, 0, &st);
        zip_file_t* f = zip_fopen_index(za, i, 0);
        std::string bytes(st.size, '\0');
        const zip_int64_t got = zip_fread(f, bytes.data(), st.size);
        zip_fclose(f);
        EXPECT_EQ(got, static_cast<zip_int64_t>(st.size));
        out[st.name] = bytes;
    }
    zip_close(za);
    return out;
}

int errorCodeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EZipException& e) {
        return e.ErrorCode;
    }
    return 0;
}

class ZipCompressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = env_.dir + "/logs/";
        std::filesystem::create_directories(folder_);
        out_ = env_.dir + "/out/";
        std::filesystem::create_directories(out_);
    }
    std::string logBytes(size_t n) const {
        std::string s;
        for (size_t i = 0; s.size() < n; ++i)
            s += "10:00:0" + std::to_string(i % 10) + ".25,line " + std::to_string(i) + "\n";
        s.resize(n);
        return s;
    }
    TempEnv env_;
    std::string folder_, out_;
};

TEST_F(ZipCompressTest, OneFileUnderItsBareNameWithIdenticalBytes) {
    const std::string bytes = logBytes(300000) + std::string("\0\xff\x01 binary tail", 16);
    writeFile(folder_ + "Zentrova.log", bytes);
    writeFile(folder_ + "Zentrova.log2", "other day\n");

    TZipCompress zip;
    zip.CompressionLevel = clMax;
    zip.CompressionMode = 9;
    zip.CompressionAlgorithm = caPPM;
    zip.FlushBuffers = true;
    zip.FileName = out_ + "Zentrova2026-12-06.zip";
    zip.OpenArchive(fmCreate);
    EXPECT_TRUE(zip.IsOpen());
    zip.BaseDir = folder_;
    zip.AddFiles("Zentrova.log", 0x28BF, "");
    zip.CloseArchive();
    EXPECT_FALSE(zip.IsOpen());

    const auto entries = readArchive(out_ + "Zentrova2026-12-06.zip");
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_EQ(entries.count("Zentrova.log"), 1u);
    EXPECT_TRUE(entries.at("Zentrova.log") == bytes);
    // Compressed, not stored.
    EXPECT_LT(std::filesystem::file_size(out_ + "Zentrova2026-12-06.zip"), bytes.size() / 4);
}

TEST_F(ZipCompressTest, MasksExclusionAndNeverTheArchiveItself) {
    writeFile(folder_ + "a.log", "A");
    writeFile(folder_ + "b.log", "B");
    writeFile(folder_ + "c.txt", "C");
    std::filesystem::create_directories(folder_ + "sub.log");
    TZipCompress zip;
    zip.FileName = folder_ + "all.log";  // matches the mask, yet is not added to itself
    zip.OpenArchive(fmCreate);
    zip.BaseDir = folder_;
    zip.AddFiles("*.log", 0x28BF, "b*");
    zip.CloseArchive();
    const auto entries = readArchive(folder_ + "all.log");
    EXPECT_EQ(entries, (std::map<std::string, std::string>{{"a.log", "A"}}));

    // An existing archive opened for writing takes more files, but not itself.
    zip.OpenArchive(fmOpenReadWrite);
    zip.AddFiles("*", 0x28BF, "b*");
    zip.CloseArchive();
    EXPECT_EQ(readArchive(folder_ + "all.log"),
              (std::map<std::string, std::string>{{"a.log", "A"}, {"c.txt", "C"}}));
}

TEST_F(ZipCompressTest, ErrorsCarryCodesAndMessages) {
    TZipCompress zip;
    try {
        zip.OpenArchive(fmCreate);
        FAIL() << "no exception";
    } catch (const EZipException& e) {
        EXPECT_EQ(e.ErrorCode, 10);
        EXPECT_STREQ(e.what(), "Archive file name is not specified");
    }
    EXPECT_FALSE(zip.IsOpen());

    EXPECT_EQ(errorCodeOf([&] { zip.AddFiles("x"); }), zecArchiveNotOpen);
    zip.FileName = env_.dir + "/missing/folder/a.zip";
    EXPECT_EQ(errorCodeOf([&] { zip.OpenArchive(fmCreate); }), zecCannotCreateArchive);
    zip.FileName = out_ + "none.zip";
    EXPECT_EQ(errorCodeOf([&] { zip.OpenArchive(fmOpenRead); }), zecCannotOpenArchive);

    zip.OpenArchive(fmCreate);
    EXPECT_EQ(errorCodeOf([&] { zip.OpenArchive(fmCreate); }), zecArchiveAlreadyOpen);
    zip.BaseDir = folder_;
    try {
        zip.AddFiles("Zentrova.log4");
        FAIL() << "no exception";
    } catch (const EZipException& e) {
        EXPECT_EQ(e.ErrorCode, zecNoFilesToAdd);
        EXPECT_EQ(std::string(e.what()), "No files to add: " + folder_ + "Zentrova.log4");
    }
    // A failure closes the archive and writes nothing.
    EXPECT_FALSE(zip.IsOpen());
    EXPECT_FALSE(std::filesystem::exists(out_ + "none.zip"));

    zip.OpenArchive(fmCreate);
    zip.BaseDir = env_.dir + "/nowhere";
    EXPECT_EQ(errorCodeOf([&] { zip.AddFiles("*"); }), zecBaseDirNotFound);
}

TEST_F(ZipCompressTest, ATargetThatIsAFolderOrAnArchiveOfNothingFailsCleanly) {
    writeFile(folder_ + "Zentrova.log", "10:00:00 06/12/2026\nline\n");
    std::filesystem::create_directories(out_ + "taken.zip/inner");
    TZipCompress zip;
    zip.FileName = out_ + "taken.zip";
    zip.BaseDir = folder_;
    const int code = errorCodeOf([&] {
        zip.OpenArchive(fmCreate);
        zip.AddFiles("Zentrova.log");
        zip.CloseArchive();
    });
    EXPECT_TRUE(code == zecCannotCreateArchive || code == zecCannotWriteArchive) << code;
    EXPECT_FALSE(zip.IsOpen());
    EXPECT_TRUE(std::filesystem::is_directory(out_ + "taken.zip/inner"));

    // An empty archive over a folder fails the same way.
    const int empty = errorCodeOf([&] {
        zip.OpenArchive(fmCreate);
        zip.CloseArchive();
    });
    EXPECT_TRUE(empty == zecCannotCreateArchive || empty == zecCannotWriteArchive) << empty;
    EXPECT_FALSE(zip.IsOpen());

    // A file that is not an archive cannot be opened for adding.
    writeFile(out_ + "text.zip", "not an archive");
    zip.FileName = out_ + "text.zip";
    EXPECT_EQ(errorCodeOf([&] { zip.OpenArchive(fmOpenReadWrite); }), zecCannotOpenArchive);
    EXPECT_EQ(fileBytes(out_ + "text.zip"), "not an archive");
}

TEST_F(ZipCompressTest, ArchiveWithoutFilesIsStillAnArchive) {
    TZipCompress zip;
    zip.FileName = out_ + "empty.zip";
    zip.OpenArchive(fmCreate);
    zip.CloseArchive();
    EXPECT_TRUE(readArchive(out_ + "empty.zip").empty());
}

TEST_F(ZipCompressTest, ProgressPerFileFromZeroToHundred) {
    writeFile(folder_ + "big.log", logBytes(400000));
    writeFile(folder_ + "empty.log", "");
    TZipCompress zip;
    std::vector<std::pair<std::string, double>> seen;
    std::vector<TZipProgressPhase> phases;
    zip.OnFileProgress = [&](TBaseArchiver* sender, const std::string& name, double progress,
                             TZipOperation op, TZipProgressPhase phase, bool&) {
        EXPECT_EQ(sender, &zip);
        EXPECT_EQ(op, poAdd);
        seen.emplace_back(std::filesystem::path(name).filename().string(), progress);
        phases.push_back(phase);
    };
    zip.FileName = out_ + "p.zip";
    zip.OpenArchive(fmCreate);
    zip.BaseDir = folder_;
    zip.AddFiles("*.log");
    const size_t duringAdd = seen.size();
    zip.CloseArchive();
    EXPECT_EQ(seen.size(), duringAdd);  // all of it while adding

    std::map<std::string, std::vector<double>> byFile;
    for (auto& [name, p] : seen) byFile[name].push_back(p);
    ASSERT_EQ(byFile.size(), 2u);
    const auto& big = byFile["big.log"];
    EXPECT_EQ(big.front(), 0.0);
    EXPECT_EQ(big.back(), 100.0);
    EXPECT_GT(big.size(), 5u);
    for (size_t i = 1; i < big.size(); ++i) EXPECT_GE(big[i], big[i - 1]);
    for (double p : big) EXPECT_LE(p, 100.0);
    EXPECT_EQ(byFile["empty.log"].front(), 0.0);
    EXPECT_EQ(byFile["empty.log"].back(), 100.0);
    EXPECT_EQ(phases.front(), ppStart);
    EXPECT_EQ(phases.back(), ppEnd);
}

TEST_F(ZipCompressTest, CancelAndHandlerErrorsLeaveTheOldFile) {
    writeFile(folder_ + "big.log", logBytes(200000));
    writeFile(out_ + "old.zip", "previous contents");
    TZipCompress zip;
    zip.FileName = out_ + "old.zip";
    zip.BaseDir = folder_;
    zip.OnFileProgress = [](TBaseArchiver*, const std::string&, double p, TZipOperation, TZipProgressPhase,
                            bool& cancel) { cancel = p > 30; };
    zip.OpenArchive(fmCreate);
    EXPECT_EQ(errorCodeOf([&] { zip.AddFiles("big.log"); }), zecCancelled);
    EXPECT_FALSE(zip.IsOpen());
    EXPECT_EQ(fileBytes(out_ + "old.zip"), "previous contents");

    zip.OnFileProgress = [](TBaseArchiver*, const std::string&, double p, TZipOperation, TZipProgressPhase,
                            bool&) {
        if (p > 50) throw std::logic_error("handler failed");
    };
    zip.OpenArchive(fmCreate);
    EXPECT_THROW(zip.AddFiles("big.log"), std::logic_error);
    EXPECT_FALSE(zip.IsOpen());
    EXPECT_EQ(fileBytes(out_ + "old.zip"), "previous contents");
    // No temporary files are left behind.
    size_t files = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(out_)) ++files;
    EXPECT_EQ(files, 1u);
}

}  // namespace
