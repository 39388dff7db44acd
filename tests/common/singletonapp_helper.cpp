// One program instance for the single-instance tests:
//   singletonapp_helper NAME hold      claims; prints "claim R"; when claimed, runs its
//                                      bus until killed; else exits with 4
//   singletonapp_helper NAME twice     claims twice; prints "claim R1 R2"; runs its bus
//   singletonapp_helper NAME callback  like hold, with an activation callback that
//                                      prints "callback FIRST SECOND"
// The default reaction to the activation message prints "front".

#include "common/singletonapp.h"
#include "platform/activation.h"
#include "platform/bus.h"

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: singletonapp_helper NAME hold|twice|callback\n";
        return 2;
    }
    const std::string mode = argv[2];
    platform::Bus bus;
    platform::SetApplicationActivator([] { std::cout << "front" << std::endl; });
    SingletonApp* app = SingletonApp::CreateInstance(argv[1]);
    if (mode == "callback") {
        app->SetActivationCallback([](const platform::Message& message) {
            std::cout << "callback " << message.first << ' ' << message.second << std::endl;
        });
    }
    if (mode == "twice") {
        const bool first = app->Claim();
        const bool second = app->Claim();
        std::cout << "claim " << first << ' ' << second << std::endl;
    } else {
        const bool claimed = app->Claim();
        std::cout << "claim " << claimed << std::endl;
        if (!claimed) {
            return 4;
        }
    }
    std::cout << "window " << app->ListenerWindow() << std::endl;
    bus.Run();
    return 0;
}
