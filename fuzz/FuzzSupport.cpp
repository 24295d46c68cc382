#include "fuzz/FuzzSupport.h"

#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/Dialogs.h"

namespace fuzz {

void ensureApp() {
    // Never destroyed: the windows the targets keep live until the process ends.
    static QApplication* app = nullptr;
    if (app) return;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    app = new QApplication(argc, argv);
}

namespace {
struct Scratch {
    std::string path;
    Scratch() {
        const std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        path = base + "/zentrova-fuzz-XXXXXX";
        if (!mkdtemp(path.data())) fail("cannot make a scratch folder in " + base);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};
}  // namespace

const std::string& scratchDir() {
    static const Scratch dir;
    return dir.path;
}

void writeFile(const std::string& path, std::string_view data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) fail("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void removeStore(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((path + suffix).c_str());
}

void answerBoxesYes() {
    setMessageHandler([](const MessageRequest& r) {
        return r.buttons == MsgButtons::OK || r.buttons == MsgButtons::OKCancel ? mrOk : mrYes;
    });
    setInputHandler([](InputRequest&) { return false; });
}

void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz

// Font look-ups of the offscreen text widgets keep caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
