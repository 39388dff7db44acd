// tolvar-inspect: prints what the system's models hold, as JSON, for people who debug a
// provider's content and for black-box tests. Exit status 0 on success, 1 when the
// input could not be read, 2 on a usage error.

#include "command.h"

#include <cstring>
#include <exception>
#include <iostream>

namespace inspect {

namespace {
std::vector<const Command*>& Registry() {
    static std::vector<const Command*> commands;
    return commands;
}
} // namespace

Command::Command(const char* name_, const char* usage_, const char* summary_, CommandFunction run_)
    : name(name_), usage(usage_), summary(summary_), run(run_) {
    Registry().push_back(this);
}

const std::vector<const Command*>& Commands() {
    return Registry();
}

} // namespace inspect

namespace {

void PrintUsage(std::ostream& out) {
    out << "usage: tolvar-inspect COMMAND [ARGS]\n\ncommands:\n";
    for (const auto* c : inspect::Commands()) {
        out << "  " << c->name << ' ' << c->usage << "\n      " << c->summary << '\n';
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        PrintUsage(argc < 2 ? std::cerr : std::cout);
        return argc < 2 ? 2 : 0;
    }
    for (const auto* c : inspect::Commands()) {
        if (std::strcmp(c->name, argv[1]) != 0) {
            continue;
        }
        try {
            return c->run(std::vector<std::string>(argv + 2, argv + argc));
        } catch (const inspect::UsageError& e) {
            std::cerr << "tolvar-inspect " << c->name << ": " << e.message
                      << "\nusage: tolvar-inspect " << c->name << ' ' << c->usage << '\n';
            return 2;
        } catch (const std::exception& e) {
            std::cerr << "tolvar-inspect " << c->name << ": " << e.what() << '\n';
            return 1;
        }
    }
    std::cerr << "tolvar-inspect: unknown command \"" << argv[1] << "\"\n";
    PrintUsage(std::cerr);
    return 2;
}
