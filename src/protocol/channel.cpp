#include "protocol/channel.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>

#include "sys/fd.hpp"

namespace tsb {

namespace detail {

struct ChannelState {
    explicit ChannelState(Fd wake_fd) : wake(std::move(wake_fd)) {}

    std::mutex mutex;
    std::deque<BrokerCommand> queue;
    bool receiver_alive = true;
    // Written only by a send that finds the queue empty, read only by the
    // receiver's clear_wake(); the counter's value means nothing.
    const Fd wake;
};

}  // namespace detail

namespace {

void signal_wake(int fd) noexcept {
    const std::uint64_t one = 1;
    // Fails only with EAGAIN when the counter is about to overflow, in
    // which case it is readable already.
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace

CommandSender::CommandSender(std::shared_ptr<detail::ChannelState> state)
    : state_(std::move(state)) {}

std::expected<void, BrokerCommand> CommandSender::send(BrokerCommand command) const {
    if (!state_) return std::unexpected(std::move(command));
    const std::lock_guard lock(state_->mutex);
    if (!state_->receiver_alive) return std::unexpected(std::move(command));
    const bool was_empty = state_->queue.empty();
    state_->queue.push_back(std::move(command));
    // Only the first command of a burst costs a system call. Signalling
    // under the lock means the descriptor is already readable by the time
    // any other thread can see this command in the queue.
    if (was_empty) signal_wake(state_->wake.get());
    return {};
}

CommandReceiver::CommandReceiver(std::shared_ptr<detail::ChannelState> state)
    : state_(std::move(state)) {}

CommandReceiver::CommandReceiver(CommandReceiver&& other) noexcept
    : state_(std::move(other.state_)) {}

CommandReceiver& CommandReceiver::operator=(CommandReceiver&& other) noexcept {
    if (this != &other) {
        release();
        state_ = std::move(other.state_);
    }
    return *this;
}

CommandReceiver::~CommandReceiver() {
    release();
}

void CommandReceiver::release() noexcept {
    if (!state_) return;
    std::deque<BrokerCommand> dropped;
    {
        const std::lock_guard lock(state_->mutex);
        state_->receiver_alive = false;
        dropped.swap(state_->queue);
    }
    state_.reset();
    // `dropped` is destroyed here, outside the lock.
}

std::optional<BrokerCommand> CommandReceiver::try_recv() {
    if (!state_) return std::nullopt;
    const std::lock_guard lock(state_->mutex);
    if (state_->queue.empty()) return std::nullopt;
    std::optional<BrokerCommand> command(std::move(state_->queue.front()));
    state_->queue.pop_front();
    return command;
}

int CommandReceiver::wake_fd() const noexcept {
    return state_ ? state_->wake.get() : -1;
}

void CommandReceiver::clear_wake() noexcept {
    if (!state_) return;
    std::uint64_t count = 0;
    // Non-blocking: EAGAIN just means no wake-up was pending.
    while (::read(state_->wake.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

Result<std::pair<CommandSender, CommandReceiver>> make_command_channel() {
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) return fail(Error::last_os());
    auto state = std::make_shared<detail::ChannelState>(std::move(wake));
    return std::pair<CommandSender, CommandReceiver>(CommandSender(state), CommandReceiver(state));
}

}  // namespace tsb
