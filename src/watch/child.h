// Starting a program of the site's as a child: the importer, the journal
// program, the on-failed hook. fork and exec, no shell. In the child the
// signals are as a new program expects them (none blocked, SIGPIPE and
// SIGIO at their defaults), standard input reads /dev/null, standard output
// and error go where the request says, and every other descriptor of the
// watcher is closed at the exec but the one the request hands on. A failure
// before the exec comes back through a pipe that the exec closes, so that a
// child that started is known to run its program.
#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

// The exit status of a child whose program could not be run.
constexpr int ExecFailedStatus = 127;

enum class ChildGroup {
    Watcher,   // the watcher's process group: a Ctrl-C reaches it too
    Own,       // a group of its own: a stop of the watcher does not reach it
};

struct ChildRequest {
    std::vector<std::string> arguments;                        // the program, then its arguments
    const std::vector<std::string>* environment = nullptr;     // null: the watcher's own
    std::string workdir;                                       // empty: the watcher's
    int output = -1;                                           // standard output; -1: outputPath, or the watcher's
    int error = -1;                                            // standard error; -1: errorPath, or the watcher's
    std::string outputPath;                                    // files made for standard output and error
    std::string errorPath;                                     // (mode 0640), empty: the watcher's
    int handedOn = -1;                                         // a descriptor the program keeps (the run's lock)
    int syncedFolder = -1;   // flushed once the output files are made, before the program runs
    ChildGroup group = ChildGroup::Watcher;
};

// Starts the program; true, with its pid, once its exec succeeded. False
// with errno when it could not be started: nothing ran then.
bool startChild(const ChildRequest& request, pid_t& pid);
