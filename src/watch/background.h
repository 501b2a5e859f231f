// Work beside the loop. Copying a delivered file into its run folder and
// checking it both read the whole file, which for a large one takes
// seconds; the loop must go on meanwhile (signals, other type codes, the
// imports that end). Such work runs in a thread of its own. It is given
// copies of what it needs and shares nothing with the loop but its own
// holder: a flag that asks it to stop, a flag that says it is done, and
// the watcher's wake-up descriptor, written once when it is done, which
// the loop waits on beside its signals.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <pthread.h>

// What a piece of work asks, between its pieces, to know whether to stop.
using StopAsked = std::atomic<bool>;

struct Background {
    std::function<void(const StopAsked& stop)> work;
    StopAsked stop{false};
    std::atomic<bool> done{false};
    int wake = -1;              // the watcher's wake-up descriptor (borrowed)
    pthread_t thread{};
    bool threaded = false;      // it runs in a thread of its own (else it already ran here)
};

// Starts work in a thread of its own; where no thread can be had (the
// system is out of them), it runs here and now instead, so that nothing is
// lost, only the loop waits.
std::unique_ptr<Background> startBackground(int wake, std::function<void(const StopAsked& stop)> work);

// Asks the work to stop at its next piece; it then leaves things as they
// were before it started where it can.
void askToStop(Background& background);

// Whether it is done; then finishBackground reaps its thread.
bool backgroundDone(const Background& background);
void finishBackground(Background& background);

// The wake-up descriptor the work writes to (an eventfd), and emptying it.
int openWake();
void drainWake(int wake);
