#include "processes.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef PTYBRIDGE_BUILD_TREE
#error "PTYBRIDGE_BUILD_TREE must name the build tree"
#endif

namespace sandbox {

namespace {

struct process {
    pid_t pid;
    pid_t parent;
    char state;
    std::string name;
};

// One look at /proc: every process with its parent.
std::vector<process> all_processes() {
    std::vector<process> out;
    std::error_code ignored;
    for (const auto &e : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(e.path() / "stat");
        std::string text;
        std::getline(stat, text);
        // "pid (name) S ppid ...": the name may hold spaces and parentheses.
        const std::size_t open = text.find('(');
        const std::size_t close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 4 >= text.size()) {
            continue;
        }
        out.push_back({static_cast<pid_t>(std::atol(name.c_str())),
                       static_cast<pid_t>(std::atol(text.c_str() + close + 4)), text[close + 2],
                       text.substr(open + 1, close - open - 1)});
    }
    return out;
}

std::vector<process> below(pid_t root) {
    const auto all = all_processes();
    std::multimap<pid_t, const process *> children;
    for (const auto &p : all) {
        children.emplace(p.parent, &p);
    }
    std::vector<process> out;
    std::vector<pid_t> todo{root};
    while (!todo.empty()) {
        const pid_t parent = todo.back();
        todo.pop_back();
        const auto [first, last] = children.equal_range(parent);
        for (auto it = first; it != last; ++it) {
            out.push_back(*it->second);
            todo.push_back(it->second->pid);
        }
    }
    return out;
}

std::string describe(const process &p) {
    return std::to_string(p.pid) + " (" + p.name + ")";
}

} // namespace

std::string run_marker_entry() {
    return std::string(run_marker) + "=" + PTYBRIDGE_BUILD_TREE;
}

void own_descendants() {
    static const bool done = [] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        setenv(run_marker, PTYBRIDGE_BUILD_TREE, 1);
        return true;
    }();
    (void)done;
}

void die_with_parent(pid_t parent) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
        _exit(125); // the parent is gone already
    }
}

pid_t fork_child() {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        die_with_parent(parent);
    }
    return pid;
}

std::vector<std::string> describe_descendants() {
    std::vector<std::string> out;
    for (const auto &p : below(getpid())) {
        if (p.state != 'Z') {
            out.push_back(describe(p));
        }
    }
    return out;
}

std::vector<std::string> end_descendants() {
    using namespace std::chrono_literals;
    std::vector<std::string> ended;
    std::set<pid_t> seen;
    const pid_t self = getpid();
    // Bounded: a process stuck in the kernel may take a while to go.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        const auto left = below(self);
        if (left.empty() || std::chrono::steady_clock::now() > deadline) {
            break;
        }
        for (const auto &p : left) {
            if (p.state != 'Z' && seen.insert(p.pid).second) {
                ended.push_back(describe(p));
            }
            kill(p.pid, SIGKILL);
        }
        // Orphans come to this process (the subreaper), which reaps them.
        for (const auto &p : left) {
            if (p.parent == self) {
                waitpid(p.pid, nullptr, WNOHANG);
            }
        }
        std::this_thread::sleep_for(1ms);
    }
    return ended;
}

void fail_hard(const std::string &why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    const auto ended = end_descendants();
    for (const auto &p : ended) {
        std::fprintf(stderr, "ended %s\n", p.c_str());
    }
    std::abort();
}

} // namespace sandbox
