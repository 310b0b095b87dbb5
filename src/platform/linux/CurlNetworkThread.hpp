// The process's one network thread: a libcurl multi handle driving every transfer of every
// transport, many at once.
#pragma once

#include "platform/linux/CurlTransfer.hpp"
#include "util/CurlPtr.hpp"

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace velquor::detail {

// Thread-safe: submit() may be called from any thread, the network thread included. Transfer
// callbacks and completions run on the network thread, one at a time.
//
// Made on first use and never destroyed, nor is its multi handle: the process may exit with
// transfers in flight. Once exit has begun (ProcessExit) the thread stops for good; transfers
// still open are abandoned and no completion runs.
class CurlNetworkThread {
public:
    // Initialises libcurl for the process (once, before the thread starts) on first call.
    static CurlNetworkThread& shared();

    // Never waits for the network thread; the transfer's completion never runs inside this call.
    void submit(std::unique_ptr<CurlTransfer> transfer);

private:
    CurlNetworkThread();
    [[noreturn]] void run();
    void startPending();
    void finishDone();

    CURLM_ptr multi_; // null when libcurl could not be set up; every transfer then fails
    std::mutex mutex_;
    std::vector<std::unique_ptr<CurlTransfer>> pending_; // guarded by mutex_
    // Network thread only.
    std::unordered_map<CURL*, std::unique_ptr<CurlTransfer>> running_;
};

} // namespace velquor::detail
