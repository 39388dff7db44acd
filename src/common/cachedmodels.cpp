#include "common/cachedmodels.h"

#include "common/directories.h"
#include "platform/fileio.h"

#include <exception>

CachedModels LoadCachedModels(const std::string& cacheFolder,
                              const std::string& subscriptionsPath) {
    CachedModels models;
    models.cache = std::make_unique<CC>(cacheFolder);
    models.controlFile = std::make_unique<CF>();
    // Anything at the index's place counts as an index, one that cannot be read when it
    // is no file.
    const std::string index = models.cache->IndexPath();
    if (!platform::FileExists(index) && !platform::FolderExists(index)) {
        models.failed = CachedModelsStep::IndexMissing;
        return models;
    }
    try {
        models.cache->Load();
    } catch (const std::exception& e) {
        models.failed = CachedModelsStep::IndexUnreadable;
        models.error = e.what();
        return models;
    }
    const CCObject* entry = models.cache->FindLatest(GetControlFileKey());
    if (entry == nullptr) {
        models.failed = CachedModelsStep::ControlFileMissing;
        return models;
    }
    if (const auto path = models.cache->PathOf(*entry)) {
        models.controlFileLoad = models.controlFile->Load(*path);
    }
    if (subscriptionsPath.empty()) {
        return models;
    }
    try {
        models.controlFile->LoadSubscriptions(subscriptionsPath);
    } catch (const std::exception& e) {
        // The flags stay as the control file gave them.
        models.failed = CachedModelsStep::SubscriptionsUnreadable;
        models.error = e.what();
    }
    return models;
}
