// What the port benchmarks share: random data, and receiving it as the serial
// module does, through OnRxChar and the one-byte Read loop.
#pragma once

#include "ComPortsN.h"
#include "SyncQueue.h"

#include <chrono>
#include <cstddef>
#include <random>
#include <string>

namespace bench {

inline std::string RandomBytes(std::size_t n) {
    std::string s(n, '\0');
    std::mt19937 rng(1);
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

// Appends what the port receives to `got` (set before the port opens).
inline void ReceiveInto(TComPortN& port, std::string& got) {
    port.OnRxChar = [&got](TCustomComPort* p, int) {
        unsigned char b;
        while (p->Read(&b, 1) == 1)
            got.push_back(static_cast<char>(b));
    };
}

// Runs the window-thread queue until `got` holds `bytes`.
inline void AwaitReceived(const std::string& got, std::size_t bytes) {
    while (got.size() < bytes)
        SyncQueue::Instance().WaitDrainingFor([&] { return got.size() >= bytes; },
                                              std::chrono::milliseconds(100));
}

} // namespace bench
