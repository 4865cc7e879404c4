#include "readers/thread.hpp"

#include <pthread.h>

#include <exception>
#include <memory>
#include <string>

#include "log/log.hpp"

namespace tsb {
namespace {

// Linux keeps 15 bytes of a thread name plus the terminating NUL.
constexpr std::size_t max_thread_name = 15;

struct ThreadStart {
    std::string name;
    std::function<void()> body;
};

void* run_thread(void* argument) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
    // Named from inside, so that the name is in place before the body runs.
    pthread_setname_np(pthread_self(), start->name.c_str());
    // An exception leaving a thread would terminate the whole broker; the
    // body's work is lost either way, so say so and let the thread end.
    try {
        start->body();
    } catch (const std::exception& e) {
        log_error_with("thread " + start->name + " ended by an exception", Error::text(e.what()));
    } catch (...) {
        log_message("thread " + start->name + " ended by an unknown exception");
    }
    return nullptr;
}

}  // namespace

Result<void> spawn_named_thread(std::string_view name, std::function<void()> body) {
    auto start = std::make_unique<ThreadStart>(
        ThreadStart{std::string(name.substr(0, max_thread_name)), std::move(body)});
    pthread_t thread;
    const int rc = pthread_create(&thread, nullptr, run_thread, start.get());
    if (rc != 0) return fail(Error::os(rc));
    start.release();  // the thread owns it now
    pthread_detach(thread);
    return {};
}

}  // namespace tsb
