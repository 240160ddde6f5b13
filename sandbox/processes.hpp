#pragma once

// Nothing a test starts outlives it. A test process owns its descendants
// (it is their subreaper, so even those that left their parent or their
// session stay under it), every child it forks dies with it, and at the
// end of each test whatever is still running is killed and reaped.

#include <string>
#include <sys/types.h>
#include <vector>

namespace sandbox {

// The variable every process started by the tests carries, so that a
// check after the suite can find any that were left running; its value is
// the build tree.
constexpr const char *run_marker = "PTYBRIDGE_TEST_RUN";
// "PTYBRIDGE_TEST_RUN=<build tree>".
std::string run_marker_entry();

// Makes this process the subreaper of everything it starts and marks its
// environment (once; the GoogleTest programs do it before any test).
void own_descendants();

// fork(), with the child killed when the forking thread ends: a test
// process killed by a timeout takes its children with it. Start children
// from a thread that outlives them (the test's own thread).
pid_t fork_child();
// The same for a child forked otherwise (forkpty): call it first thing in
// the child with the forking process's ID; it exits if that is gone.
void die_with_parent(pid_t parent);

// Every process below this one, as "pid (name)".
std::vector<std::string> describe_descendants();
// Kills every process below this one with SIGKILL and reaps those that
// are (or become) its children; returns what was still running.
std::vector<std::string> end_descendants();

// Ends the descendants, says why on stderr and aborts: for set-up that
// cannot go on, where no test framework is there to report a failure.
[[noreturn]] void fail_hard(const std::string &why);

} // namespace sandbox
