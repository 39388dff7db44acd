#include "common/internetconnection.h"

namespace {

// The module's connection state; written on the main thread only.
std::int32_t connectionId = 0;
bool autodialled = false;

} // namespace

std::uint32_t GetConnectionFlags() {
    const platform::ConnectionFlags flags = platform::QueryConnectionState();
    std::uint32_t bits = 0;
    if (flags.modem) {
        bits |= INTERNET_CONNECTION_MODEM;
    }
    if (flags.lan) {
        bits |= INTERNET_CONNECTION_LAN;
    }
    if (flags.rasInstalled) {
        bits |= INTERNET_RAS_INSTALLED;
    }
    return bits;
}

bool IsInternetConnected() {
    // The LAN flag only says a network is set up; connected means it reaches out now.
    return platform::QueryConnectionState().Connected();
}

bool IsLanConnection() {
    return (GetConnectionFlags() & INTERNET_CONNECTION_LAN) != 0;
}

bool IsModemConnection() {
    return (GetConnectionFlags() & INTERNET_CONNECTION_MODEM) != 0;
}

bool IsRasInstalled() {
    return (GetConnectionFlags() & INTERNET_RAS_INSTALLED) != 0;
}

bool DialInternet(platform::ParentWindow parent, int type) {
    connectionId = -1;
    autodialled = false;
    switch (type) {
    case 1:
    case 2:
        if (auto id = platform::DialConnection(parent)) {
            connectionId = *id;
            return true;
        }
        return false;
    case 3:
        if (platform::AutodialConnection(parent) && IsInternetConnected()) {
            autodialled = true;
            return true;
        }
        return false;
    default:
        return false;
    }
}

bool HangUpInternet() {
    if (autodialled) {
        return platform::HangUpAutodialConnection();
    }
    return platform::HangUpConnection(connectionId);
}

std::int32_t GetConnectionId() {
    return connectionId;
}

void RecordConnectionId(std::int32_t id) {
    connectionId = id;
    if (id != -1) {
        autodialled = false;
    }
}
