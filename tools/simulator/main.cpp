// kqsim: a simulated VORI KQ controller on a pseudo terminal, for driving the device library
// end to end without hardware. It answers both of the controller's ways of talking, the text
// shell and Kolv.X1 request telegrams, and receives files by XMODEM when the shell says xrecv.
// Single-threaded: one poll() loop serves the pty, the signals (through a self-pipe), the control
// FIFO and every timer, which live in the output queue and the file receiver. Nothing in the loop
// sleeps, so a reply goes out on the loop's next turn.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "control.h"
#include "dispatcher.h"
#include "log.h"
#include "options.h"
#include "out_queue.h"
#include "protocol.h"
#include "pty.h"
#include "record.h"
#include "shell.h"
#include "store.h"

namespace {

using kqsim::Clock;
using kqsim::log;

int signal_pipe[2] = {-1, -1};

void on_signal(int sig) {
    const int saved = errno;
    const auto b = static_cast<unsigned char>(sig);
    // If the pipe is full a wake-up is already pending; losing this byte only matters for
    // repeats of the same signal, which mean nothing more than the first.
    [[maybe_unused]] const ssize_t n = ::write(signal_pipe[1], &b, 1);
    errno = saved;
}

bool install_signals(std::string& error) {
    if (::pipe(signal_pipe) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    for (const int fd : signal_pipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    ::sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGUSR1}) {
        if (::sigaction(sig, &sa, nullptr) != 0) {
            error = std::string("sigaction: ") + std::strerror(errno);
            return false;
        }
    }
    // A test harness may close our stdout early; that must not kill the controller.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

int poll_timeout(std::optional<Clock::time_point> wake) {
    if (!wake) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<decltype(left)>(left, INT_MAX));
}

class Controller {
  public:
    Controller(const kqsim::Options& opt, kqsim::Pty& pty, kqsim::Recorder& recorder,
               kqsim::ControlFifo& control, kqsim::Store& store)
        : opt_(opt),
          pty_(pty),
          recorder_(recorder),
          control_(control),
          out_(opt.line_rate),
          shell_(opt, out_, recorder_, store),
          protocol_(opt.responder, opt.faults, out_, recorder_, Clock::now()),
          dispatcher_(shell_, protocol_, recorder_) {}

    // Serves until SIGINT or SIGTERM; returns the exit status.
    int run() {
        for (;;) {
            const bool blocked = send_output();
            // The pty comes last so that it can be left out once the line is hung up.
            std::array<pollfd, 3> fds{
                {{signal_pipe[0], POLLIN, 0}, {control_.fd(), POLLIN, 0}, {pty_.master(), POLLIN, 0}}};
            if (blocked) {
                fds[2].events |= POLLOUT;
            }
            const nfds_t count = pty_.is_open() ? 3 : 2;
            int timeout = pty_.is_open() && !blocked ? poll_timeout(next_wake()) : -1;
            if (hang_up_pending_) {
                timeout = 2;  // watch the client drain its input
            }
            if (::poll(fds.data(), count, timeout) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                std::fprintf(stderr, "kqsim: poll: %s\n", std::strerror(errno));
                return 1;
            }
            if ((fds[0].revents & POLLIN) != 0 && !take_signals()) {
                finish();
                return 0;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                take_control();
            }
            if (count == 3 && pty_.is_open() && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                take_input();
            }
        }
    }

  private:
    // At exit: the report goes to the record, and where random faults were on, their counts to
    // stderr, for whoever ran us by hand.
    void finish() {
        protocol_.report(Clock::now());
        const auto& f = protocol_.faults();
        if (f.random.any() || protocol_.tally().injected != decltype(protocol_.tally().injected){}) {
            std::fprintf(stderr,
                         "kqsim: seed %llu, random faults injected: %s; %llu replies, %llu I/O exchanges\n",
                         static_cast<unsigned long long>(f.seed), protocol_.describe_tally().c_str(),
                         static_cast<unsigned long long>(protocol_.replies()),
                         static_cast<unsigned long long>(protocol_.io_exchanges()));
        }
    }

    std::optional<Clock::time_point> next_wake() {
        std::optional<Clock::time_point> wake;
        for (const auto& w : {out_.next_wake(), shell_.next_wake(), protocol_.next_wake()}) {
            if (w && (!wake || *w < *wake)) {
                wake = w;
            }
        }
        return wake;
    }

    // Closing the master discards whatever the client has not read yet, so a requested hang-up
    // lingers until the client has taken the output sent before it, but no longer than
    // kHangUpLinger. Written bytes reach the slave's input queue asynchronously, which is why an
    // empty queue only counts once kSettle has passed since the last write.
    static constexpr auto kHangUpLinger = std::chrono::milliseconds{500};
    static constexpr auto kSettle = std::chrono::milliseconds{20};

    void hang_up(const char* why) {
        hang_up_pending_ = false;
        if (pty_.is_open()) {
            log(std::string("hanging up: ") + why);
            pty_.hang_up();
            out_.clear();
        }
    }

    ssize_t write(std::string_view bytes) {
        if (opt_.silent) {
            return static_cast<ssize_t>(bytes.size());
        }
        last_write_ = Clock::now();
        return ::write(pty_.master(), bytes.data(), bytes.size());
    }

