// The export file: any bytes imported into an empty store and exported again; that export,
// imported into another empty store, exports to the same text (nothing read is lost or
// changed by the second round).
#include <cstdlib>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "methods/ExportImport.h"

namespace {
TExportImport1* window = nullptr;

// Imports file into a new store at store, then exports the store to out.
void roundTrip(const std::string& store, const std::string& file, const std::string& out) {
    fuzz::removeStore(store);
    setenv("ZENTROVA_REGISTRY", store.c_str(), 1);
    window->ImportAll(file);
    if (!window->ExportAll(out)) fuzz::fail("export failed after an import");
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::ensureApp();
    fuzz::answerBoxesYes();
    window = new TExportImport1();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string dir = fuzz::scratchDir();
    const std::string input = dir + "/input.sav", first = dir + "/first.sav", second = dir + "/second.sav";
    fuzz::writeFile(input, std::string_view(reinterpret_cast<const char*>(data), size));
    roundTrip(dir + "/a.db", input, first);
    roundTrip(dir + "/b.db", first, second);
    if (fuzz::readFile(first) != fuzz::readFile(second))
        fuzz::fail("a second import and export changed the file");
    return 0;
}
