// Holds a named lock for a test: "namedlock_helper NAME" prints "held" and waits to be
// killed, or prints "busy" and exits 3 when another process holds the lock.

#include "platform/namedlock.h"

#include <iostream>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: namedlock_helper NAME\n";
        return 2;
    }
    auto lock = platform::NamedLock::TryAcquire(argv[1]);
    if (!lock) {
        std::cout << "busy" << std::endl;
        return 3;
    }
    std::cout << "held" << std::endl;
    for (;;) {
        ::pause();
    }
}
