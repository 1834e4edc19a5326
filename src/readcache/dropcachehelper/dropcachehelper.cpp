// dov-uruvivuz-drop-cache DEVICE
//
// Run as root through pkexec. Drops the cached pages of one block device, and only of a device
// that a FUSE volume reads right now: a FUSE daemon such as exfat-fuse, ntfs-3g or fuse2fs reads
// through the device's page cache, so a read-back after a copy would come from memory otherwise.
// A fuseblk mount names its device by number. Any other FUSE mount names it only by its source,
// which whoever mounts it chooses freely, so that counts only on a mount made by root.
//
// It trusts nothing but its single argument, and that only as far as it checks it: no
// environment, no standard input, no locale, no PATH. Every path component is opened without
// following links, and the device is judged by fstat on the open descriptor.
//
// Exit status (dropcacheexit.h): 0 dropped, 2 usage, 3 refused, 4 system failure.

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/privilegedcalls.h"
#include "platform/uniquefd.h"
#include "readcache/dropcacheexit.h"

namespace {

namespace exits = readcache::dropcacheexit;
namespace privileged = platform::privileged;
using platform::UniqueFd;

constexpr std::string_view programName = "dov-uruvivuz-drop-cache";
constexpr std::size_t longestPath = 4096;

// One line, whatever the argument holds: control characters are shown as '?'.
[[noreturn]] void quit(int status, std::string message) {
    for (char& c : message) {
        if ((unsigned char)c < 0x20 || c == 0x7f) c = '?';
    }
    std::fprintf(stderr, "%s: %s\n", programName.data(), message.c_str());
    std::exit(status);
}

// A privileged program started with 0, 1 or 2 closed would reuse that number for a file it
// opens, and its messages would go there.
void keepStandardDescriptorsTaken() {
    if (!privileged::fillStandardDescriptors()) std::_Exit(exits::system);
}

[[noreturn]] void quitSystem(const std::string& action, int errnoValue) {
    quit(exits::system, action + ": " + std::strerror(errnoValue));
}

// What call returns; a system failure ends the helper, saying what it was doing and why.
template <class Call>
auto attempt(const std::string& action, Call&& call) {
    try {
        return call();
    } catch (const std::system_error& failure) {
        quitSystem(action, failure.code().value());
    }
}

// The kernel writes space, tab, newline and backslash in mountinfo fields as \ooo.
std::string unescapeMountField(std::string_view field) {
    std::string plain;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto digit = [&](std::size_t at, char highest) {
            return field[at] >= '0' && field[at] <= highest;
        };
        if (field[i] == '\\' && i + 3 < field.size() && digit(i + 1, '3') && digit(i + 2, '7') &&
            digit(i + 3, '7')) {
            plain +=
                char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            plain += field[i];
        }
    }
    return plain;
}

std::vector<std::string_view> splitFields(std::string_view line, char separator) {
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        const std::size_t end = line.find(separator);
        fields.push_back(line.substr(0, end));
        if (end == std::string_view::npos) break;
        line.remove_prefix(end + 1);
    }
    return fields;
}

bool hasOption(std::string_view options, std::string_view wanted) {
    for (const std::string_view option : splitFields(options, ',')) {
        if (option == wanted) return true;
    }
    return false;
}

// True when one mountinfo line is a FUSE mount that reads the block device numbered "major:minor".
bool isFuseMountOf(std::string_view line, dev_t device, std::string_view number) {
    // ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS
    const std::vector<std::string_view> fields = splitFields(line, ' ');
    if (fields.size() < 10) return false;
    for (std::size_t i = 6; i + 3 < fields.size(); ++i) {
        if (fields[i] != "-") continue;
        // A FUSE file system may carry a subtype: "fuseblk.exfat", "fuse.ext4".
        const std::string type = unescapeMountField(fields[i + 1]);
        if (type == "fuseblk" || type.starts_with("fuseblk.")) return fields[2] == number;
        if (type != "fuse" && !type.starts_with("fuse.")) return false;
        if (!hasOption(fields[i + 3], "user_id=0")) return false;
        const std::string source = unescapeMountField(fields[i + 2]);
        if (!source.starts_with("/dev/") || source.find("/..") != std::string::npos) return false;
        const std::optional<struct stat> named = privileged::statOf(source);
        return named && S_ISBLK(named->st_mode) && named->st_rdev == device;
    }
    return false;
}

