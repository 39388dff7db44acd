#pragma once

// The channel ids of a control file model, for comparing a load with what was meant.

#include "common/controlfile.h"

#include <string>
#include <vector>

namespace tolvar::test {

// Every channel's id, in model order.
inline std::vector<std::string> ChannelIds(const CF& cf) {
    std::vector<std::string> ids;
    for (const auto& c : cf.channels) {
        ids.push_back(c.id);
    }
    return ids;
}

// The ids of the subscribed channels, in model order.
inline std::vector<std::string> SubscribedIds(const CF& cf) {
    std::vector<std::string> ids;
    for (const auto& c : cf.channels) {
        if (c.subscribed) {
            ids.push_back(c.id);
        }
    }
    return ids;
}

} // namespace tolvar::test
