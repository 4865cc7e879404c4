#include "attach/broker_child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include "attach/signals.hpp"
#include "protocol/peer.hpp"
#include "sys/io.hpp"
#include "sys/process.hpp"

extern char** environ;

namespace tsb::attach {

namespace {

struct Pipe {
    Fd read_end;
    Fd write_end;
};

Result<Pipe> make_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return fail(Error::last_os());
    return Pipe{Fd(ends[0]), Fd(ends[1])};
}

// posix_spawn's attributes and file actions, released on every path.
class SpawnSetup {
public:
    SpawnSetup() {
        ::posix_spawnattr_init(&attributes_);
        ::posix_spawn_file_actions_init(&actions_);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attributes_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // The child's standard streams are the given pipe ends (dup2 leaves the
    // copies without close-on-exec; every other descriptor has it).
    int set_streams(int input, int output, int errors) {
        int result = ::posix_spawn_file_actions_adddup2(&actions_, input, STDIN_FILENO);
        if (result == 0) result = ::posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO);
        if (result == 0) result = ::posix_spawn_file_actions_adddup2(&actions_, errors, STDERR_FILENO);
        return result;
    }

    int set_signals() {
        sigset_t defaults;
        sigemptyset(&defaults);
        for (const int signal : handled_signals) sigaddset(&defaults, signal);
        sigaddset(&defaults, SIGPIPE);
        sigset_t none;
        sigemptyset(&none);
        int result = ::posix_spawnattr_setsigdefault(&attributes_, &defaults);
        if (result == 0) result = ::posix_spawnattr_setsigmask(&attributes_, &none);
        if (result == 0) result = ::posix_spawnattr_setpgroup(&attributes_, 0);
        if (result == 0)
            result = ::posix_spawnattr_setflags(
                &attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
        return result;
    }

    int spawn(pid_t& pid, const std::string& program, char* const argv[]) {
        return ::posix_spawnp(&pid, program.c_str(), &actions_, &attributes_, argv, environ);
    }

private:
    posix_spawnattr_t attributes_;
    posix_spawn_file_actions_t actions_;
};

// The broker's wait status; 0 when it cannot be collected (it was already).
int reap(pid_t pid) { return wait_child(pid).value_or(0); }

}  // namespace

Result<BrokerChild> spawn_broker(const std::string& program, const std::vector<std::string>& shell) {
    auto input = make_pipe();
    if (!input) return fail(input.error());
    auto output = make_pipe();
    if (!output) return fail(output.error());
    (void)::fcntl(output->read_end.get(), F_SETPIPE_SZ, static_cast<int>(broker_output_pipe_size));
    auto errors = make_pipe();
    if (!errors) return fail(errors.error());

    std::vector<std::string> args{program};
    if (!shell.empty()) {
        args.emplace_back("--");
        args.insert(args.end(), shell.begin(), shell.end());
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    SpawnSetup setup;
    int result = setup.set_streams(input->read_end.get(), output->write_end.get(),
                                   errors->write_end.get());
    if (result == 0) result = setup.set_signals();
    BrokerChild child;
    if (result == 0) result = setup.spawn(child.pid, program, argv.data());
    if (result != 0) return fail(Error::os(result));

    child.input = std::move(input->write_end);
    child.output = std::move(output->read_end);
    child.errors = std::move(errors->read_end);
    return child;
}

void hang_up_broker(BrokerChild& broker) {
    if (!broker.input) return;
    // Written only if the pipe takes it at once: a broker that reads
    // nothing any more still ends the session through the end of its input.
    const int flags = ::fcntl(broker.input.get(), F_GETFL);
    if (flags >= 0 && ::fcntl(broker.input.get(), F_SETFL, flags | O_NONBLOCK) == 0)
        (void)write_some(broker.input.get(), notification_line(ShellSignal{SIGHUP}));
    broker.input.reset();
}

std::optional<int> end_broker(BrokerChild& broker, std::chrono::milliseconds grace) {
    hang_up_broker(broker);
    const bool ended =
        broker.output.valid() && read_until_end(broker.output.get(), std::chrono::steady_clock::now() + grace,
                                                [](std::string_view) {});
    if (!ended) return std::nullopt;
    return reap(broker.pid);
}

int wait_broker(BrokerChild& broker) {
    broker.input.reset();
    return reap(broker.pid);
}

}  // namespace tsb::attach
