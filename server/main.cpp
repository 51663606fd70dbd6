// ternival-server: the out-of-process automation server.
//
//   ternival-server -RegServer     register the classes (any case, '-' or '/')
//   ternival-server -UnregServer   remove the registration
//   ternival-server --typelib      print the type library description
//   ternival-server                serve JSON-RPC requests on stdin/stdout
#include <poll.h>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <thread>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "automation/typelib.h"
#include "server/interfaces.h"
#include "server/objects.h"
#include "server/registration.h"
#include "server/rpc.h"

namespace {

std::string ModulePath(const char* argv0) {
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n > 0) return std::string(buf.data(), static_cast<std::size_t>(n));
    return argv0;
}

// Writes one response line to the protocol channel; false when the client
// has gone.
bool WriteLine(int fd, const std::string& line) {
    std::string out = line + "\n";
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::write(fd, out.data() + done, out.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Request lines from a file descriptor, each at most kMaxRequestBytes: a
// longer line is skipped to its end (never held in memory whole) and
// reported as too long.
class LineReader {
public:
    enum class Status { Line, TooLong, End };
    explicit LineReader(int fd) : fd_(fd) {}

    Status Next(std::string& line) {
        line.clear();
        bool too_long = false;
        while (true) {
            const auto nl = buffer_.find('\n', scanned_);
            if (nl != std::string::npos) {
                if (!too_long) line.assign(buffer_, 0, nl);
                buffer_.erase(0, nl + 1);
                scanned_ = 0;
                return too_long ? Status::TooLong : Status::Line;
            }
            if (buffer_.size() > ternival::server::kMaxRequestBytes) {
                too_long = true;
                buffer_.clear();
            }
            scanned_ = buffer_.size();
            char chunk[65536];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // A last line without its newline still counts.
                if (too_long) return Status::TooLong;
                if (buffer_.empty()) return Status::End;
                line.swap(buffer_);
                return Status::Line;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::string buffer_;
    std::size_t scanned_ = 0;
};

// A client that has gone (its end of the response pipe closed) can take no
// answer: the server stops at once, even in the middle of a computation,
// rather than computing on as an orphan.
void WatchClient(int protocol) {
    std::thread([protocol] {
        while (true) {
            pollfd p{protocol, 0, 0};
            if (::poll(&p, 1, 200) > 0 && (p.revents & (POLLERR | POLLHUP))) {
                static const char kGone[] = "ternival-server: the client has gone; stopping\n";
                [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kGone, sizeof kGone - 1);
                ::_exit(0);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }).detach();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace ternival::server;
    std::vector<std::string_view> args(argv + 1, argv + argc);
    for (std::string_view a : args)
        if (a == "--typelib") {
            std::cout << ternival::automation::DescribeTypeLibrary(TernivalTypeLibrary()).dump(2) << "\n";
            return 0;
        }
    switch (ParseServerCommandLine(args)) {
        case ServerAction::RegServer:
            if (!RegisterServer(ModulePath(argv[0]))) {
                std::fprintf(stderr, "ternival-server: unable to write the registry\n");
                return 1;
            }
            return 0;
        case ServerAction::UnregServer:
            UnregisterServer();
            return 0;
        case ServerAction::Serve:
            break;
    }

    // Responses go to the original standard output alone; anything else the
    // process prints (the engine, message boxes) goes to standard error so
    // it cannot corrupt the protocol.
    const int protocol = ::dup(STDOUT_FILENO);
    if (protocol < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::perror("ternival-server");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);

    WatchClient(protocol);

    int status = 0;
    {
        RpcServer server;
        LineReader reader(STDIN_FILENO);
        std::string line;
        while (true) {
            const LineReader::Status got = reader.Next(line);
            if (got == LineReader::Status::End) break;
            std::optional<std::string> reply;
            if (got == LineReader::Status::TooLong) {
                reply = server.RefuseLongLine();
            } else {
                if (line.empty() || line.find_first_not_of(" \t\r") == std::string::npos) continue;
                reply = server.HandleLine(line);
            }
            if (reply && !WriteLine(protocol, *reply)) break;  // the client has gone
            if (server.Finished()) break;
        }
        // End of input or the last object released: release what the
        // client still held (closing the engine), then stop.
        server.ReleaseAll();
    }
    CurrentPackage().reset();
    ::close(protocol);
    return status;
}
