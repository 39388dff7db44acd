#pragma once

// The models every program builds from the cache: the cache index of the cache folder, the
// newest cached control file and the user's subscriptions applied to it. One loader, so
// that the saver's start and reload, its subscription dialog and preview, and the control
// program read them under one rule; each caller decides what a failed step means to it.
//
// No Qt. Any thread: the models belong to the thread that loaded them until it hands
// them on.

#include "common/cache.h"
#include "common/controlfile.h"

#include <memory>
#include <string>

// The step at which loading stopped; Done when all of them were carried out.
enum class CachedModelsStep {
    Done,
    IndexMissing,            // no "cache.dir" in the cache folder
    IndexUnreadable,         // "cache.dir" is there but cannot be read
    ControlFileMissing,      // the index has no entry of the control file's key
    SubscriptionsUnreadable, // the subscriptions file is there but cannot be read
};

struct CachedModels {
    // Always made: empty after a missing or unreadable index.
    std::unique_ptr<CC> cache;
    // Always made: empty before the control-file step, and when its entry names no plain
    // file of the folder or its file cannot be read; partial after a fault in the file.
    std::unique_ptr<CF> controlFile;
    // How far the control file was read.
    CFLoadResult controlFileLoad;
    // The first step that failed; the steps after it were not carried out.
    CachedModelsStep failed = CachedModelsStep::Done;
    // What the file system said about an unreadable index or subscriptions file.
    std::string error;

    bool ControlFileComplete() const { return controlFileLoad.complete; }
};

// Loads the index of cacheFolder, the newest control file it names and, unless
// subscriptionsPath is empty, the subscriptions of that file (without a file the
// channels' defaults). Never throws for a file it reads; failed tells where it stopped.
CachedModels LoadCachedModels(const std::string& cacheFolder, const std::string& subscriptionsPath);
