// The archive component: writes Zip archives (file name, open, base folder, add files by mask,
// close) and reports the progress of each file it compresses. Failures are EZipException.
#pragma once
#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

struct zip;

// Error codes of the archive component; each has a fixed message.
enum TZipErrorCode : int {
    zecCannotCreateArchive = 1,
    zecCannotOpenArchive = 2,
    zecArchiveNotOpen = 3,
    zecArchiveAlreadyOpen = 4,
    zecArchiveReadOnly = 5,
    zecNoFilesToAdd = 6,
    zecCannotReadFile = 7,
    zecCannotWriteArchive = 8,
    zecCancelled = 9,
    zecFileNameNotSpecified = 10,
    zecBaseDirNotFound = 11,
};

class EZipException : public std::runtime_error {
  public:
    // The message is the code's fixed message, followed by ": " and the detail when there is one.
    explicit EZipException(int code, const std::string& detail = std::string());
    int ErrorCode;
    static std::string messageOf(int code);
};

// Open modes of OpenArchive.
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmCreate = 0xFFFF;

enum TZipCompressionLevel { clNone, clFastest, clNormal, clMax };
// PPM is not a method this build writes; it compresses with deflate, which every reader opens.
enum TZipCompressionAlgorithm { caZLIB, caBZIP, caPPM };
enum TZipOperation { poAdd };
enum TZipProgressPhase { ppStart, ppProcess, ppEnd };

class TBaseArchiver;
// progress: percent (0 to 100) of the current file; setting cancel stops the operation.
using TZipFileProgressEvent =
    std::function<void(TBaseArchiver* sender, const std::string& fileName, double progress,
                       TZipOperation operation, TZipProgressPhase phase, bool& cancel)>;

class TBaseArchiver {
  public:
    TBaseArchiver();
    virtual ~TBaseArchiver();
    TBaseArchiver(const TBaseArchiver&) = delete;
    TBaseArchiver& operator=(const TBaseArchiver&) = delete;

    // The archive to write (UTF-8 path); set before OpenArchive.
    std::string FileName;
    // Folder against which AddFiles resolves its masks; its part of the path is not stored.
    std::string BaseDir;
    TZipCompressionLevel CompressionLevel = clNormal;
    int CompressionMode = 0;  // 1..9 chooses the level directly; 0 follows CompressionLevel
    TZipCompressionAlgorithm CompressionAlgorithm = caZLIB;
    bool FlushBuffers = false;  // the archive reaches the disk before AddFiles returns
    TZipFileProgressEvent OnFileProgress;

    // fmCreate makes a new archive (an existing file is replaced when the archive is written);
    // other modes open an existing one.
    void OpenArchive(uint16_t mode);
    // Compresses every regular file of BaseDir whose name matches mask (wildcards * and ?)
    // and not exclusionMask. The archive file itself is never added. Subfolders are not
    // searched; attributes are accepted for compatibility (hidden and system files count).
    // The files are written into the archive before it returns. On failure the archive is
    // closed and the file on disk is left as it was.
    void AddFiles(const std::string& mask, int32_t attributes = 0x28BF,
                  const std::string& exclusionMask = std::string());
    // Finishes and closes the archive; an archive created without files is written empty.
    void CloseArchive();
    bool IsOpen() const { return open_; }

  private:
    friend struct ZipFileSource;
    void fail(int code, const std::string& detail);
    void discard();
    int deflateLevel() const;
    int32_t method() const;

    zip* za_ = nullptr;
    bool open_ = false;
    bool readOnly_ = false;
    bool create_ = false;
    bool written_ = false;
    bool cancelled_ = false;
    std::exception_ptr handlerError_;
};

class TZipCompress : public TBaseArchiver {};
