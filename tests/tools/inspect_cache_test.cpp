// tolvar-inspect cache, run as a process the way a person or a script runs it.

#include "support/process.h"
#include "support/temphome.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using tolvar::test::TempFolder;
using tolvar::test::WriteFile;

struct Result {
    int exitCode;
    std::string output; // stdout and stderr together
};

Result Inspect(const std::vector<std::string>& args) {
    std::string command = "exec \"$0\"";
    for (size_t i = 0; i < args.size(); ++i) {
        command += " \"$" + std::to_string(i + 1) + "\"";
    }
    command += " 2>&1";
    std::vector<std::string> shellArgs = {"-c", command, TOLVAR_INSPECT_PATH};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    tolvar::test::Child child("/bin/sh", shellArgs, true);
    std::string output = child.ReadAllOutput();
    return {child.ExitCode().value_or(-1000), output};
}

std::string WithFolder(std::string text, const std::string& folder) {
    text.replace(text.find("FOLDER"), 6, folder);
    return text;
}

TEST(InspectCache, PrintsEntriesAndEachKeysNewestAndSerials) {
    TempFolder dir;
    WriteFile(dir.Path() + "/cache.dir", "a.xml|9|k\r\n"
                                         "b.xml|10|k\r\n"
                                         "skipped line\r\n"
                                         "c.gif||j|x\r\n"
                                         "d.xml|9|k\r\n"
                                         "e.xml|A|k\n"
                                         "f.xml|a|k\r\n");
    const Result r = Inspect({"cache", dir.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const std::string expected = R"({
  "folder": "FOLDER",
  "entries": [
    {
      "uri": "k",
      "file": "a.xml",
      "serial": "9"
    },
    {
      "uri": "k",
      "file": "b.xml",
      "serial": "10"
    },
    {
      "uri": "j|x",
      "file": "c.gif",
      "serial": ""
    },
    {
      "uri": "k",
      "file": "e.xml",
      "serial": "A"
    },
    {
      "uri": "k",
      "file": "f.xml",
      "serial": "a"
    }
  ],
  "keys": [
    {
      "uri": "k",
      "latest": {
        "serial": "a",
        "file": "f.xml"
      },
      "serials": [
        "10",
        "9",
        "A",
        "a"
      ]
    },
    {
      "uri": "j|x",
      "latest": {
        "serial": "",
        "file": "c.gif"
      },
      "serials": [
        ""
      ]
    }
  ]
}
)";
    EXPECT_EQ(r.output, WithFolder(expected, dir.Path()));
}

TEST(InspectCache, EmptyIndex) {
    TempFolder dir;
    WriteFile(dir.Path() + "/cache.dir", "");
    const Result r = Inspect({"cache", dir.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output,
              WithFolder("{\n  \"folder\": \"FOLDER\",\n  \"entries\": [],\n  \"keys\": []\n}\n",
                         dir.Path()));
}

TEST(InspectCache, BadInputGivesAClearMessageAndNonZeroExit) {
    TempFolder dir;
    ::mkdir((dir.Path() + "/unreadable").c_str(), 0755);
    ::mkdir((dir.Path() + "/unreadable/cache.dir").c_str(), 0755);
    ::mkdir((dir.Path() + "/empty").c_str(), 0755);
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    } cases[] = {
        {{"cache"}, 2, "expected one cache folder"},
        {{"cache", "a", "b"}, 2, "expected one cache folder"},
        {{"cache", dir.Path() + "/missing"}, 1, "no folder \"" + dir.Path() + "/missing\""},
        {{"cache", dir.Path() + "/empty"}, 1, "no \"cache.dir\" in"},
        {{"cache", dir.Path() + "/unreadable"}, 1, "unreadable/cache.dir"},
    };
    for (const auto& c : cases) {
        const Result r = Inspect(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        EXPECT_NE(r.output.find("tolvar-inspect cache: "), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    }
}

} // namespace
