// tolvar-inspect layout FILE: the layout file model as JSON.

#include "command.h"
#include "common/layoutfile.h"
#include "json.h"
#include "platform/fileio.h"

#include <iostream>
#include <stdexcept>

namespace {

using inspect::JsonWriter;

void Picture(JsonWriter& json, std::string_view key, const LFxScreenImg* img) {
    json.Key(key);
    if (img == nullptr) {
        json.Null();
        return;
    }
    json.BeginObject()
        .Field("src", img->src)
        .Field("serial", img->serial)
        .Field("width", img->width)
        .Field("height", img->height)
        .EndObject();
}

void TextLayout(JsonWriter& json, std::string_view key, const LFScreenMessagewindowLayout* l) {
    json.Key(key);
    if (l == nullptr) {
        json.Null();
        return;
    }
    json.BeginObject()
        .Field("fontface", l->fontface)
        .Field("fontsize", l->fontsize)
        .Field("bold", l->bold)
        .Field("italic", l->italic)
        .Field("fgcolor", static_cast<long long>(l->fgcolor))
        .Field("bgcolor", static_cast<long long>(l->bgcolor))
        .Field("border", l->border)
        .Field("height", l->height)
        .EndObject();
}

void Screen(JsonWriter& json, const LFScreen& s) {
    json.BeginObject()
        .Field("width", s.width)
        .Field("height", s.height)
        .Field("context", s.context)
        .Field("serial", s.serial);
    json.Key("clock");
    if (s.clock) {
        const auto& c = *s.clock;
        json.BeginObject()
            .Field("faceserial", c.faceserial)
            .Field("facesrc", c.facesrc)
            .Field("width", c.width)
            .Field("height", c.height)
            .Field("left", c.left)
            .Field("top", c.top)
            .Field("colorhands", static_cast<long long>(c.colorhands))
            .Field("colorsecondshand", static_cast<long long>(c.colorsecondshand))
            .EndObject();
    } else {
        json.Null();
    }
    json.Key("messagewindow");
    if (s.messagewindow) {
        const auto& m = *s.messagewindow;
        json.BeginObject()
            .Field("width", m.width)
            .Field("maxheight", m.maxheight)
            .Field("minheight", m.minheight)
            .Field("left", m.left)
            .Field("top", m.top)
            .Field("thumbmaxheight", m.thumbmaxheight)
            .Field("thumbmaxwidth", m.thumbmaxwidth);
        TextLayout(json, "title", m.title.get());
        TextLayout(json, "body", m.body.get());
        json.EndObject();
    } else {
        json.Null();
    }
    json.Key("ticker");
    if (s.ticker) {
        const auto& t = *s.ticker;
        json.BeginObject()
            .Field("width", t.width)
            .Field("height", t.height)
            .Field("left", t.left)
            .Field("top", t.top)
            .Field("messagewidth", t.messagewidth)
            .Field("defaultspeed", t.defaultspeed);
        TextLayout(json, "title", t.title.get());
        TextLayout(json, "body", t.body.get());
        json.EndObject();
    } else {
        json.Null();
    }
    json.Key("buttons").BeginArray();
    for (const auto& b : s.buttons) {
        json.BeginObject()
            .Field("id", b.id)
            .Field("width", b.width)
            .Field("height", b.height)
            .Field("left", b.left)
            .Field("top", b.top);
        json.Key("faces").BeginArray();
        for (const auto& f : b.faces) {
            json.BeginObject()
                .Field("link", f.link)
                .Field("context", f.context)
                .Field("tooltip", f.tooltip)
                .Field("defaultsrc", f.defaultsrc)
                .Field("defaultserial", f.defaultserial)
                .Field("pressedsrc", f.pressedsrc)
                .Field("pressedserial", f.pressedserial)
                .Field("hoversrc", f.hoversrc)
                .Field("hoverserial", f.hoverserial)
                .Field("disabledsrc", f.disabledsrc)
                .Field("disabledserial", f.disabledserial)
                .EndObject();
        }
        json.EndArray().EndObject();
    }
    json.EndArray();
    json.Key("images").BeginArray();
    for (const auto& i : s.images) {
        json.BeginObject()
            .Field("id", i.id)
            .Field("width", i.width)
            .Field("height", i.height)
            .Field("left", i.left)
            .Field("top", i.top)
            .Field("src", i.src)
            .Field("serial", i.serial)
            .EndObject();
    }
    json.EndArray();
    Picture(json, "background", s.background.get());
    json.EndObject();
}

void TrayFace(JsonWriter& json, std::string_view key, const LFTNAIconFace* f) {
    json.Key(key);
    if (f == nullptr) {
        json.Null();
        return;
    }
    json.BeginObject()
        .Field("context", f->context)
        .Field("tooltip", f->tooltip)
        .Field("defaultsrc", f->defaultsrc)
        .Field("defaultserial", f->defaultserial)
        .Field("defaultblinksrc", f->defaultblinksrc)
        .Field("defaultblinkserial", f->defaultblinkserial)
        .Field("syncsrc", f->syncsrc)
        .Field("syncserial", f->syncserial)
        .Field("syncblinksrc", f->syncblinksrc)
        .Field("syncblinkserial", f->syncblinkserial)
        .EndObject();
}

int Run(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        throw inspect::UsageError{"expected one layout file"};
    }
    const auto bytes = platform::ReadFile(args[0]); // FileError: a clear message, status 1
    if (!bytes) {
        throw std::runtime_error("no file at " + args[0]);
    }
    LF lf;
    std::string error;
    bool complete = true;
    try {
        if (!lf.Parse(*bytes)) {
            throw std::runtime_error(args[0] + " is not a well-formed XML document");
        }
    } catch (const LFValueError& e) {
        complete = false;
        error = e.what();
    }
    JsonWriter json(std::cout);
    json.BeginObject();
    json.Field("file", args[0]);
    json.Field("complete", complete);
    json.Key("error");
    if (complete) {
        json.Null();
    } else {
        json.String(error);
    }
    json.Field("compat", lf.compat);
    json.Field("tooltip", lf.tooltip);
    json.Field("morestr", lf.morestr);
    Picture(json, "configbanner", lf.configbanner.get());
    Picture(json, "splashscreen", lf.splashscreen.get());
    Picture(json, "preview", lf.preview.get());
    json.Key("tnaicon");
    if (lf.tnaicon) {
        json.BeginObject();
        TrayFace(json, "no_news", lf.tnaicon->no_news.get());
        TrayFace(json, "news", lf.tnaicon->news.get());
        TrayFace(json, "mnews", lf.tnaicon->mnews.get());
        json.EndObject();
    } else {
        json.Null();
    }
    json.Key("screens").BeginArray();
    for (const auto& s : lf.screens) {
        Screen(json, s);
    }
    json.EndArray();
    json.EndObject();
    json.Finish();
    return 0;
}

const inspect::Command command("layout", "FILE",
                               "the layout file model, whether the load was complete, and the "
                               "value error that ended it",
                               &Run);

} // namespace
