// Dials or hangs up over the scripted dial-up backend in a process of its own:
//   dialup_helper dial TYPE   DialInternet with TYPE; prints "result R id ID"
//   dialup_helper hangup ID   records ID as the current connection, then HangUpInternet;
//                             prints "result R"
// The backend's calls are printed as they happen ("dial NAME", "hangup NAME"). The
// connection is "Testnetz", the prompt accepts, the LAN is down.

#include "common/internetconnection.h"
#include "support/scripted_dialup.h"

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: dialup_helper dial TYPE | hangup ID\n";
        return 2;
    }
    tolvar::test::ScriptedDialup script;
    script->SetInstalled("Testnetz");
    script->SetEcho(true);
    platform::SetDialPrompt([](platform::ParentWindow, const std::string&) { return true; });
    const std::string command = argv[1];
    const int number = std::atoi(argv[2]);
    if (command == "dial") {
        const bool result = DialInternet(0, number);
        std::cout << "result " << result << " id " << GetConnectionId() << std::endl;
        return 0;
    }
    if (command == "hangup") {
        RecordConnectionId(number);
        const bool result = HangUpInternet();
        std::cout << "result " << result << std::endl;
        return 0;
    }
    return 2;
}
