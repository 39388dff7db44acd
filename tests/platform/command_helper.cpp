// A configurable command for tests of commands run without a shell:
//   command_helper LOG CODE WAITFILE [ARGS...]
// appends its arguments after WAITFILE to LOG as one line (joined by "|"), waits until
// WAITFILE exists unless it is "-" (at most 60 s), then exits with CODE. With CODE
// "group" it first starts a grandchild in its own process group that appends
// "grandchild alive" to LOG once a second.

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

void Append(const std::string& log, const std::string& line) {
    std::ofstream out(log, std::ios::app);
    out << line << '\n';
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        return 100;
    }
    const std::string log = argv[1];
    const std::string code = argv[2];
    const std::string waitFile = argv[3];
    std::string line;
    for (int i = 4; i < argc; ++i) {
        if (i > 4) {
            line += '|';
        }
        line += argv[i];
    }
    Append(log, line);
    if (code == "group" && ::fork() == 0) {
        for (int i = 0; i < 60; ++i) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            Append(log, "grandchild alive");
        }
        _exit(0);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitFile != "-" && !Exists(waitFile) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return code == "group" ? 0 : std::atoi(code.c_str());
}
