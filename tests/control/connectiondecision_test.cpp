#include "control/connectiondecision.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

using Step = ConnectionStep;

struct Case {
    const char* name;
    ConnectionSettings settings;
    ConnectionFacts facts;
    // The user's answer to the no-connection question; nullopt: never asked.
    std::optional<bool> answer;
    // Expected: the notes ("asklan" for the question to the saver), the step, the mark.
    std::vector<std::string> notes;
    Step step;
    bool dialled;
};

ConnectionSettings Settings(bool useDUN, bool alwaysOn = false, bool askOnlyIfSS = false,
                            int msgBox = 0) {
    return {useDUN, alwaysOn, askOnlyIfSS, msgBox};
}

ConnectionFacts Facts(bool lanOrModem, bool connected, bool ras, bool saver) {
    return {lanOrModem, connected, ras, saver};
}

std::vector<std::string> Texts(const ConnectionDecision& decision) {
    std::vector<std::string> texts;
    for (const ConnectionNote& note : decision.notes) {
        texts.push_back(note.kind == ConnectionNote::Kind::AskSaverLan ? "asklan" : note.line);
    }
    return texts;
}

TEST(ConnectionDecision, EachWayToGetOnline) {
    const std::string bug = kLogNoConnectionAtAll;
    const std::string cheat = kLogCheats;
    const std::string asking = kLogAskingSaver;
    const Case cases[] = {
        {"LAN up",
         Settings(true),
         Facts(true, true, true, false),
         {},
         {kLogUsingLan},
         Step::Ready,
         false},
        {"LAN up, dial-up not wanted",
         Settings(false),
         Facts(true, true, false, true),
         {},
         {kLogUsingLan},
         Step::Ready,
         false},
        {"nothing at all, always on",
         Settings(true, true),
         Facts(false, false, true, true),
         {},
         {cheat},
         Step::Ready,
         false},
        {"nothing at all, the question before a decision",
         Settings(true),
         Facts(false, false, true, false),
         {},
         {bug},
         Step::AskUser,
         true},
        {"nothing at all, the user tries anyway",
         Settings(true),
         Facts(false, false, true, false),
         true,
         {bug, cheat},
         Step::Ready,
         false},
        {"nothing at all, cancelled, no dial-up wanted",
         Settings(false),
         Facts(false, false, true, false),
         false,
         {bug, kLogNoRasWanted},
         Step::NoConnection,
         true},
        {"nothing at all, cancelled, no dial-up installed",
         Settings(true),
         Facts(false, false, false, false),
         false,
         {bug, kLogNoRasInstalled},
         Step::NoConnection,
         true},
        {"nothing at all, cancelled, then the visible dial",
         Settings(true),
         Facts(false, false, true, false),
         false,
         {bug, kLogVisibleDial},
         Step::VisibleDial,
         true},
        {"nothing at all, a saver runs: asked about the LAN, then to dial",
         Settings(true),
         Facts(false, false, true, true),
         {},
         {asking, "asklan", asking},
         Step::AskSaverToDial,
         true},
        {"nothing at all, a saver runs, no dial-up wanted",
         Settings(false),
         Facts(false, false, true, true),
         {},
         {asking, "asklan", kLogNoRasWanted},
         Step::NoConnection,
         false},
        {"network set up but down, no dial-up wanted",
         Settings(false),
         Facts(true, false, false, false),
         {},
         {kLogNoRasWanted},
         Step::NoConnection,
         true},
        {"network set up but down, no dial-up installed",
         Settings(true),
         Facts(true, false, false, false),
         {},
         {kLogNoRasInstalled},
         Step::NoConnection,
         true},
        {"quiet dial",
         Settings(true, false, false, 3),
         Facts(true, false, true, true),
         {},
         {kLogQuietDial},
         Step::QuietDial,
         true},
        {"quiet dial after the question",
         Settings(true, false, false, 3),
         Facts(false, false, true, false),
         false,
         {bug, kLogQuietDial},
         Step::QuietDial,
         true},
        {"a saver runs: asked to dial",
         Settings(true),
         Facts(true, false, true, true),
         {},
         {asking},
         Step::AskSaverToDial,
         true},
        {"no saver, configured not to ask",
         Settings(true, false, true),
         Facts(true, false, true, false),
         {},
         {kLogNotAskingWithoutSaver},
         Step::Ready,
         false},
        {"a saver runs, configured not to ask: the saver is asked",
         Settings(true, false, true),
         Facts(true, false, true, true),
         {},
         {asking},
         Step::AskSaverToDial,
         true},
        {"visible dial",
         Settings(true),
         Facts(true, false, true, false),
         {},
         {kLogVisibleDial},
         Step::VisibleDial,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConnectionDecision decision = DecideConnection(c.settings, c.facts);
        std::vector<std::string> notes = Texts(decision);
        if (c.answer) {
            ASSERT_EQ(decision.step, Step::AskUser);
            decision = DecideConnection(c.settings, c.facts, c.answer);
            for (const std::string& note : Texts(decision)) {
                notes.push_back(note);
            }
        }
        EXPECT_EQ(notes, c.notes);
        EXPECT_EQ(decision.step, c.step);
        EXPECT_EQ(decision.dialled, c.dialled);
    }
}

// After the question only the facts read then count: a connection that came up while
// the box was open is used.
TEST(ConnectionDecision, AfterTheQuestionTheFactsOfThatMoment) {
    const ConnectionDecision decision =
        DecideConnection(Settings(true), Facts(false, true, false, false), false);
    EXPECT_EQ(Texts(decision), (std::vector<std::string>{kLogUsingLan}));
    EXPECT_EQ(decision.step, Step::Ready);
    EXPECT_FALSE(decision.dialled);
}

} // namespace
