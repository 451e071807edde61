#include "platform/nss/database_location.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace tessaly::platform::nss {

namespace {

std::optional<std::filesystem::path> homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return std::filesystem::path(home);
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return std::filesystem::path(found->pw_dir);
    }
    return std::nullopt;
}

bool isDirectory(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

}  // namespace

std::optional<std::filesystem::path> userDatabaseDirectory() {
    const auto home = homeDirectory();
    if (!home) {
        return std::nullopt;
    }
    const std::filesystem::path legacy = *home / ".pki" / "nssdb";
    if (isDirectory(legacy)) {
        return legacy;
    }
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    // Relative values are invalid by the base directory rules and are ignored.
    const std::filesystem::path base = dataHome != nullptr && dataHome[0] == '/'
                                           ? std::filesystem::path(dataHome)
                                           : *home / ".local" / "share";
    return base / "pki" / "nssdb";
}

bool createPrivateDirectory(const std::filesystem::path& directory) {
    std::filesystem::path partial;
    for (const auto& part : directory) {
        partial /= part;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return isDirectory(directory);
}

}  // namespace tessaly::platform::nss