bool isReadByFuse(dev_t device) {
    const UniqueFd table = attempt("cannot open /proc/self/mountinfo", [] {
        return privileged::openForReadingAt(-1, "/proc/self/mountinfo");
    });
    const std::string text = attempt("cannot read /proc/self/mountinfo",
                                     [&] { return privileged::readAll(table.get()); });

    const std::string number = std::to_string(major(device)) + ':' + std::to_string(minor(device));
    for (const std::string_view line : splitFields(text, '\n')) {
        if (isFuseMountOf(line, device, number)) return true;
    }
    return false;
}

// "/dev/a/b" -> {"a", "b"}; refuses anything but plain names below /dev.
std::vector<std::string> componentsBelowDev(const std::string& path) {
    constexpr std::string_view root = "/dev/";
    if (path.size() > longestPath) quit(exits::refused, "the path is too long");
    if (!path.starts_with(root)) quit(exits::refused, path + " is not an absolute path under /dev");
    std::vector<std::string> components;
    std::string_view rest = std::string_view(path).substr(root.size());
    for (;;) {
        const std::size_t slash = rest.find('/');
        const std::string_view name = rest.substr(0, slash);
        if (name.empty() || name == "." || name == "..") {
            quit(exits::refused, path + " is not a plain path: empty, . or .. component");
        }
        components.emplace_back(name);
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return components;
}

// Walks down from /dev one folder at a time, never through a link, so the folder that holds the
// node is the one the path names.
UniqueFd openFolderOf(const std::string& path, const std::vector<std::string>& components) {
    UniqueFd folder =
        attempt("cannot open /dev", [] { return privileged::openFolderAt(-1, "/dev"); });
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        try {
            folder = privileged::openFolderAt(folder.get(), components[i]);
        } catch (const std::system_error& failure) {
            const int error = failure.code().value();
            if (error == ENOTDIR || error == ELOOP) {
                quit(exits::refused, path + " passes through a symbolic link or a non-folder");
            }
            if (error == ENOENT) quit(exits::refused, path + " does not exist");
            quitSystem("cannot open a folder of " + path, error);
        }
    }
    return folder;
}

}  // namespace

int main(int argc, char** argv) {
    keepStandardDescriptorsTaken();
    if (argc != 2 || argv[1] == nullptr) {
        quit(exits::usage, "usage: dov-uruvivuz-drop-cache /dev/DEVICE");
    }
    const std::string path = argv[1];
    const std::vector<std::string> components = componentsBelowDev(path);

    UniqueFd folder = openFolderOf(path, components);
    const std::string& name = components.back();

    // Look before opening: opening some character devices (a watchdog, a tape) has effects.
    struct stat seen {};
    try {
        seen = privileged::lookAt(folder.get(), name);
    } catch (const std::system_error& failure) {
        if (failure.code().value() == ENOENT) quit(exits::refused, path + " does not exist");
        quitSystem("cannot look at " + path, failure.code().value());
    }
    if (S_ISLNK(seen.st_mode)) quit(exits::refused, path + " is a symbolic link");
    if (!S_ISBLK(seen.st_mode)) quit(exits::refused, path + " is not a block device");
    // In a folder others may write to, the name could be swapped between look and open.
    const struct stat holder = attempt("cannot look at the folder of " + path,
                                       [&] { return privileged::lookAt(folder.get()); });
    if (holder.st_uid != 0 || (holder.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        quit(exits::refused, path + " lies in a folder that others may write to");
    }
    if (!isReadByFuse(seen.st_rdev)) {
        quit(exits::refused,
             path + " is neither mounted as fuseblk nor the source of a FUSE mount made by root");
    }

    const UniqueFd device = attempt(
        "cannot open " + path, [&] { return privileged::openForReadingAt(folder.get(), name); });
    folder.reset();
    const struct stat opened =
        attempt("cannot look at " + path, [&] { return privileged::lookAt(device.get()); });
    if (!S_ISBLK(opened.st_mode) || opened.st_rdev != seen.st_rdev) {
        quit(exits::refused, path + " changed while it was being checked");
    }
    // Dirty pages stay cached: write back first what the FUSE daemon left (fusefat's fsync does
    // not reach the device).
    attempt("cannot write back " + path, [&] { privileged::writeBack(device.get()); });
    attempt("cannot drop the cache of " + path, [&] { privileged::dropCachedPages(device.get()); });
    return exits::done;
}
