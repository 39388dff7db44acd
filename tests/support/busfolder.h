#pragma once

// BusFolderAway takes the message bus's folder away for its scope, as when the session's
// runtime folder is cleared under a running program: no window can be made meanwhile
// (the handle counter and the endpoints live there). The folder comes back at the end
// with what it held.

#include "platform/bus.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace tolvar::test {

class BusFolderAway {
public:
    explicit BusFolderAway(const platform::Bus& bus)
        : folder_(bus.Folder()), away_(folder_ + ".away") {
        EXPECT_EQ(std::rename(folder_.c_str(), away_.c_str()), 0) << folder_;
    }
    ~BusFolderAway() {
        ::rmdir(folder_.c_str()); // made again meanwhile: empty
        EXPECT_EQ(std::rename(away_.c_str(), folder_.c_str()), 0) << folder_;
    }
    BusFolderAway(const BusFolderAway&) = delete;
    BusFolderAway& operator=(const BusFolderAway&) = delete;

private:
    std::string folder_;
    std::string away_;
};

} // namespace tolvar::test
