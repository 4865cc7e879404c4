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

struct Queued {
    BrokerCommand command;
    std::size_t cost;
};

struct ChannelState {
    explicit ChannelState(Fd wake_fd) : wake(std::move(wake_fd)) {}

    std::mutex mutex;
    std::deque<Queued> queue;
    bool receiver_alive = true;
    // The cost of every command sent and not yet done with.
    std::size_t held = 0;
    // Senders blocked in send_waiting() until `held` shrinks.
    std::size_t waiting_senders = 0;
    // Signalled when `held` shrinks or the receiver goes.
    std::condition_variable room;
    // Written only by a send that finds the queue empty, read only by the
    // receiver's clear_wake(); the counter's value means nothing.
    const Fd wake;

    void give_back(std::size_t cost) noexcept {
        {
            const std::lock_guard lock(mutex);
            held -= cost;
        }
        room.notify_all();
    }
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

// Appends under the caller's lock.
void enqueue(detail::ChannelState& state, BrokerCommand command, std::size_t cost) {
    const bool was_empty = state.queue.empty();
    state.queue.push_back({std::move(command), cost});
    state.held += cost;
    // Only the first command of a burst costs a system call. Signalling
    // under the lock means the descriptor is already readable by the time
    // any other thread can see this command in the queue.
    if (was_empty) signal_wake(state.wake.get());
}

// The command given back to a sender whose receiver is gone.
std::expected<void, BrokerCommand> hand_back(BrokerCommand& command) {
    return std::expected<void, BrokerCommand>(std::unexpect, std::move(command));
}

}  // namespace

CommandCredit::CommandCredit(std::shared_ptr<detail::ChannelState> state, std::size_t cost) noexcept
    : state_(std::move(state)), cost_(cost) {}

CommandCredit::CommandCredit(CommandCredit&& other) noexcept
    : state_(std::move(other.state_)), cost_(std::exchange(other.cost_, 0)) {}

CommandCredit& CommandCredit::operator=(CommandCredit&& other) noexcept {
    if (this != &other) {
        if (state_) state_->give_back(cost_);
        state_ = std::move(other.state_);
        cost_ = std::exchange(other.cost_, 0);
    }
    return *this;
}

CommandCredit::~CommandCredit() {
    if (state_) state_->give_back(cost_);
}

CommandSender::CommandSender(std::shared_ptr<detail::ChannelState> state)
    : state_(std::move(state)) {}

std::expected<void, BrokerCommand> CommandSender::send(BrokerCommand command, std::size_t cost) const {
    if (!state_) return hand_back(command);
    const std::lock_guard lock(state_->mutex);
    if (!state_->receiver_alive) return hand_back(command);
    enqueue(*state_, std::move(command), cost);
    return {};
}

std::expected<void, BrokerCommand> CommandSender::send_waiting(BrokerCommand command,
                                                               std::size_t cost) const {
    if (!state_) return hand_back(command);
    std::unique_lock lock(state_->mutex);
    const auto has_room = [&] {
        return !state_->receiver_alive || state_->held == 0 ||
               state_->held + cost <= command_channel_capacity;
    };
    if (!has_room()) {
        // The receiver may be holding back something that would free room
        // only if it knew a sender is stuck: let it look again.
        ++state_->waiting_senders;
        signal_wake(state_->wake.get());
        state_->room.wait(lock, has_room);
        --state_->waiting_senders;
    }
    if (!state_->receiver_alive) return hand_back(command);
    enqueue(*state_, std::move(command), cost);
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
    std::deque<detail::Queued> dropped;
    {
        const std::lock_guard lock(state_->mutex);
        state_->receiver_alive = false;
        dropped.swap(state_->queue);
    }
    state_->room.notify_all();
    state_.reset();
    // `dropped` is destroyed here, outside the lock.
}

std::optional<ReceivedCommand> CommandReceiver::try_recv_held() {
    if (!state_) return std::nullopt;
    const std::lock_guard lock(state_->mutex);
    if (state_->queue.empty()) return std::nullopt;
    detail::Queued& front = state_->queue.front();
    std::optional<ReceivedCommand> received(
        ReceivedCommand{std::move(front.command), CommandCredit(state_, front.cost)});
    state_->queue.pop_front();
    return received;
}

bool CommandReceiver::sender_waiting() const {
    if (!state_) return false;
    const std::lock_guard lock(state_->mutex);
    return state_->waiting_senders > 0;
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
