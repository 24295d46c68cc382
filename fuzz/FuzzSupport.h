// Shared set-up of the fuzz targets: the application object, a private scratch folder, files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {
// The QApplication (offscreen), made on the first call.
void ensureApp();
// A private folder (tmpfs when there is one) made on the first call and removed at exit.
const std::string& scratchDir();
void writeFile(const std::string& path, std::string_view data);
std::string readFile(const std::string& path);
// Removes a settings store file with its journal files.
void removeStore(const std::string& path);
// Message boxes answer Yes (or their default) without showing anything.
void answerBoxesYes();
// Stops the target with a message: a property of the reader that the input broke.
[[noreturn]] void fail(const std::string& what);
}  // namespace fuzz
