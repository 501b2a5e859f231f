#include "watch/notify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "watch/names.h"
#include "watch/watcher.h"

namespace {

constexpr double MicrosecondsPerSecond = 1e6;
// A ping at half the watchdog's time leaves the other half for a loop turn
// that is slow (a large file filed, a busy machine).
constexpr double PingsPerWatchdogTime = 2;
// Sends no more than this many names of running imports in the status.
constexpr size_t StatusNames = 3;

struct Notifier {
    double pingEvery = -1;  // seconds between pings; -1: no watchdog
    double nextPing = -1;   // monotonic
    std::string status;     // the status last sent
    bool stopping = false;  // STOPPING=1 was sent
};

Notifier State;

// The running imports, named with their type codes (the first few).
std::string runningText(const Watcher& watcher) {
    std::string names;
    size_t running = 0;
    for (const Job& job : watcher.jobs) {
        if (job.phase != Phase::Running) continue;
        if (++running > StatusNames) continue;
        if (!names.empty()) names += ", ";
        names += shownName(job.record.name) + " (" + job.record.rule.typeCode + ")";
    }
    if (running == 0) return "";
    if (running > StatusNames) names += ", ...";
    return "importing " + std::to_string(running) + (running == 1 ? " file: " : " files: ") + names;
}

// What the watcher does now: stopping, importing, waiting for the database
// or for files.
std::string activityText(const Watcher& watcher) {
    const std::string running = runningText(watcher);
    if (watcher.stopping) return running.empty() ? "stopping" : "stopping once these end: " + running;
    const size_t waiting = watcher.jobs.size() - static_cast<size_t>(std::count_if(
                                                     watcher.jobs.begin(), watcher.jobs.end(),
                                                     [](const Job& job) { return job.phase == Phase::Running; }));
    std::string text = running;
    if (watcher.outageSince >= 0) text += std::string(text.empty() ? "" : "; ") + "the database is away";
    if (waiting > 0) text += (text.empty() ? "" : "; ") + std::to_string(waiting) + " more in work";
    return text.empty() ? "waiting for files in " + watcher.config.drop : text;
}

// The one line systemctl status shows: the activity and the last run filed.
std::string statusText(const Watcher& watcher) {
    const std::string last = watcher.lastFiled.empty() ? "none since the start" : watcher.lastFiled;
    return activityText(watcher) + "; last import: " + last;
}

// The status, sent and kept to compare the next one with.
void sendStatus(const std::string& status) {
    State.status = status;
    sd_notifyf(0, "STATUS=%s", status.c_str());
}

// WATCHDOG=1, when the service manager wants pings and one is due: the
// loop turned, so it is alive.
void pingWhenDue(double now) {
    if (State.pingEvery < 0 || now < State.nextPing) return;
    sd_notify(0, "WATCHDOG=1");
    State.nextPing = now + State.pingEvery;
}

// Whether the service manager wants pings, and how often (read once).
void readWatchdog(double now) {
    uint64_t microseconds = 0;
    if (State.pingEvery < 0 && sd_watchdog_enabled(0, &microseconds) > 0 && microseconds > 0) {
        State.pingEvery = static_cast<double>(microseconds) / MicrosecondsPerSecond / PingsPerWatchdogTime;
        State.nextPing = now;
    }
}

}  // namespace

void notifyReady(const Watcher& watcher, double now) {
    readWatchdog(now);
    State.status = statusText(watcher);
    sd_notifyf(0, "READY=1\nSTATUS=%s", State.status.c_str());
}

void notifyStandingBy(const std::string& holder, double now) {
    readWatchdog(now);
    State.status = "standing by: the drop folder is held by " + holder;
    sd_notifyf(0, "READY=1\nSTATUS=%s", State.status.c_str());
}

void notifyStandbyTurn(double now) {
    pingWhenDue(now);
}

void notifyServiceManager(const Watcher& watcher, double now) {
    if (watcher.stopping) notifyStopping();
    pingWhenDue(now);
    const std::string status = statusText(watcher);
    if (status != State.status) sendStatus(status);
}

void notifyStopping() {
    if (State.stopping) return;
    State.stopping = true;
    sd_notify(0, "STOPPING=1");
}

double nextWatchdogPing() { return State.pingEvery < 0 ? -1 : State.nextPing; }
