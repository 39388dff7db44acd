// Dials or hangs up over the scripted dial-up backend in a process of its own:
//   dialup_helper dial TYPE   DialInternet with TYPE; prints "result R id ID"
//   dialup_helper hangup ID   records ID as the current connection, then HangUpInternet;
//                             prints "result R"
//   dialup_helper busdial FILE  opens a bus window that creates FILE when it receives a
//                             message, prints "window HANDLE", then dials (type 1) with
//                             the configured commands; prints "result R id ID"
// dial and hangup use the scripted backend and print its calls as they happen ("dial
// NAME", "hangup NAME"): the connection is "Testnetz", the LAN is down. The prompt
// accepts.

#include "common/internetconnection.h"
#include "platform/bus.h"
#include "support/scripted_dialup.h"
#include "support/temphome.h"

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: dialup_helper dial TYPE | hangup ID\n";
        return 2;
    }
    platform::SetDialPrompt([](platform::ParentWindow, const std::string&) { return true; });
    const std::string command = argv[1];
    if (command == "busdial") {
        platform::Bus bus;
        const std::string file = argv[2];
        const platform::WindowHandle window =
            bus.CreateWindow([file](platform::WindowHandle, const platform::Message&) {
                tolvar::test::WriteFile(file, "");
                return 1;
            });
        std::cout << "window " << window << std::endl;
        const bool result = DialInternet(window, 1);
        std::cout << "result " << result << " id " << GetConnectionId() << std::endl;
        return 0;
    }
    tolvar::test::ScriptedDialup script;
    script->SetInstalled("Testnetz");
    script->SetEcho(true);
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
