// The message bus between two processes: post and send round trips per second, one-way
// posts per second, and the latency of one broadcast to 10 windows (median and 99th
// percentile). Peer processes are forked before the benchmarks start.

#include "platform/bus.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using platform::Bus;
using platform::Message;
using platform::WindowHandle;

constexpr std::uint32_t kPing = 0x8001; // answer first + 1; post kPong back when second != 0
constexpr std::uint32_t kPong = 0x8002;
constexpr std::uint32_t kCount = 0x8003; // one-way post, counted
constexpr std::uint32_t kTotal = 0x8004; // answer how many kCount arrived

struct Peers {
    std::vector<pid_t> pids;
    std::vector<WindowHandle> windows;
};

// Forks a process with `count` windows; returns their handles through a pipe.
void StartPeer(Peers& peers, int count) {
    int fds[2];
    if (::pipe(fds) != 0) {
        std::abort();
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        Bus bus;
        std::int64_t counted = 0;
        for (int i = 0; i < count; ++i) {
            WindowHandle h = bus.CreateWindow([&](WindowHandle, const Message& m) -> std::int64_t {
                switch (m.number) {
                case kPing:
                    if (m.second != 0) {
                        bus.Post(m.second, {kPong, m.first, 0});
                    }
                    return m.first + 1;
                case kCount:
                    ++counted;
                    return 0;
                case kTotal:
                    return counted;
                default:
                    return 0;
                }
            });
            if (::write(fds[1], &h, sizeof h) != sizeof h) {
                ::_exit(1);
            }
        }
        ::close(fds[1]);
        bus.Run();
        ::_exit(0);
    }
    ::close(fds[1]);
    peers.pids.push_back(pid);
    for (int i = 0; i < count; ++i) {
        WindowHandle h = 0;
        if (::read(fds[0], &h, sizeof h) != sizeof h) {
            std::abort();
        }
        peers.windows.push_back(h);
    }
    ::close(fds[0]);
}

Peers gPeers; // one process with one window, then two with four each
std::unique_ptr<Bus> gBus;
WindowHandle gSelf = 0;
std::int64_t gPongs = 0;

void BM_SendRoundTrip(benchmark::State& state) {
    const WindowHandle peer = gPeers.windows[0];
    std::int64_t i = 0;
    for (auto _ : state) {
        auto r = gBus->Send(peer, {kPing, i, 0});
        if (!r.Handled() || r.result != i + 1) {
            state.SkipWithError("send failed");
            break;
        }
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendRoundTrip)->UseRealTime();

void BM_PostRoundTrip(benchmark::State& state) {
    const WindowHandle peer = gPeers.windows[0];
    for (auto _ : state) {
        const std::int64_t want = gPongs + 1;
        if (!gBus->Post(peer, {kPing, 0, gSelf}) ||
            !gBus->RunUntil([&] { return gPongs >= want; }, std::chrono::seconds(5))) {
            state.SkipWithError("post failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostRoundTrip)->UseRealTime();

void BM_PostOneWay(benchmark::State& state) {
    const WindowHandle peer = gPeers.windows[0];
    const std::int64_t before = gBus->Send(peer, {kTotal}).result;
    std::int64_t posted = 0;
    for (auto _ : state) {
        if (gBus->Post(peer, {kCount})) {
            ++posted;
        }
    }
    // The peer handles posts in order, so the send is answered after the last of them.
    const std::int64_t arrived = gBus->Send(peer, {kTotal}).result - before;
    state.counters["dropped"] = static_cast<double>(posted - arrived);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostOneWay)->UseRealTime();

void BM_BroadcastTo10Windows(benchmark::State& state) {
    std::vector<double> micros;
    int reached = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        reached = gBus->Broadcast({kPing, 1, 0});
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
    state.counters["windows"] = reached;
}
BENCHMARK(BM_BroadcastTo10Windows)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/bus-bench-XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    // For the broadcast, 10 windows in four processes: our own, 1, 4 and 4.
    StartPeer(gPeers, 1);
    StartPeer(gPeers, 4);
    StartPeer(gPeers, 4);
    gBus = std::make_unique<Bus>();
    gSelf = gBus->CreateWindow([](WindowHandle, const Message& m) -> std::int64_t {
        if (m.number == kPong) {
            ++gPongs;
        }
        return m.number == kPing ? m.first + 1 : 0;
    });
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gBus.reset();
    for (pid_t pid : gPeers.pids) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return 0;
}
