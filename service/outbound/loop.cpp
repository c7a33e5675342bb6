// Event loops stopped together (see loop.h).
#include "outbound/loop.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace outbound {

namespace asio = boost::asio;

bool Loops::run(const std::function<awaitable<void>()>& task) {
    bool finished = false;
    std::exception_ptr fault;
    // Declared after finished and fault, which its completion handler refers to:
    // the loop's end may destroy that handler uncalled.
    asio::io_context loop;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return false;
        running_.push_back(&loop);
    }
    // The task's end ends the loop too: coroutines it spawned and left waiting
    // (a connection's heart, its writer) go with it.
    asio::co_spawn(loop, task(), [&](std::exception_ptr e) {
        finished = true;
        fault = e;
        loop.stop();
    });
    loop.run();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_.erase(std::find(running_.begin(), running_.end(), &loop));
    }
    if (fault) std::rethrow_exception(fault);
    return finished;
}

void Loops::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    for (asio::io_context* loop : running_) loop->stop();
}

bool Loops::stopped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

awaitable<void> sleep_for(double seconds) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_after(std::chrono::duration_cast<asio::steady_timer::duration>(std::chrono::duration<double>(seconds)));
    boost::system::error_code ignored;  // cancelled only with its loop, which then never resumes us
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

namespace {
// Shared by run_within and its work: whichever ends first, the other finds it whole.
struct Race {
    explicit Race(asio::any_io_executor ex) : timer(ex) {}
    asio::steady_timer timer;  // the deadline; cancelled when the work ends first
    bool done = false;         // the work ended
};

awaitable<void> run_and_signal(std::shared_ptr<Race> race, std::function<awaitable<void>()> work) {
    co_await work();
    race->done = true;
    race->timer.cancel();
}
}  // namespace

awaitable<bool> run_within(double seconds, std::function<awaitable<void>()> work) {
    auto ex = co_await asio::this_coro::executor;
    auto race = std::make_shared<Race>(ex);
    race->timer.expires_after(std::chrono::duration_cast<asio::steady_timer::duration>(std::chrono::duration<double>(seconds)));
    asio::co_spawn(ex, run_and_signal(race, std::move(work)), asio::detached);
    boost::system::error_code ignored;  // cancelled: the work ended
    if (!race->done) co_await race->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    co_return race->done;
}

}  // namespace outbound
