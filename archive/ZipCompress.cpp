#include "archive/ZipCompress.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/i18n.h"

namespace fs = std::filesystem;

namespace {

const char* fixedMessage(int code) {
    switch (code) {
        case zecCannotCreateArchive:
            return "Cannot create archive file";
        case zecCannotOpenArchive:
            return "Cannot open archive file";
        case zecArchiveNotOpen:
            return "Archive is not open";
        case zecArchiveAlreadyOpen:
            return "Archive is already open";
        case zecArchiveReadOnly:
            return "Archive is open for reading only";
        case zecNoFilesToAdd:
            return "No files to add";
        case zecCannotReadFile:
            return "Cannot read file";
        case zecCannotWriteArchive:
            return "Cannot write archive file";
        case zecCancelled:
            return "Operation cancelled";
        case zecFileNameNotSpecified:
            return "Archive file name is not specified";
        case zecBaseDirNotFound:
            return "Base folder not found";
        default:
            return "Archive error";
    }
}

std::string zipErrorText(int ze) {
    zip_error_t e;
    zip_error_init_with_code(&e, ze);
    std::string s = zip_error_strerror(&e);
    zip_error_fini(&e);
    return s;
}

bool sameFile(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

// An empty archive: the end-of-directory record alone.
const char kEmptyArchive[22] = {'P', 'K', 5, 6};

}  // namespace

EZipException::EZipException(int code, const std::string& detail)
    : std::runtime_error(detail.empty() ? messageOf(code) : messageOf(code) + ": " + detail),
      ErrorCode(code) {}

std::string EZipException::messageOf(int code) {
    return i18n::translate8(fixedMessage(code));
}

// One file being compressed: libzip reads it through this source, which reports the progress.
struct ZipFileSource {
    TBaseArchiver* owner;
    std::string path;
    int fd = -1;
    uint64_t size = 0;
    uint64_t done = 0;
    int lastPercent = -1;
    bool ended = false;
    zip_error_t error;

    ZipFileSource(TBaseArchiver* o, std::string p) : owner(o), path(std::move(p)) { zip_error_init(&error); }
    ~ZipFileSource() {
        if (fd >= 0) ::close(fd);
        zip_error_fini(&error);
    }

    // Runs the owner's handler; false (with the source's error set) when the operation must stop.
    bool report(double percent, TZipProgressPhase phase) {
        if (!owner->OnFileProgress) return true;
        bool cancel = false;
        try {
            owner->OnFileProgress(owner, path, percent, poAdd, phase, cancel);
        } catch (...) {
            // Never through libzip's C frames: kept and raised again once libzip has returned.
            owner->handlerError_ = std::current_exception();
            zip_error_set(&error, ZIP_ER_CANCELLED, 0);
            return false;
        }
        if (cancel) {
            owner->cancelled_ = true;
            zip_error_set(&error, ZIP_ER_CANCELLED, 0);
            return false;
        }
        return true;
    }

    bool progress() {
        const double percent = size == 0 ? 100.0 : std::min(100.0, 100.0 * double(done) / double(size));
        const int whole = static_cast<int>(percent);
        if (whole == lastPercent) return true;
        lastPercent = whole;
        return report(percent, ppProcess);
    }

