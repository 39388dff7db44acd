#pragma once

// The connection state and dial-up of one program: free functions over the platform's
// connected-state query, dial and hang-up, with one module-level connection state (the
// connection id of the last dial and whether it was an unattended automatic dial).
//
// Each program has its own state: DialInternet and HangUpInternet use the state of the
// calling process. The control program records the id that the saver reports with
// RecordConnectionId, so that its hang-up ends a connection the saver dialled.
//
// Threads: the state is written on the main thread only (DialInternet,
// RecordConnectionId). The four queries hold no state and may be called from any thread.

#include "platform/network.h"

#include <cstdint>

inline constexpr std::uint32_t INTERNET_CONNECTION_MODEM = 0x01;
inline constexpr std::uint32_t INTERNET_CONNECTION_LAN = 0x02;
inline constexpr std::uint32_t INTERNET_RAS_INSTALLED = 0x10;

// The connection flags (the three above) as the platform reports them now.
std::uint32_t GetConnectionFlags();

// True when the LAN is online or a dial-up connection is up.
bool IsInternetConnected();
// True when a local network is set up (an interface other than loopback is configured),
// online or not.
bool IsLanConnection();
bool IsModemConnection();
// True when a dial-up is installed, online or not.
bool IsRasInstalled();

// Dials with the given window as parent of the dial prompt. Types 1 and 2: the visible
// dial of the installed connection; type 3: the unattended automatic dial. True when a
// connection is up afterwards; any other type gives false.
bool DialInternet(platform::ParentWindow parent, int type);

// Hangs up what the last dial (or RecordConnectionId) left: the automatic dial's
// connection after a successful type 3 dial, else the connection with the stored id.
// True when the hang-up succeeded. Changes no state.
bool HangUpInternet();

// The connection id of the state: 0 before the first dial, -1 after a dial that made no
// connection of its own, else the id of the dialled or recorded connection.
std::int32_t GetConnectionId();

// Stores a connection id that another program reported as the current connection. An
// id of a real connection (not -1) also clears the automatic-dial mark, so the next
// hang-up ends that connection.
void RecordConnectionId(std::int32_t id);
