// tolvar-inspect cache FOLDER: the entries of FOLDER's "cache.dir" as the programs read
// them, and for each key its newest entry and its list of serials.

#include "command.h"
#include "common/cache.h"
#include "json.h"
#include "platform/fileio.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

namespace {

int RunCache(const std::vector<std::string>& args) {
    if (args.size() != 1 || args[0].empty()) {
        throw inspect::UsageError{"expected one cache folder"};
    }
    CC cc(args[0]);
    if (!platform::FolderExists(cc.folder)) {
        throw std::runtime_error("no folder \"" + cc.folder + "\"");
    }
    // The programs treat a missing index as an empty cache; here it more likely means a
    // wrong folder, so say so.
    if (!platform::FileExists(cc.IndexPath()) && !platform::FolderExists(cc.IndexPath())) {
        throw std::runtime_error("no \"cache.dir\" in \"" + cc.folder + "\"");
    }
    cc.Load();

    std::vector<std::string> keys;
    inspect::JsonWriter json(std::cout);
    json.BeginObject();
    json.Field("folder", cc.folder);
    json.Key("entries").BeginArray();
    {
        auto locked = cc.entries.Lock();
        for (const auto& e : locked) {
            json.BeginObject()
                .Field("uri", e->uri)
                .Field("file", e->file)
                .Field("serial", e->serial)
                .EndObject();
            if (std::find(keys.begin(), keys.end(), e->uri) == keys.end()) {
                keys.push_back(e->uri);
            }
        }
    }
    json.EndArray();
    json.Key("keys").BeginArray();
    for (const auto& key : keys) {
        const CCObject* latest = cc.FindLatest(key);
        json.BeginObject().Field("uri", key);
        json.Key("latest")
            .BeginObject()
            .Field("serial", latest->serial)
            .Field("file", latest->file)
            .EndObject();
        json.Field("serials", cc.ListSerials(key).value_or(std::vector<std::string>{}));
        json.EndObject();
    }
    json.EndArray();
    json.EndObject();
    json.Finish();
    return 0;
}

const inspect::Command kCache("cache", "FOLDER",
                              "the entries of FOLDER's \"cache.dir\", and each key's newest "
                              "serial and list of serials",
                              RunCache);

} // namespace