    zip_int64_t run(void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
        switch (cmd) {
            case ZIP_SOURCE_OPEN: {
                do {
                    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
                } while (fd < 0 && errno == EINTR);
                if (fd < 0) {
                    zip_error_set(&error, ZIP_ER_OPEN, errno);
                    return -1;
                }
                struct stat st;
                size = ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
                done = 0;
                lastPercent = -1;
                ended = false;
                return report(0.0, ppStart) ? 0 : -1;
            }
            case ZIP_SOURCE_READ: {
                ssize_t n;
                do {
                    n = ::read(fd, data, len);
                } while (n < 0 && errno == EINTR);
                if (n < 0) {
                    zip_error_set(&error, ZIP_ER_READ, errno);
                    return -1;
                }
                done += static_cast<uint64_t>(n);
                if (n == 0) {
                    if (!ended) {
                        ended = true;
                        if (lastPercent < 100 && !report(100.0, ppProcess)) return -1;
                        if (!report(100.0, ppEnd)) return -1;
                    }
                } else if (!progress()) {
                    return -1;
                }
                return n;
            }
            case ZIP_SOURCE_CLOSE:
                if (fd >= 0) ::close(fd);
                fd = -1;
                return 0;
            case ZIP_SOURCE_STAT: {
                auto* st = static_cast<zip_stat_t*>(data);
                if (len < sizeof(*st)) {
                    zip_error_set(&error, ZIP_ER_INVAL, 0);
                    return -1;
                }
                zip_stat_init(st);
                struct stat fst;
                if (::stat(path.c_str(), &fst) != 0) {
                    zip_error_set(&error, ZIP_ER_READ, errno);
                    return -1;
                }
                st->size = static_cast<zip_uint64_t>(fst.st_size);
                st->mtime = fst.st_mtime;
                st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
                return sizeof(*st);
            }
            case ZIP_SOURCE_ERROR:
                return zip_error_to_data(&error, data, len);
            case ZIP_SOURCE_FREE:
                delete this;
                return 0;
            case ZIP_SOURCE_SUPPORTS:
                return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                                      ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
            default:
                zip_error_set(&error, ZIP_ER_OPNOTSUPP, 0);
                return -1;
        }
    }

    static zip_int64_t callback(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
        return static_cast<ZipFileSource*>(state)->run(data, len, cmd);
    }
};

TBaseArchiver::TBaseArchiver() = default;

TBaseArchiver::~TBaseArchiver() {
    discard();
}

void TBaseArchiver::discard() {
    if (za_) zip_discard(za_);
    za_ = nullptr;
    open_ = false;
}

void TBaseArchiver::fail(int code, const std::string& detail) {
    discard();
    throw EZipException(code, detail);
}

int TBaseArchiver::deflateLevel() const {
    if (CompressionMode >= 1 && CompressionMode <= 9) return CompressionMode;
    switch (CompressionLevel) {
        case clNone:
            return 0;
        case clFastest:
            return 1;
        case clNormal:
            return 6;
        case clMax:
            return 9;
    }
    return 6;
}

int32_t TBaseArchiver::method() const {
    if (deflateLevel() == 0) return ZIP_CM_STORE;
    if (CompressionAlgorithm == caBZIP && zip_compression_method_supported(ZIP_CM_BZIP2, 1))
        return ZIP_CM_BZIP2;
    return ZIP_CM_DEFLATE;
}

void TBaseArchiver::OpenArchive(uint16_t mode) {
    if (open_) throw EZipException(zecArchiveAlreadyOpen, FileName);
    if (FileName.empty()) throw EZipException(zecFileNameNotSpecified);
    create_ = mode == fmCreate;
    readOnly_ = !create_ && (mode & 3) == fmOpenRead;
    written_ = false;
    int flags = readOnly_ ? ZIP_RDONLY : 0;
    if (create_) {
        // The old file, if any, stays until the new archive is complete.
        fs::path parent = fs::path(FileName).parent_path();
        if (parent.empty()) parent = ".";
        std::error_code ec;
        if (!fs::is_directory(parent, ec) || ::access(parent.c_str(), W_OK) != 0)
            throw EZipException(zecCannotCreateArchive, FileName + " (" +
                                                            std::strerror(ec      ? ec.value()
                                                                          : errno ? errno
                                                                                  : ENOENT) +
                                                            ")");
        flags = ZIP_CREATE | ZIP_TRUNCATE;
    }
    int ze = 0;
    za_ = zip_open(FileName.c_str(), flags, &ze);
    if (!za_)
        throw EZipException(create_ ? zecCannotCreateArchive : zecCannotOpenArchive,
                            FileName + " (" + zipErrorText(ze) + ")");
    open_ = true;
}

void TBaseArchiver::AddFiles(const std::string& mask, int32_t /*attributes*/,
                             const std::string& exclusionMask) {
    if (!open_) throw EZipException(zecArchiveNotOpen);
    if (readOnly_) throw EZipException(zecArchiveReadOnly, FileName);
    const fs::path base = BaseDir.empty() ? fs::path(".") : fs::path(BaseDir);
    std::error_code ec;
    if (!fs::is_directory(base, ec)) fail(zecBaseDirNotFound, base.string());

    std::vector<std::string> names;
    for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code tec;
        if (!it->is_regular_file(tec)) continue;
        const std::string name = it->path().filename().string();
        if (::fnmatch(mask.c_str(), name.c_str(), 0) != 0) continue;
        if (!exclusionMask.empty() && ::fnmatch(exclusionMask.c_str(), name.c_str(), 0) == 0) continue;
        if (sameFile(it->path(), FileName)) continue;
        names.push_back(name);
    }
    if (ec) fail(zecCannotReadFile, base.string() + " (" + ec.message() + ")");
    if (names.empty()) fail(zecNoFilesToAdd, (base / mask).string());
    std::sort(names.begin(), names.end());

