// ternival-server: the out-of-process automation server.
//
//   ternival-server -RegServer     register the classes (any case, '-' or '/')
//   ternival-server -UnregServer   remove the registration
//   ternival-server --typelib      print the type library description
//   ternival-server                serve JSON-RPC requests on stdin/stdout
#include <csignal>
#include <cstdio>
#include <iostream>
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

    int status = 0;
    {
        RpcServer server;
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line.empty() || line.find_first_not_of(" \t\r") == std::string::npos) continue;
            if (auto reply = server.HandleLine(line)) {
                if (!WriteLine(protocol, *reply)) break;  // the client has gone
            }
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
