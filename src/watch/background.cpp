#include "watch/background.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// The thread's body: the work, then the word that it is done.
void* runBackground(void* argument) {
    auto* background = static_cast<Background*>(argument);
    background->work(background->stop);
    background->done.store(true);
    const uint64_t one = 1;
    ssize_t written = write(background->wake, &one, sizeof one);
    (void)written;   // a full counter wakes the loop all the same
    return nullptr;
}

}  // namespace

std::unique_ptr<Background> startBackground(int wake, std::function<void(const StopAsked& stop)> work) {
    auto background = std::make_unique<Background>();
    background->work = std::move(work);
    background->wake = wake;
    background->threaded = pthread_create(&background->thread, nullptr, runBackground, background.get()) == 0;
    if (!background->threaded) runBackground(background.get());
    return background;
}

void askToStop(Background& background) {
    background.stop.store(true);
}

bool backgroundDone(const Background& background) {
    return background.done.load();
}

void finishBackground(Background& background) {
    if (background.threaded) pthread_join(background.thread, nullptr);
    background.threaded = false;
}

int openWake() {
    return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void drainWake(int wake) {
    uint64_t count = 0;
    while (read(wake, &count, sizeof count) > 0) {
    }
}
