#include "support/temphome.h"

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tolvar::test {

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        old_ = old;
    }
    if (value != nullptr) {
        ::setenv(name_.c_str(), value, 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_) {
        ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

namespace {

constexpr const char* kUnset = "\x01";

std::string MakeTempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tolvar-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

} // namespace

TempHome::TempHome() : root_(MakeTempFolder()) {
    const std::pair<const char*, std::string> vars[] = {
        {"HOME", root_},
        {"XDG_CONFIG_HOME", ConfigHome()},
        {"XDG_DATA_HOME", DataHome()},
        {"XDG_RUNTIME_DIR", RuntimeDir()},
        {"TOLVAR_SYSTEM_DIR", kUnset},
    };
    ::mkdir(RuntimeDir().c_str(), 0700);
    for (const auto& [name, value] : vars) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? old : kUnset);
        if (value == kUnset) {
            ::unsetenv(name);
        } else {
            ::setenv(name, value.c_str(), 1);
        }
    }
}

TempHome::~TempHome() {
    for (const auto& [name, value] : saved_) {
        if (value == kUnset) {
            ::unsetenv(name.c_str());
        } else {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    RemoveTree(root_);
}

TempFolder::TempFolder() : path_(MakeTempFolder()) {}
TempFolder::~TempFolder() {
    RemoveTree(path_);
}

void RemoveTree(const std::string& path) {
    // Make read-only folders (permission tests) removable first.
    ::nftw(
        path.c_str(),
        [](const char* p, const struct stat* st, int type, struct FTW*) {
            if (type == FTW_D) {
                ::chmod(p, st->st_mode | S_IRWXU);
            }
            return 0;
        },
        16, FTW_PHYS);
    ::nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
    out << bytes;
}

std::string ReadFileOrEmpty(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string DataPath(const std::string& relative) {
    return std::string(TOLVAR_TEST_DATA_DIR) + "/" + relative;
}

std::string HelperPath(const std::string& name) {
    return std::string(TOLVAR_TEST_HELPER_DIR) + "/" + name;
}

} // namespace tolvar::test
