// The services' stand-ins the figures talk to, on loopback inside the benchmark's own process, so that
// the add-in and the bare baseline beside it in a ratio talk to the same peer. Each serves on a thread
// of its own from Start on, and is never stopped: the process takes the threads down.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/win_handles.hpp"

namespace orvane::bench {

sockaddr_in Loopback(std::uint16_t port);

// Tips: echoes every datagram to its sender. In gather mode it holds the replies until that many
// requests have arrived, which proves they were all in flight at once, then answers them all.
class TipsPeer {
public:
    bool Start();
    void Gather(int count) {
        mostHeld_ = 0;
        gather_ = count;
    }
    int MostHeld() const { return mostHeld_; }

private:
    struct Held {
        std::string datagram;
        sockaddr_in from;
    };

    static DWORD WINAPI Run(void* self);
    void Serve();
    void Reply(const Held& h);

    UniqueSocket socket_;
    UniqueKernelHandle thread_;
    std::atomic<int> gather_{0};
    std::atomic<int> mostHeld_{0};
};

// Game platform: reads one framed request per connection and answers the reply set last.
class GamePeer {
public:
    bool Start();
    // Only between exchanges.
    void SetReply(std::string_view body);
    std::size_t ReplySize() const { return reply_.size(); }
    // Silent, it keeps every connection and says nothing, as a server that hangs; made talkative
    // again, it closes them.
    void SetSilent(bool silent);

private:
    static DWORD WINAPI Run(void* self);
    void Serve();

    UniqueSocket socket_;
    UniqueKernelHandle thread_;
    std::string reply_;
    std::mutex heldLock_;
    bool silent_ = false;  // under the lock
    std::vector<UniqueSocket> held_;
};

// HTTP: reads a request and answers it only after the delay its path names (/delay/MS), on a thread
// of its own for each connection, so that requests the client gave up on do not hold up the next.
class HttpPeer {
public:
    bool Start();
    std::string Url(int delayMs) const;

private:
    static DWORD WINAPI Run(void* self);
    static DWORD WINAPI Serve(void* parameter);

    UniqueSocket socket_;
    UniqueKernelHandle thread_;
    std::uint16_t port_ = 0;
};

}  // namespace orvane::bench
