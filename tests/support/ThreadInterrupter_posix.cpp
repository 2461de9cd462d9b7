// Thread interruptions on POSIX: SIGUSR1 sent to one thread, with a handler installed without SA_RESTART.
#include "support/ThreadInterrupter.h"

#include <chrono>
#include <pthread.h>
#include <signal.h>

namespace {

std::atomic<unsigned long> delivered{0};

void OnInterrupt(int) { delivered.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

bool ThreadInterruptsAvailable() { return true; }

ThreadInterrupter::ThreadInterrupter(unsigned int periodMs) {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: interrupted calls return EINTR
    sigaction(SIGUSR1, &action, nullptr);
    const pthread_t target = pthread_self();
    thread_ = std::thread([this, target, periodMs] {
        while (!stop_.load()) {
            pthread_kill(target, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
        }
    });
}

ThreadInterrupter::~ThreadInterrupter() {
    stop_ = true;
    thread_.join();
}

unsigned long ThreadInterrupter::Delivered() { return delivered.load(); }
