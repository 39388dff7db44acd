// tolvar-inspect control FILE: the control file model as JSON.

#include "command.h"
#include "common/controlfile.h"
#include "json.h"

#include <iostream>
#include <stdexcept>

namespace {

int Run(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        throw inspect::UsageError{"expected one control file"};
    }
    CF cf;
    const CFLoadResult result = cf.Load(args[0]);
    if (!result.parsed) {
        throw std::runtime_error(result.error);
    }
    inspect::JsonWriter json(std::cout);
    json.BeginObject();
    json.Field("file", args[0]);
    json.Field("complete", result.complete);
    json.Key("error");
    if (result.complete) {
        json.Null();
    } else {
        json.String(result.error);
    }
    json.Field("time", cf.time);
    json.Field("hosts", cf.hosts);
    json.Key("layouts").BeginArray();
    for (const auto& layout : cf.layouts) {
        json.BeginObject()
            .Field("key", layout.key)
            .Field("uri", layout.uri)
            .Field("serial", layout.serial)
            .EndObject();
    }
    json.EndArray();
    json.Key("topics").BeginArray();
    for (const auto& topic : cf.topics) {
        json.BeginObject()
            .Field("id", topic.id)
            .Field("serial", topic.serial)
            .Field("title", topic.title)
            .Field("description", topic.description);
        json.Key("channelrefs").BeginArray();
        for (const auto& ref : topic.channelrefs) {
            json.BeginObject()
                .Field("id", ref.id)
                .Field("displaytitle", ref.displaytitle)
                .Field("tooltip", ref.tooltip)
                .EndObject();
        }
        json.EndArray().EndObject();
    }
    json.EndArray();
    json.Key("channels").BeginArray();
    for (const auto& channel : cf.channels) {
        json.BeginObject()
            .Field("id", channel.id)
            .Field("serial", channel.serial)
            .Field("title", channel.title)
            .Field("description", channel.description)
            .Field("uri", channel.uri)
            .Field("iconuri", channel.iconuri)
            .Field("iconserial", channel.iconserial)
            .Field("mandatory", channel.mandatory)
            .Field("subscriptiondefault", channel.subscriptiondefault)
            .EndObject();
    }
    json.EndArray();
    json.Key("swrenew");
    if (cf.swrenew) {
        json.BeginObject()
            .Field("version", cf.swrenew->version)
            .Field("uri", cf.swrenew->uri)
            .Field("size", cf.swrenew->size)
            .EndObject();
    } else {
        json.Null();
    }
    json.EndObject();
    json.Finish();
    return 0;
}

const inspect::Command
    command("control", "FILE",
            "prints the control file model as JSON, whether the whole file was read and the value "
            "error that ended the load (exit 1 when the file is missing or not XML)",
            Run);

} // namespace
