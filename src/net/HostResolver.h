#pragma once
// Host-name look-ups off the UI thread. A name can take seconds to resolve
// (or to fail), and the window must keep working meanwhile: the look-up runs
// on one resolver thread with getaddrinfo (thread-safe, unlike
// gethostbyname) and its answer comes back as a message on the UI thread.
//
// Threading: Start, Cancel and destruction on the UI thread; the callback
// runs there too, and never after Cancel or destruction. The resolver thread
// only reads its request queue (under FLock) and posts answers. Destruction
// joins it; a look-up in progress then ends within the system resolver's own
// time-out, since getaddrinfo cannot be interrupted.

#include "net/WsLoader.h"
#include "platform/MessageWindow.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace dravane::net {

class THostResolver {
public:
    // Address in network order, 0 when not found; Error is the socket error
    // code of the failure (11001 ... 11004), 0 on success.
    using TDone = std::function<void(in_addr_t Address, std::int32_t Error)>;

    explicit THostResolver(const TWsApi& Api);
    ~THostResolver();
    THostResolver(const THostResolver&) = delete;
    THostResolver& operator=(const THostResolver&) = delete;

    // Returns the request's id (never 0).
    std::uint64_t Start(const std::string& Name, TDone Done);
    void Cancel(std::uint64_t Id);

private:
    struct TRequest {
        std::uint64_t Id;
        std::string Name;
    };
    void run();
    std::intptr_t answer(std::uintptr_t Id, std::intptr_t Packed);

    // getaddrinfo and freeaddrinfo, copied so the thread shares nothing mutable.
    decltype(TWsApi::getaddrinfo) FGetAddrInfo;
    decltype(TWsApi::freeaddrinfo) FFreeAddrInfo;
    std::map<std::uint64_t, TDone> FPending; // UI thread only
    std::uint64_t FNextId = 1;               // UI thread only
    platform::TMessageWindow FWindow;        // answers arrive here

    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<TRequest> FQueue; // guard: FLock
    bool FStop = false;          // guard: FLock
    std::thread FThread;         // started by the first Start
};

} // namespace dravane::net
