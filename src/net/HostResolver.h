#pragma once
// Host-name look-ups off the UI thread. A name can take seconds to resolve
// (or to fail), and the window must keep working meanwhile: each look-up
// runs getaddrinfo (thread-safe, unlike gethostbyname) on a thread of its
// own and its answer comes back as a message on the UI thread.
//
// getaddrinfo cannot be interrupted, so an abandoned look-up is left to end
// by itself: its thread is detached and shares nothing with the resolver but
// the window's address, whose calls fail cleanly once the window is gone.
// A later look-up therefore never waits behind an abandoned one, and neither
// a close nor the program's end waits for one. At most a few look-ups run at
// once in the whole program; past that a new one fails at once with 11002.
//
// Threading: Start, Cancel and destruction on the UI thread; the callback
// runs there too, and never after Cancel or destruction. A look-up thread
// reads only its own copy of the request, and writes its answer into a box
// it shares with the resolver only through a shared pointer: it fills the box
// before it posts the message, and the UI thread reads it only on that
// message (the message queue's lock orders the two).

#include "net/PeerAddress.h"
#include "net/WsLoader.h"
#include "platform/MessageWindow.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace dravane::net {

class THostResolver {
public:
    // The addresses of both families in the order the system gives them
    // (port 0), none when not found; Error is the socket error code of the
    // failure (11001 ... 11004), 0 on success.
    using TDone = std::function<void(const std::vector<TSockAddr>& Addresses, std::int32_t Error)>;
    struct TAnswer {
        std::vector<TSockAddr> Addresses;
        std::int32_t Error = 0;
    };

    explicit THostResolver(const TWsApi& Api);
    ~THostResolver();
    THostResolver(const THostResolver&) = delete;
    THostResolver& operator=(const THostResolver&) = delete;

    // Returns the request's id (never 0).
    std::uint64_t Start(const std::string& Name, TDone Done);
    void Cancel(std::uint64_t Id);

private:
    struct TRequest {
        TDone Done;
        std::shared_ptr<TAnswer> Answer;
    };
    std::intptr_t answer(std::uintptr_t Id);

    // getaddrinfo and freeaddrinfo, copied into every look-up thread.
    decltype(TWsApi::getaddrinfo) FGetAddrInfo;
    decltype(TWsApi::freeaddrinfo) FFreeAddrInfo;
    std::map<std::uint64_t, TRequest> FPending; // UI thread only
    std::uint64_t FNextId = 1;                  // UI thread only
    platform::TMessageWindow FWindow;           // answers arrive here
};

} // namespace dravane::net
