// The provider batch-file interpreter on arbitrary batch files. Each input is written as
// "copylcache.bat" into a provider folder inside a private temporary folder and run, with
// the home, the XDG folders and the machine hive there too. Whatever the lines say, the
// run may write only the cache folder and the two hives: the provider folder and a folder
// beside the sandbox (which links in the provider folder lead to) stay as they were, and
// every file in the cache folder is the index or a copy of a file inside the provider
// folder, never of one outside it.

#include "common/directories.h"
#include "control/cachemgr.h"
#include "platform/fileio.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// What a folder entry is: 'f' a file with its bytes, 'l' a link with its target, 'd' a
// folder, 'o' anything else.
using Entry = std::pair<char, std::string>;
using Tree = std::map<std::string, Entry>;

std::string g_root;     // the temporary folder: sandbox/ and outside/
std::string g_provider; // sandbox/provider/, the batch file's folder
Tree g_before;          // the tree as set up, home and system apart

void Fail(const std::string& what) {
    std::fprintf(stderr, "copycachebatch_fuzz: %s\n", what.c_str());
    std::abort();
}

void Write(const std::string& path, const std::string& bytes) {
    platform::MakeFolders(platform::ParentFolder(path));
    platform::AtomicWriteFile(path, bytes);
}

// Every entry below folder, links not followed, the folders in skip left out.
void Walk(const std::string& folder, Tree& out, const std::set<std::string>& skip = {}) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const std::string path = folder + "/" + name;
        struct stat st {};
        if (name == "." || name == ".." || skip.contains(path) || ::lstat(path.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
            out[path] = {'l', std::string(target, n > 0 ? static_cast<size_t>(n) : 0)};
        } else if (S_ISDIR(st.st_mode)) {
            out[path] = {'d', {}};
            Walk(path, out, skip);
        } else if (S_ISREG(st.st_mode)) {
            out[path] = {'f', platform::ReadFile(path).value_or("")};
        } else {
            out[path] = {'o', {}};
        }
    }
    ::closedir(dir);
}

// Everything but the home and the machine hive's folder, which a run writes.
Tree Fixed() {
    Tree tree;
    Walk(g_root, tree, {g_root + "/sandbox/home", g_root + "/sandbox/system"});
    return tree;
}

void RemoveTree(const std::string& folder) {
    Tree tree;
    Walk(folder, tree);
    for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
        ::remove(it->first.c_str());
    }
}

void RemoveRoot() {
    RemoveTree(g_root);
    ::rmdir(g_root.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every run saves files with fsync: on a memory file system it costs nothing.
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = tmp != nullptr && *tmp != '\0'           ? tmp
                             : ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm"
                                                                      : "/tmp";
    std::string pattern = base + "/copycachebatch-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        Fail("no temporary folder");
    }
    g_root = pattern;
    const std::string sandbox = g_root + "/sandbox";
    g_provider = sandbox + "/provider";
    ::setenv("HOME", (sandbox + "/home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (sandbox + "/home/.config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (sandbox + "/home/.local/share").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (sandbox + "/home/run").c_str(), 1);
    ::setenv("TOLVAR_SYSTEM_DIR", (sandbox + "/system").c_str(), 1);

    // A provider as an installer leaves it, and what a batch file must not reach.
    Write(g_provider + "/control.xml", "<control serial=\"1\"/>");
    Write(g_provider + "/layout.xml", "<layout/>");
    Write(g_provider + "/bg.bmp", "BM bitmap bytes");
    Write(g_provider + "/images/logo.gif", "GIF89a");
    Write(g_provider + "/Feeds/World.XML", "<rss/>");
    Write(g_root + "/outside/secret.txt", "SECRET: never copied");
    if (::symlink("../../outside", (g_provider + "/out").c_str()) != 0 ||
        ::symlink("../../outside/secret.txt", (g_provider + "/secret.txt").c_str()) != 0 ||
        ::symlink("/etc/hostname", (g_provider + "/hostname").c_str()) != 0 ||
        ::mkfifo((g_provider + "/pipe").c_str(), 0600) != 0) {
        Fail("cannot set up the provider folder");
    }
    g_before = Fixed();
    std::atexit(RemoveRoot);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string batch = g_provider + "/copylcache.bat";
    Write(batch, std::string(reinterpret_cast<const char*>(data), size));
    g_before[batch] = {'f', platform::ReadFile(batch).value_or("")};
    if (!RunCopyCacheBatch(batch, true)) {
        Fail("a readable batch file was reported missing");
    }

    if (Fixed() != g_before) {
        Fail("the run changed a file outside the cache folder and the hives");
    }
    std::set<std::string> providerFiles;
    for (const auto& [path, entry] : g_before) {
        if (path.starts_with(g_provider + "/") && entry.first == 'f') {
            providerFiles.insert(entry.second);
        }
    }
    const std::string cacheFolder = GetCacheDir();
    Tree written;
    Walk(g_root + "/sandbox/home", written);
    Walk(g_root + "/sandbox/system", written);
    for (const auto& [path, entry] : written) {
        const std::string name = path.substr(path.rfind('/') + 1);
        if (entry.first == 'd' || name.ends_with(".reg") || name.ends_with(".reg.lock")) {
            continue; // folders and the hives
        }
        if (path.starts_with(cacheFolder + "/") && path.rfind('/') == cacheFolder.size()) {
            if (name.starts_with("cache.dir")) {
                continue; // the index and its locks
            }
            if (entry.first == 'f' && providerFiles.contains(entry.second)) {
                continue; // a copy of a provider file
            }
        }
        Fail("the run left " + path +
             ", which is neither the index, a hive nor a copy of a "
             "provider file");
    }
    // Each input starts from an empty account: no cache, no hives.
    RemoveTree(g_root + "/sandbox/home");
    RemoveTree(g_root + "/sandbox/system");
    return 0;
}
