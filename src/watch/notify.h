// The service manager's notification protocol (sd_notify): READY=1 once the
// watcher holds the drop folder and has taken over what an earlier one
// left, a one-line STATUS= whenever what it does changes, WATCHDOG=1 from
// the loop at half the watchdog's time, and STOPPING=1 when a stop begins.
// Without NOTIFY_SOCKET (started by hand, or by a unit of another type)
// nothing is sent and nothing fails.
#pragma once
#include <string>

struct Watcher;

// The watcher is ready: its first status goes with READY=1. Whether the
// service manager expects watchdog pings, and how often, is read here
// (WATCHDOG_USEC); the first ping is due at once.
void notifyReady(const Watcher& watcher, double now);

// A standby has started: it is ready as a standby (a unit of Type=notify
// would otherwise count its wait as a start that never ends), with a
// status that names the holder; the watchdog is read as by notifyReady.
void notifyStandingBy(const std::string& holder, double now);

// Once per turn of the standby's wait: a watchdog ping when one is due.
void notifyStandbyTurn(double now);

// Once per loop turn: a watchdog ping when one is due, the status when it
// is not the one sent last, STOPPING=1 once when a stop has begun.
void notifyServiceManager(const Watcher& watcher, double now);

// The stop has begun (sent once, however often it is called).
void notifyStopping();

// When (monotonic) the loop must wake for the next watchdog ping; -1 when
// the service manager expects none.
double nextWatchdogPing();
