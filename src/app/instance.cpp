#include "app/instance.h"

#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "base/files.h"
#include "platform/platform.h"

const char* INSTANCE_LOCK_FILE = "vimo.lock";

bool instance_quit_requested(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--quit") == 0) return true;
    }
    return false;
}

bool instance_claim() {
    const std::string path = cwd + INSTANCE_LOCK_FILE;
    switch (platform_lock_take(path)) {
        case PLATFORM_LOCK_TAKEN:
            return true;
        case PLATFORM_LOCK_FAILED:
            std::cout << "Could not lock " << path << ": starting without the one-companion check." << std::endl;
            return true;
        case PLATFORM_LOCK_BUSY:
            break;
    }
    int64_t holder = platform_lock_holder(path);
    std::cout << "vimo is already running from this folder";
    if (holder > 0) std::cout << " (pid " << holder << ")";
    std::cout << "; \"vimo --quit\" ends it." << std::endl;
    return false;
}

int instance_quit() {
    const std::string path = cwd + INSTANCE_LOCK_FILE;
    int64_t holder = platform_lock_holder(path);
    if (holder == 0) {
        std::cout << "No companion is running from this folder." << std::endl;
        return QUIT_NONE_RUNNING;
    }
    if (!platform_interrupt_process(holder)) {
        // It may have ended on its own between the two calls.
        if (platform_lock_holder(path) == 0) {
            std::cout << "No companion is running from this folder." << std::endl;
            return QUIT_NONE_RUNNING;
        }
        std::cout << "Could not ask the running companion to end." << std::endl;
        return QUIT_NOT_ENDED;
    }
    // The system releases the lock only once the process is gone, after its
    // shutdown sequence has saved config.json.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(QUIT_WAIT_SECONDS);
    while (platform_lock_holder(path) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::cout << "Asked the running companion (pid " << holder << ") to end; it is still running after "
                      << QUIT_WAIT_SECONDS << " s." << std::endl;
            return QUIT_NOT_ENDED;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::cout << "Asked the running companion (pid " << holder << ") to end; it has ended." << std::endl;
    return QUIT_ENDED;
}
