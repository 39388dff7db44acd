#pragma once

// Connection state, dial-up and hang-up, in place of the system's internet-connection
// calls.
//
// State: the LAN flag tells that the machine has a local network set up at all: an
// interface other than loopback is configured (it is up or carries an address), whether
// or not its link is up now. The LAN counts as online when such an interface is up and
// running and carries a default route (IPv4 or IPv6), read from the kernel. An offline
// laptop (network set up, cable out or radio off) so has the LAN flag and is not online. The modem
// counts as up while a dial-up connection made through this layer (by any program of the user) has
// not been hung up. Dial-up counts as installed when a backend is configured.
//
// Dial-up: the backend does the dialling; the system backend runs the commands configured
// in the machine hive under "\System\Dialup" (string values "Name", "Dial" and "HangUp",
// each command an argument vector as SplitCommandLine reads it, run without a shell and
// with a time-out); without that key, or without a "Dial" command, no dial-up is
// installed. Every connection made here is recorded (id and name) in
// PrivateRuntimeFolder("dialup"), so a program can hang up a connection that another
// program dialled.
//
// The visible dial asks the user first through a prompt that GUI code binds; with none
// bound the dial counts as cancelled. While a dial or hang-up command runs, the wait pump
// keeps the calling program's event loop going: the bound pump, else the message bus of
// the process when the call comes from its main thread.
//
// Threads: the state query may be called from any thread; dialling and hanging up run on
// the calling program's main thread.

#include "platform/process.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A window that a dial prompt is shown over (the bus's window handle; 0 for none).
using ParentWindow = std::int64_t;

struct ConnectionFlags {
    bool modem = false;        // a dial-up connection made through this layer is up
    bool lan = false;          // a local network is set up (configured, online or not)
    bool lanOnline = false;    // the LAN is up and routes to the outside
    bool rasInstalled = false; // a dial-up backend is configured (also when offline)

    bool Connected() const { return modem || lanOnline; }
};

// The dial-up configuration of the machine hive.
struct DialupConfig {
    std::string name;                // the connection's name, shown in the dial prompt
    std::vector<std::string> dial;   // the dial command
    std::vector<std::string> hangUp; // the hang-up command; empty: hang-up fails
};

// Time-outs of the configured commands.
inline constexpr std::chrono::seconds kDialTimeout{120};
inline constexpr std::chrono::seconds kHangUpTimeout{30};

// What does the dialling. Calls come from the thread that uses the layer; a backend used
// for the state query must allow calls of LanUp and Installed from any thread.
class DialupBackend {
public:
    virtual ~DialupBackend() = default;
    // The LAN is online (up, running, a default route).
    virtual bool LanUp() = 0;
    // A local network is set up; a backend that does not tell is set up when online.
    virtual bool LanConfigured() { return LanUp(); }
    // The name of the installed dial-up connection; nullopt when none is installed.
    virtual std::optional<std::string> Installed() = 0;
    // Makes the connection; true when it is up. pump must be called while waiting.
    virtual bool Dial(const std::string& name, const WaitPump& pump) = 0;
    // Ends the connection; true when it is down.
    virtual bool HangUp(const std::string& name, const WaitPump& pump) = 0;
};

// The backend of a real machine: the kernel's LAN state and the configured commands.
class SystemDialupBackend : public DialupBackend {
public:
    bool LanUp() override;
    bool LanConfigured() override;
    std::optional<std::string> Installed() override;
    bool Dial(const std::string& name, const WaitPump& pump) override;
    bool HangUp(const std::string& name, const WaitPump& pump) override;
};

// The configuration under "\System\Dialup" of the machine hive; nullopt without the key or
// without a usable "Dial" command (a command with an unclosed quote is not usable; a
// warning goes to standard error).
std::optional<DialupConfig> ReadDialupConfig();

// Replaces the backend for the whole process; nullptr restores the system backend.
void SetDialupBackend(std::shared_ptr<DialupBackend> backend);
// The prompt of the visible dial: true when the user wants to dial.
using DialPrompt = std::function<bool(ParentWindow parent, const std::string& connectionName)>;
void SetDialPrompt(DialPrompt prompt);
// Runs while a command is awaited; an empty pump restores the default.
void SetDialWaitPump(WaitPump pump);

// The connected-state query.
ConnectionFlags QueryConnectionState();

// The visible dial of the installed connection: asks through the prompt, then dials.
// The new connection's id (positive, never reused in this runtime folder), or nullopt
// when nothing is installed, the user cancelled, the dial failed or a dial of this
// process is already running.
std::optional<std::int32_t> DialConnection(ParentWindow parent);

// The unattended dial: no prompt. True when online afterwards; when already online
// nothing is dialled.
bool AutodialConnection(ParentWindow parent);

// Hangs up the connection with this id, made by any program of the user. False when no
// such connection is recorded, no dial-up is installed or the hang-up command fails. A
// successful hang-up forgets every record of that connection name, as they share one
// link; a failed one (also for want of an installed dial-up) forgets the record it
// tried, so the modem is not reported up for the rest of the session.
bool HangUpConnection(std::int32_t id);

// Hangs up the connections made by unattended dials. False when there is none or a
// hang-up fails (its records are forgotten all the same).
bool HangUpAutodialConnection();

// A recorded connection.
struct DialupRecord {
    std::int32_t id = 0;
    std::string name;
    bool autodial = false;
};
// Every recorded connection, by id.
std::vector<DialupRecord> ListDialupRecords();

// The LAN test on the kernel's route tables (the text of /proc/net/route and of
// /proc/net/ipv6_route), with isUp telling whether an interface is up, running and not
// loopback. Public for tests.
bool HasLanRoute(std::string_view ipv4Routes, std::string_view ipv6Routes,
                 const std::function<bool(const std::string& interface)>& isUp);
// Whether the kernel reports the interface up, running and not loopback.
bool InterfaceIsUp(const std::string& interface);

// What the LAN flag is decided on: one interface as the kernel lists it.
struct InterfaceFacts {
    std::string name;
    bool loopback = false;
    bool up = false;         // administratively up (IFF_UP)
    bool running = false;    // the link is there (IFF_RUNNING)
    bool hasAddress = false; // an IPv4 or IPv6 address is assigned
};
// The LAN flag: some interface other than loopback is up or carries an address.
bool HasConfiguredLan(const std::vector<InterfaceFacts>& interfaces);
// The interfaces of this machine (getifaddrs), one entry per name; empty when the list
// cannot be read.
std::vector<InterfaceFacts> ListInterfaces();

} // namespace platform
