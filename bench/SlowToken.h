#pragma once
// The slow token of the benchmarks (slowtoken/slow_token.c: SoftHSM behind a module whose
// every signature takes NORVANE_SLOW_TOKEN_MS longer) registered with p11-kit for this
// process alone, in place of SoftHSM's own registration: the program then reaches its
// tokens through p11-kit's proxy exactly as it reaches a smart card.
//
// p11-kit reads its module files from fixed system folders, and reads a user's own only when
// the program does not run as root. So as root the process takes a mount namespace of its
// own and lays a temporary folder over the system's module folder there (nothing changes for
// any other process); otherwise the files go to a temporary HOME's ~/.config/pkcs11/modules.
// Call it first thing in main, before any thread starts. Its temporary folders go at exit.

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace slowtoken {

inline const char* kSystemModules = "/usr/share/p11-kit/modules";
inline const char* kLocalModules = "/etc/pkcs11/modules";

// The temporary folders made for the registration, removed at exit.
inline std::vector<std::string>& madeFolders() {
    static std::vector<std::string> folders;
    return folders;
}

inline void removeMadeFolders() {
    for (const std::string& folder : madeFolders()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}

inline std::string makeFolder(const std::string& pattern) {
    std::string path = pattern;
    if (!::mkdtemp(path.data())) throw std::runtime_error("slow token: no temporary folder: " + std::string(std::strerror(errno)));
    if (madeFolders().empty()) std::atexit(removeMadeFolders);
    madeFolders().push_back(path);
    return path;
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    if (!out) throw std::runtime_error("slow token: cannot write " + path);
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The module file of `folder` that registers SoftHSM: its module path (empty: none).
inline std::string softHsmModuleIn(const std::string& folder, std::string* fileName = nullptr) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return {};
    std::string found;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() < 7 || name.compare(name.size() - 7, 7, ".module") != 0) continue;
        const std::string text = readText(folder + "/" + name);
        const size_t at = text.find("module:");
        if (at == std::string::npos) continue;
        std::string line = text.substr(at + 7, text.find('\n', at) - at - 7);
        line.erase(0, line.find_first_not_of(" \t"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (line.find("softhsm") == std::string::npos) continue;
        found = line;
        if (fileName) *fileName = name;
        break;
    }
    ::closedir(dir);
    return found;
}

// Registers `slowModule` (forwarding to SoftHSM) and hides SoftHSM's own registration.
// Returns how it was done, for the benchmark's report.
inline std::string registerSlowToken(const std::string& slowModule) {
    std::string softHsmFile;
    std::string softHsm = softHsmModuleIn(kSystemModules, &softHsmFile);
    std::string softHsmFolder = kSystemModules;
    if (softHsm.empty()) {
        softHsm = softHsmModuleIn(kLocalModules, &softHsmFile);
        softHsmFolder = kLocalModules;
    }
    if (softHsm.empty()) throw std::runtime_error("slow token: SoftHSM is not registered with p11-kit");
    if (softHsm[0] != '/') softHsm = "/usr/lib/x86_64-linux-gnu/pkcs11/" + softHsm;
    ::setenv("NORVANE_SLOW_TOKEN_MODULE", softHsm.c_str(), 1);
    ::setenv("NORVANE_SOFTHSM_MODULE", softHsm.c_str(), 1);  // for the test tools that make the tokens
    ::setenv("NORVANE_SLOW_TOKEN_MS", "0", 1);
    const std::string entry = "module: " + slowModule + "\n";

    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            throw std::runtime_error("slow token: no mount namespace: " + std::string(std::strerror(errno)));
        for (const std::string& folder : {std::string(kSystemModules), std::string(kLocalModules)}) {
            struct stat info {};
            if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
            // The folder's files but SoftHSM's, and the slow token's.
            const std::string copy = makeFolder("/tmp/norvane-p11-modules-XXXXXX");
            if (DIR* dir = ::opendir(folder.c_str())) {
                while (const dirent* e = ::readdir(dir)) {
                    const std::string name = e->d_name;
                    if (name == "." || name == ".." || (folder == softHsmFolder && name == softHsmFile)) continue;
                    writeText(copy + "/" + name, readText(folder + "/" + name));
                }
                ::closedir(dir);
            }
            if (folder == kSystemModules) writeText(copy + "/norvane-slow-token.module", entry);
            if (::mount(copy.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0)
                throw std::runtime_error("slow token: cannot lay the modules over " + folder + ": " +
                                         std::strerror(errno));
        }
        return "registered with p11-kit in a mount namespace of this process";
    }
    const std::string home = makeFolder("/tmp/norvane-bench-home-XXXXXX");
    ::mkdir((home + "/.config").c_str(), 0700);
    ::mkdir((home + "/.config/pkcs11").c_str(), 0700);
    ::mkdir((home + "/.config/pkcs11/modules").c_str(), 0700);
    writeText(home + "/.config/pkcs11/modules/norvane-slow-token.module", entry);
    // The user's file of the same name takes SoftHSM's place; enabled in no program.
    writeText(home + "/.config/pkcs11/modules/" + softHsmFile, "module: " + softHsm + "\nenable-in: none\n");
    ::setenv("HOME", home.c_str(), 1);
    return "registered with p11-kit in the user configuration of a temporary HOME";
}

}  // namespace slowtoken
