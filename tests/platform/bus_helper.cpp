// A peer on the message bus for tests with real processes.
//   bus_helper peer      opens a window, prints "ready <handle>", then one line per
//                        message received ("got <number> <first> <second> <code> <hex>")
//                        and serves the requests of bus_helper.h until kQuit
//   bus_helper register NAME...   prints the registered number of each name

#include "bus_helper.h"

#include "platform/bus.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

int Peer() {
    using namespace bushelper;
    platform::Bus bus;
    platform::WindowHandle self = 0;
    self =
        bus.CreateWindow([&](platform::WindowHandle, const platform::Message& m) -> std::int64_t {
            std::printf("got %u %lld %lld %llu %s\n", m.number, static_cast<long long>(m.first),
                        static_cast<long long>(m.second),
                        static_cast<unsigned long long>(m.dataCode), Hex(m.data).c_str());
            std::fflush(stdout);
            switch (m.number) {
            case kQuit:
                bus.Quit();
                return 0;
            case kEcho:
                return m.first + m.second;
            case kNested: {
                auto r = bus.Send(m.first, {kEcho, 40, 1});
                return r.Handled() ? r.result + 1 : -1;
            }
            case kPostBurst:
                for (std::int64_t i = 1; i <= m.second; ++i) {
                    bus.Post(m.first, {kSeq, i, 0});
                }
                return 0;
            case kPing: {
                auto r = bus.Send(m.first, {kEcho, 1, 1});
                return r.Handled() ? 1 : 0;
            }
            case kGo: {
                const auto start = std::chrono::steady_clock::now();
                long handled = 0;
                for (std::int64_t i = 0; i < m.first; ++i) {
                    handled += bus.Broadcast({kPing, self, 0});
                }
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count();
                std::printf("mutual %ld %lld\n", handled, static_cast<long long>(ms));
                std::fflush(stdout);
                return 0;
            }
            case kSendTo: {
                auto r = bus.Send(m.first, {kEcho, m.second, 0});
                std::printf("sent %d %lld\n", static_cast<int>(r.status),
                            static_cast<long long>(r.result));
                std::fflush(stdout);
                return 0;
            }
            default:
                return 0;
            }
        });
    std::printf("ready %lld\n", static_cast<long long>(self));
    std::fflush(stdout);
    bus.Run();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "peer") {
        return Peer();
    }
    if (argc >= 2 && std::string(argv[1]) == "register") {
        for (int i = 2; i < argc; ++i) {
            std::printf("%u\n", platform::RegisterMessage(argv[i]));
        }
        return 0;
    }
    std::fprintf(stderr, "usage: bus_helper peer | register NAME...\n");
    return 2;
}
