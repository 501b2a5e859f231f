// The service manager's notification protocol (sd_notify): READY=1 once the
// watcher holds the drop folder and has taken over what an earlier one
// left, a one-line STATUS= whenever what it does changes, WATCHDOG=1 from
// the loop at half the watchdog's time, and STOPPING=1 when a stop begins.
// Without NOTIFY_SOCKET (started by hand, or by a unit of another type)
// nothing is sent and nothing fails.
#pragma once

struct Watcher;

// The watcher is ready: its first status goes with READY=1. Whether the
// service manager expects watchdog pings, and how often, is read here
// (WATCHDOG_USEC); the first ping is due at once.
void notifyReady(const Watcher& watcher, double now);

// Once per loop turn: a watchdog ping when one is due, the status when it
// is not the one sent last, STOPPING=1 once when a stop has begun.
void notifyServiceManager(const Watcher& watcher, double now);

// The stop has begun (sent once, however often it is called).
void notifyStopping();

// When (monotonic) the loop must wake for the next watchdog ping; -1 when
// the service manager expects none.
double nextWatchdogPing();
