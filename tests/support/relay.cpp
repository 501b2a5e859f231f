#include "relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <gtest/gtest.h>

namespace kt {

namespace {

constexpr int PollIntervalMs = 20;   // how soon the thread sees that it must stop
constexpr int Backlog = 4;
constexpr size_t ChunkBytes = 65536;

// Writes all of the bytes; false when the other side has gone.
bool sendAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        const ssize_t sent = send(fd, bytes, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

// A connection to the server's local socket; not valid when it refused.
UniqueFd connectToSocket(const std::string& path) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd.valid() || path.size() >= sizeof address.sun_path) return UniqueFd();
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return UniqueFd();
    return fd;
}

}  // namespace

// The listening socket is made before the thread starts, so the port is
// known, and taken, when the constructor returns.
Relay::Relay(std::string serverSocket, std::string cutAt)
    : serverSocket_(std::move(serverSocket)), cutAt_(std::move(cutAt)) {
    listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener_.valid() || bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        listen(listener_.get(), Backlog) != 0 ||
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "the relay cannot listen on 127.0.0.1: " << strerror(errno);
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

// The thread first, then the descriptors (members) close.
Relay::~Relay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

// Until the cut every connection's both sides are watched; after it only
// the listener, so that nothing more is read from either side.
void Relay::serve() {
    while (!stop_) {
        std::vector<pollfd> watched = {{listener_.get(), POLLIN, 0}};
        const size_t carried = cut_ ? 0 : pairs_.size();
        for (size_t i = 0; i < carried; ++i) {
            watched.push_back({pairs_[i].program.get(), POLLIN, 0});
            watched.push_back({pairs_[i].server.get(), POLLIN, 0});
        }
        if (poll(watched.data(), watched.size(), PollIntervalMs) <= 0) continue;
        std::vector<Pair> open;
        for (size_t i = 0; i < carried; ++i) {
            Pair& pair = pairs_[i];
            bool alive = true;
            if (watched[1 + 2 * i].revents != 0) alive = carry(pair, pair.program, pair.server);
            if (alive && !cut_ && watched[2 + 2 * i].revents != 0) alive = carry(pair, pair.server, pair.program);
            if (alive) open.push_back(std::move(pair));
        }
        for (size_t i = carried; i < pairs_.size(); ++i) open.push_back(std::move(pairs_[i]));
        pairs_ = std::move(open);
        if ((watched[0].revents & POLLIN) != 0) accept();
    }
}

// A new connection of the program, with its own connection to the server;
// one the server refuses is closed at once, as the network would.
void Relay::accept() {
    Pair pair;
    pair.program.reset(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!pair.program.valid()) return;
    pair.server = connectToSocket(serverSocket_);
    if (pair.server.valid()) pairs_.push_back(std::move(pair));
}

// The program's bytes are searched for the cut text, across reads: the
// bytes that complete it are kept from the server, and from then on the
// relay is silent.
bool Relay::carry(Pair& pair, const UniqueFd& from, const UniqueFd& to) {
    char bytes[ChunkBytes];
    const ssize_t got = read(from.get(), bytes, sizeof bytes);
    if (got <= 0) return false;
    if (&from == &pair.program) {
        pair.seen.append(bytes, static_cast<size_t>(got));
        if (pair.seen.find(cutAt_) != std::string::npos) {
            cutTime_ = std::chrono::steady_clock::now();
            cut_ = true;
            return true;
        }
        if (pair.seen.size() > cutAt_.size()) pair.seen.erase(0, pair.seen.size() - cutAt_.size());
    }
    return sendAll(to.get(), bytes, static_cast<size_t>(got));
}

}  // namespace kt