    // Writes what is due; true when the pty is full and we must wait until it is writable.
    bool send_output() {
        const auto now = Clock::now();
        if (hang_up_pending_ &&
            (now >= hang_up_deadline_ || (now - last_write_ >= kSettle && pty_.unread_by_client() == 0))) {
            hang_up("the requested hang-up is due");
        }
        if (!pty_.is_open() || hang_up_pending_) {
            return false;
        }
        protocol_.poll(now);
        bool blocked = false;
        switch (out_.pump(now, [this](std::string_view b) { return write(b); })) {
            case kqsim::OutputQueue::Result::Idle:
                break;
            case kqsim::OutputQueue::Result::Blocked:
                blocked = true;
                break;
            case kqsim::OutputQueue::Result::HangUp:
                hang_up_pending_ = true;
                hang_up_deadline_ = now + kHangUpLinger;
                return false;
            case kqsim::OutputQueue::Result::Failed:
                log(std::string("write failed: ") + std::strerror(errno));
                hang_up("pty unusable");
                return false;
        }
        shell_.poll(Clock::now());
        return blocked;
    }

    // False once we are told to exit.
    bool take_signals() {
        unsigned char sig = 0;
        while (::read(signal_pipe[0], &sig, 1) == 1) {
            if (sig != SIGUSR1) {
                log(sig == SIGINT ? "SIGINT, exiting" : "SIGTERM, exiting");
                return false;
            }
            hang_up("SIGUSR1");
        }
        return true;
    }

    void take_control() {
        for (const std::string& line : control_.take_lines()) {
            const auto now = Clock::now();
            recorder_.control(now, line);
            log("control " + kqsim::quoted(line));
            const auto outcome = kqsim::run_control(line, protocol_, shell_.xrecv_faults(), now);
            if (outcome.kind == kqsim::ControlOutcome::Kind::HangUp) {
                hang_up("control command");
            } else if (outcome.kind == kqsim::ControlOutcome::Kind::Error) {
                // The writer of the FIFO cannot see an answer; stderr is where a test's log shows it.
                std::fprintf(stderr, "kqsim: control: %s\n", outcome.error.c_str());
            }
        }
    }

    void take_input() {
        std::array<char, 4096> buf{};
        for (;;) {
            const ssize_t n = ::read(pty_.master(), buf.data(), buf.size());
            if (n > 0) {
                // While going down the controller no longer listens.
                if (!hang_up_pending_) {
                    dispatcher_.feed(std::string_view(buf.data(), static_cast<std::size_t>(n)));
                }
                continue;
            }
            // We hold the slave open, so EOF or an error here means the pty itself is gone;
            // treat it as dead rather than spin on it.
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                hang_up("pty read failed");
            }
            return;
        }
    }

    const kqsim::Options& opt_;
    kqsim::Pty& pty_;
    kqsim::Recorder& recorder_;
    kqsim::ControlFifo& control_;
    kqsim::OutputQueue out_;
    kqsim::Shell shell_;
    kqsim::Protocol protocol_;
    kqsim::Dispatcher dispatcher_;
    Clock::time_point last_write_{};
    bool hang_up_pending_ = false;
    Clock::time_point hang_up_deadline_{};
};

int serve(const kqsim::Options& opt, Clock::time_point start) {
    std::string error;
    kqsim::Recorder recorder(start);
    kqsim::ControlFifo control;
    kqsim::Pty pty;
    kqsim::Link link;
    kqsim::Store store;
    // The side channels exist before the slave's path is printed: a test that has read the path
    // may write to the FIFO at once.
    if (!install_signals(error) || (!opt.store_dir.empty() && !store.open(opt.store_dir, error)) ||
        (!opt.record_path.empty() && !recorder.open(opt.record_path, error)) ||
        (!opt.control_path.empty() && !control.open(opt.control_path, error)) || !pty.open(error) ||
        (!opt.link_path.empty() && !link.create(opt.link_path, pty.slave_path(), error))) {
        std::fprintf(stderr, "kqsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", pty.slave_path().c_str());
    std::fflush(stdout);
    log("serving on " + pty.slave_path() + (opt.link_path.empty() ? "" : " via " + opt.link_path));
    if (!opt.store_dir.empty()) {
        log("storing uploaded files in " + opt.store_dir);
    }
    return Controller(opt, pty, recorder, control, store).run();
}

}  // namespace

int main(int argc, char** argv) {
    const auto start = Clock::now();
    const auto parsed = kqsim::parse_options(std::span<char* const>(argv, static_cast<std::size_t>(argc)));
    switch (parsed.status) {
        case kqsim::ParseResult::Status::Help:
            kqsim::print_usage(stdout);
            return 0;
        case kqsim::ParseResult::Status::Error:
            std::fprintf(stderr, "kqsim: %s\n", parsed.error.c_str());
            kqsim::print_usage(stderr);
            return 2;
        case kqsim::ParseResult::Status::Run:
            break;
    }
    kqsim::verbose_log = parsed.options.verbose;
    kqsim::Options options = parsed.options;
    if (options.faults.random.any() && !options.seed_given) {
        options.faults.seed = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
    }
    if (options.faults.random.any()) {
        std::fprintf(stderr, "kqsim: random faults %s, seed %llu\n",
                     kqsim::describe_rates(options.faults.random).c_str(),
                     static_cast<unsigned long long>(options.faults.seed));
    }
    return serve(options, start);
}
