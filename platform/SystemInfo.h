// What the program asks of the system: folders, user name, OS text, its own version.
#pragma once
#include <string>

namespace SystemInfo {
// $APPDATA if set, else $XDG_DATA_HOME, else ~/.local/share. No trailing "/".
std::string appDataDir();
// $XDG_CONFIG_HOME (else ~/.config) + "/TressivanLabs".
std::string configDir();
// The stand-in for the Windows directory: $ZENTROVA_WINDIR, else configDir().
std::string windowsDir();
std::string userName();
// Operating-system version numbers; false when they cannot be read.
bool osVersion(int& major, int& minor, int& build, std::string& extra);
std::string osVersionText();
// The platform identifier this stand-in reports beside the version: the NT family's, whose
// services (per-user security, overlapped device I/O) the Linux stand-ins provide.
constexpr int PlatformIdNT = 2;
int platformId();
// The program's version ("1.0.0.0"); empty when unknown.
std::string programVersion();
// Folder of the running program (for "locale" and help files).
std::string programDir();
}  // namespace SystemInfo
