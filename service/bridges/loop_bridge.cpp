// Starting and stopping a bridge's loop (see loop_bridge.h).
#include "bridges/loop_bridge.h"

namespace bridges {

bool LoopBridge::start() {
    if (thread_.joinable()) return true;
    if (loops_.stopped() || !prepare()) return false;
    thread_ = std::thread([this] { loops_.run([this] { return main_loop(); }); });
    return true;
}

void LoopBridge::stop() {
    loops_.stop();
    if (thread_.joinable()) thread_.join();
}

}  // namespace bridges
