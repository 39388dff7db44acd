#pragma once

// Test fixtures that keep every test away from the real home: TempHome makes a fresh
// temporary folder and points HOME and the XDG base directories at it for the test's
// lifetime (removing it afterwards). Not thread-safe: environment changes are
// process-wide, so make it before starting threads.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tolvar::test {

class TempHome {
public:
    TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;
    ~TempHome();

    const std::string& Root() const { return root_; }
    std::string ConfigHome() const { return root_ + "/config"; }
    std::string DataHome() const { return root_ + "/data"; }
    std::string RuntimeDir() const { return root_ + "/run"; }

private:
    std::string root_;
    std::vector<std::pair<std::string, std::string>> saved_; // name, old value ("\x01" = unset)
};

// A fresh temporary folder, removed with its content at the end of the scope.
class TempFolder {
public:
    TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// One environment variable set (nullptr: removed) for a scope and put back afterwards;
// children started in the scope inherit it. Not thread-safe, as TempHome.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const char* value);
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv();

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Removes a folder tree (no links followed).
void RemoveTree(const std::string& path);

// Writes bytes to a file (plain write, for fixtures).
void WriteFile(const std::string& path, const std::string& bytes);
// Reads a whole file; empty when missing.
std::string ReadFileOrEmpty(const std::string& path);

// Polls pred until it holds or timeout passes; true when it held. Use this, never sleep.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A fixture file: TOLVAR_TEST_DATA_DIR + "/" + relative.
std::string DataPath(const std::string& relative);
// A helper program built from tests/**/<name>_helper.cpp.
std::string HelperPath(const std::string& name);

} // namespace tolvar::test
