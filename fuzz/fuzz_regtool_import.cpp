// regtool's text import: any bytes imported into an empty store; when the import is taken,
// the store exported, imported into another empty store and exported again gives the same text.
#include <iostream>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"

int regtoolMain(int argc, char** argv);

namespace {
int regtool(std::vector<std::string> args) {
    args.insert(args.begin(), "regtool");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return regtoolMain(static_cast<int>(args.size()), argv.data());
}

// Imports file into a new store, exports both roots into out; returns the import's status.
int roundTrip(const std::string& store, const std::string& file, const std::string& out) {
    fuzz::removeStore(store);
    const int rc = regtool({"--store", store, "import", file});
    if (rc != 0 && rc != 2) fuzz::fail("import failed with status " + std::to_string(rc));
    std::string text;
    for (const char* root : {"HKCU", "HKLM"}) {
        if (regtool({"--store", store, "export", root, out}) != 0)
            fuzz::fail(std::string("export of ") + root + " failed");
        text += fuzz::readFile(out);
    }
    fuzz::writeFile(out, text);
    return rc;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Messages about bad lines are what the input is made of; they are not shown.
    std::cerr.rdbuf(nullptr);
    std::cout.rdbuf(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string dir = fuzz::scratchDir();
    const std::string input = dir + "/input.txt", first = dir + "/first.txt", second = dir + "/second.txt";
    fuzz::writeFile(input, std::string_view(reinterpret_cast<const char*>(data), size));
    if (roundTrip(dir + "/a.db", input, first) != 0) return 0;
    if (roundTrip(dir + "/b.db", first, second) != 0) fuzz::fail("an export could not be imported");
    if (fuzz::readFile(first) != fuzz::readFile(second))
        fuzz::fail("a second import and export changed the text");
    return 0;
}
