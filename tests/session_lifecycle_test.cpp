// The rules of a session's end, driven through sequences of facts as the
// parts would report them, without a terminal or a shell.

#include <sys/wait.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/lifecycle.hpp"

namespace tsb {
namespace {

using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;

// The time of a step, as an offset from the start of a sequence.
Clock::time_point at(ms offset) { return Clock::time_point(1h) + offset; }

TEST(SessionLifecycle, WhenTheTerminalMayBeRead) {
    struct Row {
        std::string name;
        std::function<void(SessionFacts&)> facts;
        bool may_read;
    };
    const Row rows[] = {
        {"nothing holds it", [](SessionFacts&) {}, true},
        {"the peer has not read the last line", [](SessionFacts& f) { f.backed_up = true; }, false},
        {"the window is full", [](SessionFacts& f) { f.window_full = true; }, false},
        // What is left once the slave is hung up is bounded, and its end
        // must be seen.
        {"the window is full, the slave hung up",
         [](SessionFacts& f) { f.window_full = f.hung_up = true; }, true},
        {"the window is full, input waits but the reader is not held",
         [](SessionFacts& f) { f.window_full = f.input_pending = true; }, false},
        // The acknowledgements may be stuck behind the input.
        {"the window is full, input waits and the reader is held",
         [](SessionFacts& f) { f.window_full = f.input_pending = f.input_held = true; }, true},
        {"the slave hung up but the peer has not read",
         [](SessionFacts& f) { f.window_full = f.hung_up = f.backed_up = true; }, false},
        {"the output has ended", [](SessionFacts& f) { f.output_ended = true; }, false},
        // Its output is dropped, so that nothing on the terminal is held
        // while it is asked to end.
        {"the peer is gone", [](SessionFacts& f) { f.window_full = f.peer_gone = true; }, true},
    };
    for (const Row& row : rows) {
        SessionFacts facts;
        row.facts(facts);
        EXPECT_EQ(decide({}, facts, at(0ms)).may_read, row.may_read) << row.name;
    }
}

// One look of the loop: at `time` the facts change as given; decide() must
// then say `phase`, and want to be asked again at `deadline` (an offset).
struct Step {
    ms time;
    std::function<void(SessionFacts&)> change;
    Phase phase;
    std::optional<ms> deadline = std::nullopt;
};

void run_sequence(const std::string& name, const std::vector<Step>& steps) {
    SessionFacts facts;
    facts.last_output_at = at(0ms);
    SessionState state;
    for (const Step& step : steps) {
        step.change(facts);
        state = decide(state, facts, at(step.time));
        const std::string where = name + ", at " + std::to_string(step.time.count()) + " ms";
        EXPECT_EQ(state.phase, step.phase) << where;
        if (step.deadline) {
            ASSERT_TRUE(state.deadline) << where;
            EXPECT_EQ(*state.deadline, at(*step.deadline)) << where;
        } else {
            EXPECT_FALSE(state.deadline) << where;
        }
    }
}

void nothing(SessionFacts&) {}
std::function<void(SessionFacts&)> shell_ends(ms when) {
    return [when](SessionFacts& f) { f.shell_ended_at = at(when); };
}
std::function<void(SessionFacts&)> output_at(ms when) {
    return [when](SessionFacts& f) { f.last_output_at = at(when); };
}
void output_ends(SessionFacts& f) { f.output_ended = f.hung_up = true; }

TEST(SessionLifecycle, TheSessionEndsWhenTheShellHasEndedAndTheTerminalHasNoMoreOutput) {
    run_sequence("the output ends before the shell",
                 {
                     {0ms, nothing, Phase::running},
                     {300ms, output_ends, Phase::running},
                     {500ms, shell_ends(500ms), Phase::closing},
                 });
    run_sequence("the shell ends before the output",
                 {
                     {500ms, shell_ends(500ms), Phase::shell_gone, 1500ms},
                     {700ms, output_ends, Phase::closing},
                 });
    run_sequence("a request, then the shell's end",
                 {
                     {0ms, [](SessionFacts& f) { f.requested_at = at(0ms); }, Phase::ending},
                     {1000ms, shell_ends(1000ms), Phase::shell_gone, 1200ms},
                     {1200ms, nothing, Phase::abandoning},
                     {1200ms, output_ends, Phase::closing},
                 });
}

// The closed line goes out as soon as the shell and the terminal are done;
// the broker stays while the ladder has something left to end, and until
// the peer has every line.
TEST(SessionLifecycle, TheSessionIsDoneOnceTheLadderAndThePeerAreDone) {
    const auto requested = [](SessionFacts& f) { f.requested_at = at(0ms), f.ladder_climbing = true; };
    const auto closed_sent = [](SessionFacts& f) { f.closed_sent = f.backed_up = true; };
    run_sequence("a program outlives the shell",
                 {
                     {0ms, requested, Phase::ending},
                     {1000ms, shell_ends(1000ms), Phase::shell_gone, 1200ms},
                     {1200ms, output_ends, Phase::closing},
                     {1200ms, closed_sent, Phase::settling},
                     {1300ms, [](SessionFacts& f) { f.backed_up = false; }, Phase::settling},
                     {5000ms, [](SessionFacts& f) { f.ladder_climbing = false; }, Phase::done},
                 });
    run_sequence("the peer reads the closed line last",
                 {
                     {0ms, shell_ends(0ms), Phase::shell_gone, 1000ms},
                     {10ms, output_ends, Phase::closing},
                     {10ms, closed_sent, Phase::settling},
                     {900ms, [](SessionFacts& f) { f.backed_up = false; }, Phase::done},
                 });
}

// A peer that can no longer be written to asks for the end once, and gets
// no closed line; so does one whose standard input has hung up.
TEST(SessionLifecycle, APeerThatIsGoneIsATerminationRequest) {
    SessionFacts facts;
    facts.peer_gone = true;
    SessionState state = decide({}, facts, at(0ms));
    EXPECT_TRUE(state.request_termination);
    facts.requested_at = at(0ms);
    facts.ladder_climbing = true;
    state = decide(state, facts, at(0ms));
    EXPECT_FALSE(state.request_termination);
    EXPECT_EQ(state.phase, Phase::ending);
    facts.shell_ended_at = at(1000ms);
    facts.output_ended = true;
    state = decide(state, facts, at(1000ms));
    EXPECT_EQ(state.phase, Phase::settling);
    facts.ladder_climbing = false;
    EXPECT_EQ(decide(state, facts, at(5000ms)).phase, Phase::done);

    // Standard input hung up while the reader was held behind a paste.
    SessionFacts held;
    held.input_held = held.stdin_hung_up = true;
    EXPECT_TRUE(decide({}, held, at(0ms)).request_termination);
    held.requested_at = at(0ms);
    EXPECT_FALSE(decide({}, held, at(0ms)).request_termination);
}

TEST(SessionLifecycle, TheTerminalIsClosedOnceQuietAfterTheShellsEnd) {
    run_sequence("output keeps the terminal open",
                 {
                     {0ms, shell_ends(0ms), Phase::shell_gone, 1000ms},
                     {600ms, output_at(600ms), Phase::shell_gone, 1600ms},
                     {1599ms, nothing, Phase::shell_gone, 1600ms},
                     {1600ms, nothing, Phase::abandoning},
                 });
    // Output that the peer holds back is output the terminal still has: the
    // quiet second starts when the peer reads again.
    const auto held = [](SessionFacts& f) { f.backed_up = true; };
    const auto released = [](SessionFacts& f) { f.backed_up = false; };
    run_sequence("the peer holds the output back",
                 {
                     {0ms, shell_ends(0ms), Phase::shell_gone, 1000ms},
                     {100ms, held, Phase::shell_gone, 3000ms},
                     {1500ms, nothing, Phase::shell_gone, 3000ms},
                     {1500ms, released, Phase::shell_gone, 2500ms},
                     {2000ms, nothing, Phase::shell_gone, 2500ms},
                     {2500ms, nothing, Phase::abandoning},
                 });
    // Whatever keeps it busy, the shell's end is reported a few seconds
    // after it happened.
    run_sequence("a background job keeps printing",
                 {
                     {0ms, shell_ends(0ms), Phase::shell_gone, 1000ms},
                     {600ms, output_at(600ms), Phase::shell_gone, 1600ms},
                     {1200ms, output_at(1200ms), Phase::shell_gone, 2200ms},
                     {1800ms, output_at(1800ms), Phase::shell_gone, 2800ms},
                     {2400ms, output_at(2400ms), Phase::shell_gone, 3000ms},
                     {3000ms, output_at(3000ms), Phase::abandoning},
                 });
    run_sequence("the peer never reads again",
                 {
                     {0ms, shell_ends(0ms), Phase::shell_gone, 1000ms},
                     {100ms, held, Phase::shell_gone, 3000ms},
                     {3000ms, nothing, Phase::abandoning},
                 });
}

TEST(SessionLifecycle, TheClosedReason) {
    SessionFacts facts;
    facts.shell_ended_at = at(1000ms);
    EXPECT_EQ(closed_reason(SIGKILL, facts), "signal:9");
    EXPECT_EQ(closed_reason(3 << 8, facts), "exited");
    facts.requested_at = at(0ms);
    EXPECT_EQ(closed_reason(3 << 8, facts), "terminated");
    EXPECT_EQ(closed_reason(SIGHUP, facts), "signal:1");
    // A request after the shell had exited by itself does not change how
    // it ended.
    facts.requested_at = at(1001ms);
    EXPECT_EQ(closed_reason(3 << 8, facts), "exited");
}

}  // namespace
}  // namespace tsb