    if (!za_) {
        int ze = 0;
        za_ = zip_open(FileName.c_str(), 0, &ze);
        if (!za_) fail(zecCannotOpenArchive, FileName + " (" + zipErrorText(ze) + ")");
    }
    for (const std::string& name : names) {
        auto* state = new ZipFileSource(this, (base / name).string());
        zip_source_t* src = zip_source_function(za_, &ZipFileSource::callback, state);
        if (!src) {
            delete state;
            fail(zecCannotWriteArchive, zip_strerror(za_));
        }
        const zip_int64_t index = zip_file_add(za_, name.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_GUESS);
        if (index < 0) {
            const std::string why = zip_strerror(za_);
            zip_source_free(src);
            fail(zecCannotWriteArchive, name + " (" + why + ")");
        }
        if (zip_set_file_compression(za_, static_cast<zip_uint64_t>(index), method(),
                                     static_cast<zip_uint32_t>(deflateLevel())) != 0)
            fail(zecCannotWriteArchive, name + " (" + zip_strerror(za_) + ")");
    }

    // Writing now makes the progress belong to this call and leaves a complete archive.
    cancelled_ = false;
    handlerError_ = nullptr;
    if (zip_close(za_) != 0) {
        const std::string why = zip_strerror(za_);
        discard();
        if (handlerError_) {
            std::exception_ptr e = handlerError_;
            handlerError_ = nullptr;
            std::rethrow_exception(e);
        }
        if (cancelled_) throw EZipException(zecCancelled, FileName);
        throw EZipException(zecCannotWriteArchive, FileName + " (" + why + ")");
    }
    za_ = nullptr;
    written_ = true;
    if (FlushBuffers) {
        const int fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
}

void TBaseArchiver::CloseArchive() {
    if (!open_) return;
    if (!za_) {
        open_ = false;
        return;
    }
    if (create_ && !written_ && zip_get_num_entries(za_, 0) == 0) {
        // libzip writes no file for an archive without entries; a new archive still exists.
        discard();
        const std::string tmp = FileName + ".tmp";
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out.write(kEmptyArchive, sizeof kEmptyArchive);
            out.close();
            if (!out) {
                std::remove(tmp.c_str());
                throw EZipException(zecCannotWriteArchive, FileName);
            }
        }
        if (std::rename(tmp.c_str(), FileName.c_str()) != 0) {
            const int err = errno;
            std::remove(tmp.c_str());
            throw EZipException(zecCannotWriteArchive, FileName + " (" + std::strerror(err) + ")");
        }
        return;
    }
    if (zip_close(za_) != 0) fail(zecCannotWriteArchive, FileName + " (" + zip_strerror(za_) + ")");
    za_ = nullptr;
    open_ = false;
}
