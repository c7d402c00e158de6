#include "platform/stopsignals.h"

#include <csignal>
#include <thread>

#include <pthread.h>

StopSignals::StopSignals(std::function<void(int signal)> onStop)
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    // Waits for ever: the process ends with the thread still waiting.
    std::thread([stops, onStop = std::move(onStop)] {
        for (;;) {
            int signal = 0;
            if (sigwait(&stops, &signal) == 0)
                onStop(signal);
        }
    }).detach();
}
