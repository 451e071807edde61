// Where the user's certificate database lives, the rule other NSS programs on the desktop
// follow: ~/.pki/nssdb when that directory exists, else $XDG_DATA_HOME/pki/nssdb (by default
// ~/.local/share/pki/nssdb).
#pragma once

#include <filesystem>
#include <optional>

namespace tessaly::platform::nss {

// The database directory, or none when the home directory is unknown.
std::optional<std::filesystem::path> userDatabaseDirectory();

// Creates `directory` and its missing parents with mode 0700; true when it exists afterwards.
bool createPrivateDirectory(const std::filesystem::path& directory);

}  // namespace tessaly::platform::nss
