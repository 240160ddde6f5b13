#pragma once

// The daemon's logger, replaced in the unit tests: what would go to the
// system log is kept here instead. With all three of its functions
// defined here, the library's own logger is never taken from the archive.

#include <string>
#include <vector>

struct message {
    int priority;
    std::string text;
};
extern std::vector<message> logged;

// The texts logged at `priority`, or at any with -1, in order.
std::vector<std::string> logged_texts(int priority = -1);
