#include "control/httpgetobject.h"

#include "common/cache.h"
#include "common/controlfile.h"
#include "common/layoutfile.h"
#include "common/tolvarsettings.h"
#include "control/httpgetter.h"
#include "platform/fileio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>

namespace {

struct FetchState {
    std::mutex mutex;
    std::string lastHttpError;
};

FetchState& State() {
    static FetchState state;
    return state;
}

// The name becomes part of two paths in the cache folder; it must stay a plain name.
bool CheckName(const std::string& name) {
    if (name.empty()) {
        SetHttpGetError("Fatal error: ID is empty");
        return false;
    }
    if (!IsPlainCacheFileName(name) || !IsPlainCacheFileName("x" + name)) {
        SetHttpGetError("Fatal error: ID is not a file name");
        return false;
    }
    return true;
}

// Gives the checked temporary file its final name. rename replaces an existing file in
// one step; the folder is flushed by the next save of "cache.dir" beside it.
bool Publish(const std::string& temp, const std::string& final) {
    if (std::rename(temp.c_str(), final.c_str()) != 0) {
        SetHttpGetError("Rename of " + temp + " failed: " + LastErrorText());
        platform::RemoveFile(temp);
        return false;
    }
    return true;
}

// Runs the request into temp; true after a transfer with status 200. Every other outcome
// removes temp (nothing reads a stale one) and leaves the client's text as the error.
bool Download(const std::string& uri, const std::string& temp, const std::string* postBody,
              std::string* contentType) {
    std::string statusText;
    int statusCode = 0;
    bool transferred = false;
    {
        HttpGetter getter;
        getter.SetURL(uri);
        getter.SetTargetFile(temp);
        transferred = postBody != nullptr ? getter.Post(*postBody) : getter.Get();
        statusText = getter.StatusText();
        statusCode = getter.StatusCode();
        if (contentType != nullptr) {
            *contentType = getter.ContentType();
        }
    }
    SetHttpGetError(statusText);
    if (!transferred || statusCode != 200) {
        platform::RemoveFile(temp);
        return false;
    }
    return true;
}

std::string ControlFileRequestBody(const std::string& subscriptions) {
    const TolvarSettings settings(kTolvarMaker, kTolvarProduct);
    // The server reads the values as they stand; the subscriptions carry their own
    // form encoding (",+" between ids).
    return "host_id=" + settings.GetSysHostID() + "&user_id=" + settings.GetSysUserID() +
           "&client_version=" + settings.GetBaseappVersion() + "&subscriptions=" + subscriptions;
}

} // namespace

std::string ImageExtensionForContentType(const std::string& contentType) {
    static const struct {
        const char* type;
        const char* extension;
    } kTypes[] = {
        {"image/jpeg", ".jpg"},
        {"image/gif", ".gif"},
        {"image/png", ".png"},
        {"image/x-ms-bmp", ".bmp"},
        {"image/bitmap", ".bmp"},
        {"image/bmp", ".bmp"},
        {"application/x-msmetafile", ".wmf"},
    };
    for (const auto& t : kTypes) {
        if (contentType == t.type) {
            return t.extension;
        }
    }
    return std::string();
}

std::string GetHttpGetError() {
    std::lock_guard lock(State().mutex);
    return State().lastHttpError;
}

void SetHttpGetError(const std::string& text) {
    std::lock_guard lock(State().mutex);
    State().lastHttpError = text;
}

bool CheckObjectArguments(const std::string& uri, const std::string& name) {
    if (uri.empty()) {
        SetHttpGetError("Fatal error: URI is empty");
        return false;
    }
    return CheckName(name);
}

bool HttpGetControlFile(const std::string& uri, const std::string& name, std::string& serial,
                        const std::string& /*extension*/, const std::string& subscriptions,
                        const std::string& folder) {
    SetHttpGetError(std::string());
    serial.clear();
    if (!CheckName(name)) {
        return false;
    }
    const std::string temp = folder + "/" + name + ".tmp";
    const std::string final = folder + "/" + name + ".xml";
    const std::string body = ControlFileRequestBody(subscriptions);
    if (!Download(uri, temp, &body, nullptr)) {
        return false;
    }
    // Only a document read to its end may become the current control file: the
    // subscriptions are reconciled against its channel list.
    CF cf;
    if (!cf.Load(temp).complete) {
        platform::RemoveFile(temp);
        SetHttpGetError("Parse error for control file.");
        return false;
    }
    if (!Publish(temp, final)) {
        return false;
    }
    serial = cf.time;
    return true;
}

bool HttpGetLayoutFile(const std::string& uri, const std::string& name,
                       const std::string& /*extension*/, const std::string& folder) {
    SetHttpGetError(std::string());
    if (!CheckName(name)) {
        return false;
    }
    const std::string temp = folder + "/" + name + ".tmp";
    const std::string final = folder + "/" + name + ".xml";
    if (!Download(uri, temp, nullptr, nullptr)) {
        return false;
    }
    bool wellFormed = false;
    try {
        LF lf;
        wellFormed = lf.Load(temp);
    } catch (const std::exception&) {
        wellFormed = false; // a value error
    }
    if (!wellFormed) {
        platform::RemoveFile(temp);
        SetHttpGetError("Parse error for layout file.");
        return false;
    }
    return Publish(temp, final);
}

bool HttpGetFeedFile(const std::string& uri, const std::string& name, std::string& extension,
                     const std::string& folder) {
    SetHttpGetError(std::string());
    extension.clear();
    if (!CheckObjectArguments(uri, name)) {
        return false;
    }
    const std::string temp = folder + "/" + name + ".tmp";
    if (!Download(uri, temp, nullptr, nullptr)) {
        return false;
    }
    if (!Publish(temp, folder + "/" + name + ".xml")) {
        return false;
    }
    extension = ".xml";
    return true;
}

bool HttpGetImageFile(const std::string& uri, const std::string& name, std::string& extension,
                      const std::string& folder) {
    SetHttpGetError(std::string());
    extension.clear();
    if (!CheckObjectArguments(uri, name)) {
        return false;
    }
    const std::string temp = folder + "/x" + name + ".tmp";
    std::string contentType;
    if (!Download(uri, temp, nullptr, &contentType)) {
        return false;
    }
    const std::string found = ImageExtensionForContentType(contentType);
    if (found.empty()) {
        platform::RemoveFile(temp);
        SetHttpGetError("unsupported content type: " + contentType);
        return false;
    }
    if (!Publish(temp, folder + "/" + name + found)) {
        return false;
    }
    extension = found;
    return true;
}
