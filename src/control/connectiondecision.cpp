#include "control/connectiondecision.h"

namespace {

ConnectionDecision& Log(ConnectionDecision& decision, const char* line) {
    decision.notes.push_back({ConnectionNote::Kind::Log, line});
    return decision;
}

ConnectionDecision& End(ConnectionDecision& decision, ConnectionStep step, bool dialled) {
    decision.step = step;
    decision.dialled = dialled;
    return decision;
}

// From the connected-state query on (after the no-connection branch).
ConnectionDecision Rest(ConnectionDecision decision, const ConnectionSettings& settings,
                        const ConnectionFacts& facts) {
    if (facts.connected) {
        return End(Log(decision, kLogUsingLan), ConnectionStep::Ready, false);
    }
    // The two refusals keep the mark as it is: a cycle that asked the saver about the
    // LAN has no connection of its own to hang up.
    if (!settings.useDUN) {
        return End(Log(decision, kLogNoRasWanted), ConnectionStep::NoConnection, decision.dialled);
    }
    if (!facts.rasInstalled) {
        return End(Log(decision, kLogNoRasInstalled), ConnectionStep::NoConnection,
                   decision.dialled);
    }
    if (settings.actDUNMsgBox == 3) {
        return End(Log(decision, kLogQuietDial), ConnectionStep::QuietDial, decision.dialled);
    }
    if (facts.saverRunning) {
        return End(Log(decision, kLogAskingSaver), ConnectionStep::AskSaverToDial, true);
    }
    if (settings.actDUNAskOnlyIfSSActive) {
        return End(Log(decision, kLogNotAskingWithoutSaver), ConnectionStep::Ready, false);
    }
    return End(Log(decision, kLogVisibleDial), ConnectionStep::VisibleDial, decision.dialled);
}

} // namespace

ConnectionDecision DecideConnection(const ConnectionSettings& settings,
                                    const ConnectionFacts& facts, std::optional<bool> answer) {
    ConnectionDecision decision;
    if (answer) {
        if (*answer) {
            return End(Log(decision, kLogCheats), ConnectionStep::Ready, false);
        }
        return Rest(decision, settings, facts);
    }
    if (!facts.lanOrModem) {
        if (settings.actLANAlwaysOn) {
            return End(Log(decision, kLogCheats), ConnectionStep::Ready, false);
        }
        if (!facts.saverRunning) {
            return End(Log(decision, kLogNoConnectionAtAll), ConnectionStep::AskUser, true);
        }
        Log(decision, kLogAskingSaver);
        decision.notes.push_back({ConnectionNote::Kind::AskSaverLan, {}});
        decision.dialled = false;
    }
    return Rest(decision, settings, facts);
}
