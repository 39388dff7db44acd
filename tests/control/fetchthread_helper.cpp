// Runs synchronisation cycles, one after another, until it is killed: the writer of the
// kill tests of the cache folder. Usage: fetchthread_helper churn FIRST
// Works in the cache folder of the inherited home against a content host of its own
// (reached as "host-a"); every cycle brings a new control file, a new version of the
// feed c1 with a new picture, so each one adds files, drops old versions and deletes
// pictures. Prints "ready" before the first cycle and "cycle N" after each.

#include "contenthost.h"
#include "control/fetchthread.h"
#include "support/temphome.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "churn") != 0) {
        std::fprintf(stderr, "usage: fetchthread_helper churn FIRST\n");
        return 2;
    }
    using namespace tolvar::test;
    try {
        ScriptedDialup dialup;
        dialup->SetLan(true);
        ContentHost host;
        ServeCycleContent(host);
        platform::SetHttpHostOverride("host-a", 80, "127.0.0.1", host.Port());
        HttpGetter::SetInternalScheme("#brimwald://");
        HttpGetter::SetRequestKey("k1");
        HttpGetter::SetWorkingHost("");
        HttpGetter::SetHostList({});
        TFetchThread thread([](const std::string&) {}, [] {});
        std::printf("ready\n");
        std::fflush(stdout);
        for (int n = std::atoi(argv[2]);; ++n) {
            char serial[16];
            std::snprintf(serial, sizeof serial, "%08d", n);
            ControlParams params;
            params.time = std::string("2026-") + serial;
            params.c1 = serial;
            host.Put("/feeds/content.php", ControlFile(params));
            const std::string fresh = std::string("r") + serial;
            const std::string shared = "s" + std::to_string(n % 3);
            host.Put("/feeds/c1.xml", Feed({Picture(fresh), Picture(shared)}));
            host.Put("/images/" + fresh + ".jpg", fresh, "image/jpeg");
            host.Put("/images/" + shared + ".jpg", shared, "image/jpeg");
            thread.FetchThumbs = true;
            thread.TimeoutSeconds = 5;
            if (!thread.Resume() ||
                !WaitUntil([&] { return !thread.Busy.load(); }, std::chrono::seconds(60))) {
                std::fprintf(stderr, "fetchthread_helper: cycle %d did not end\n", n);
                return 1;
            }
            std::printf("cycle %d\n", n);
            std::fflush(stdout);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fetchthread_helper: %s\n", e.what());
        return 1;
    }
}
