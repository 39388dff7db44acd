// tolvar-inspect feed FILE: the items of a channel feed as JSON.

#include "command.h"
#include "common/channelfeeds.h"
#include "json.h"

#include <iostream>
#include <optional>

namespace {

int Run(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        throw inspect::UsageError{"expected one feed file"};
    }
    CHFChannel feed;
    std::optional<std::string> error;
    try {
        feed.Load(args[0]);
    } catch (const platform::xml::XmlTextError& e) {
        // A value error: the items before it are the model.
        error = e.what();
    }
    inspect::JsonWriter json(std::cout);
    json.BeginObject();
    json.Field("file", args[0]);
    json.Field("complete", !error.has_value());
    json.Key("error");
    if (error) {
        json.String(*error);
    } else {
        json.Null();
    }
    json.Key("messages").BeginArray();
    for (const auto& m : feed.messages) {
        json.BeginObject()
            .Field("title", m.title)
            .Field("description", m.description)
            .Field("link", m.link)
            .Field("contenturi", m.contenturi)
            .EndObject();
    }
    json.EndArray().EndObject();
    json.Finish();
    return 0;
}

const inspect::Command
    command("feed", "FILE",
            "prints the items of a channel feed as JSON, whether the whole feed was read and the "
            "value error that ended it (exit 1 when the file is missing or not XML)",
            Run);

} // namespace
