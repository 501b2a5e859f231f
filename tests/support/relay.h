// A TCP relay between the program and the fixture's server, for the tests of
// a network that fails under a run: it listens on 127.0.0.1 (a port the
// kernel picks) and carries the bytes of each connection to and from the
// server's local socket, until the program sends a given text. From then on
// it carries nothing either way and keeps both connections open, as across
// a network partition: the program hears nothing, and the server keeps the
// session and its open transaction until the relay ends.
#pragma once
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/fd.h"

namespace kt {

class Relay {
public:
    // Relays to the local socket serverSocket; cutAt is the text whose
    // arrival from the program ends the carrying (the bytes that hold it
    // never reach the server).
    Relay(std::string serverSocket, std::string cutAt);
    // Stops the thread and closes every connection, so the server ends the
    // session and rolls back what it left open.
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // The port it listens on; 0 when it could not listen.
    int port() const { return port_; }
    // Whether the cut has happened, and, once it has, when.
    bool cut() const { return cut_.load(); }
    std::chrono::steady_clock::time_point cutTime() const { return cutTime_; }

private:
    // One connection of the program and its own connection to the server.
    struct Pair {
        UniqueFd program;
        UniqueFd server;
        std::string seen;   // the last bytes from the program, for a text cut across reads
    };

    void serve();
    void accept();
    // Carries what from has to to; false when either side closed.
    bool carry(Pair& pair, const UniqueFd& from, const UniqueFd& to);

    std::string serverSocket_;
    std::string cutAt_;
    UniqueFd listener_;
    int port_ = 0;
    std::vector<Pair> pairs_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cut_{false};
    std::chrono::steady_clock::time_point cutTime_;
    std::thread thread_;
};

}  // namespace kt
