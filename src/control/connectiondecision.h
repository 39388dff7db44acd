#pragma once

// The connection decision of the control program as a pure function: from the
// connection settings and what the system says about the connection, which lines are
// logged, whether the running screen saver is asked about the LAN, and which step ends
// the decision (announce a connection, announce none, dial quietly or visibly, or ask the
// saver to dial). The main form gathers the facts, runs the step and keeps the cycle's
// state; nothing here touches the system.
//
// The no-connection question splits the decision in two: without an answer the decision
// stops at the question (AskUser, the lines before it); the caller asks and decides again
// with the answer and facts read after the box, and that decision goes on after the
// question.
//
// No Qt; safe from any thread.

#include <optional>
#include <string>
#include <vector>

// The copies of the settings the decision reads.
struct ConnectionSettings {
    bool useDUN = false;
    bool actLANAlwaysOn = false;
    bool actDUNAskOnlyIfSSActive = false;
    int actDUNMsgBox = 0; // 3: dial without asking
};

// What the system says at the moment of the decision.
struct ConnectionFacts {
    bool lanOrModem = false;   // the connected-state flags hold the LAN or the modem flag
    bool connected = false;    // the connected-state query says connected
    bool rasInstalled = false; // a dial-up connection is installed
    bool saverRunning = false; // a screen saver runs (any, not only ours)
};

// How the decision ends.
enum class ConnectionStep {
    AskUser,        // the no-connection question; decide again with the answer
    Ready,          // announce connection-ready with -1 (no connection of our own)
    NoConnection,   // announce no-connection
    QuietDial,      // the unattended dial: ready with -1 when it connects, else none
    AskSaverToDial, // the dial request to the running saver, which answers
    VisibleDial,    // the system's dial dialog: ready with its connection id, else none
};

// One thing done before the step, in order.
struct ConnectionNote {
    enum class Kind { Log, AskSaverLan };
    Kind kind = Kind::Log;
    std::string line; // Log only
    bool operator==(const ConnectionNote&) const = default;
};

struct ConnectionDecision {
    std::vector<ConnectionNote> notes;
    ConnectionStep step = ConnectionStep::NoConnection;
    // The cycle's dialled mark as the decision leaves it; a dial step replaces it with
    // the dial's result.
    bool dialled = true;
};

// answer: nullopt before the no-connection question; after it, whether the user took
// OK (try without a connection).
ConnectionDecision DecideConnection(const ConnectionSettings& settings,
                                    const ConnectionFacts& facts,
                                    std::optional<bool> answer = std::nullopt);

inline constexpr const char* kLogCheats =
    "System cheats: Windows says we have no connection at all. So simply try...";
inline constexpr const char* kLogAskingSaver = "Asking Tolvar to open DialUp-Dialogue.";
inline constexpr const char* kLogNoConnectionAtAll =
    "OS reports there is no connection at all. Windows Bug?";
inline constexpr const char* kLogUsingLan = "Using LAN Connection.";
inline constexpr const char* kLogNoRasWanted = "Connection is offline, RAS will not be used.";
inline constexpr const char* kLogNoRasInstalled = "Connection is offline, RAS is not configured.";
inline constexpr const char* kLogQuietDial = "Trying quiet dial-up.";
inline constexpr const char* kLogNotAskingWithoutSaver =
    "Configured not to ask to dial while SS is not running.";
inline constexpr const char* kLogVisibleDial = "Trying verbose dial-up.";
