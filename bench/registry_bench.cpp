// The registry's costs as the settings see them: a getter opens the machine key and the
// user key and reads one value; a setter is one locked, fsynced transaction; the
// settings dialog's OK writes its 21 values in one.

#include "platform/registry.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <stdlib.h>
#include <string>

namespace {

using platform::Access;
using platform::Hive;
using platform::RegistryKey;

constexpr const char* kMain = "\\Software\\Brimwald\\Tolvar";

// Points HOME and the XDG folders at a fresh temporary folder holding a filled user hive.
void FreshHome() {
    static std::string root = [] {
        char pattern[] = "/tmp/registry-bench-XXXXXX";
        std::string path = ::mkdtemp(pattern);
        ::setenv("HOME", path.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (path + "/config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (path + "/data").c_str(), 1);
        ::unsetenv("TOLVAR_SYSTEM_DIR");
        auto key = RegistryKey::Open(Hive::CurrentUser, kMain, Access::ReadWrite, true);
        for (int i = 0; i < 25; ++i) {
            key->WriteInteger("Value" + std::to_string(i), static_cast<std::uint32_t>(i));
        }
        return path;
    }();
}

void BM_SettingsGetter(benchmark::State& state) {
    FreshHome();
    for (auto _ : state) {
        std::uint32_t result = 15;
        if (auto machine = RegistryKey::Open(Hive::LocalMachine, kMain, Access::Read)) {
            if (machine->ValueExists("Value20")) {
                result = machine->ReadInteger("Value20");
            }
        }
        if (auto user = RegistryKey::Open(Hive::CurrentUser, kMain, Access::Read, true)) {
            if (user->ValueExists("Value20")) {
                result = user->ReadInteger("Value20");
            }
        }
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_SettingsGetter);

void BM_SettingsSetter(benchmark::State& state) {
    FreshHome();
    std::uint32_t n = 0;
    for (auto _ : state) {
        auto user = RegistryKey::Open(Hive::CurrentUser, kMain, Access::ReadWrite, true);
        user->WriteInteger("Value20", ++n);
    }
}
BENCHMARK(BM_SettingsSetter);

// The settings dialog's OK: 21 values written one transaction each, and all in one.
void BM_SettingsOKSeparate(benchmark::State& state) {
    FreshHome();
    std::uint32_t n = 0;
    for (auto _ : state) {
        ++n;
        for (int i = 0; i < 21; ++i) {
            auto user = RegistryKey::Open(Hive::CurrentUser, kMain, Access::ReadWrite, true);
            user->WriteInteger("Value" + std::to_string(i), n + std::uint32_t(i));
        }
    }
}
BENCHMARK(BM_SettingsOKSeparate)->Unit(benchmark::kMillisecond);

void BM_SettingsOKTransaction(benchmark::State& state) {
    FreshHome();
    std::uint32_t n = 0;
    for (auto _ : state) {
        ++n;
        platform::RegistryTransaction transaction(Hive::CurrentUser);
        for (int i = 0; i < 21; ++i) {
            auto user = RegistryKey::Open(Hive::CurrentUser, kMain, Access::ReadWrite, true);
            user->WriteInteger("Value" + std::to_string(i), n + std::uint32_t(i));
        }
        transaction.Commit();
    }
}
BENCHMARK(BM_SettingsOKTransaction)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
