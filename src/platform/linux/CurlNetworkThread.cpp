#include "platform/linux/CurlNetworkThread.hpp"

#include "platform/linux/ProcessExit.hpp"

#include <chrono>
#include <thread>
#include <utility>

namespace velquor::detail {

namespace {

constexpr int kIdleWait = 3'600'000; // milliseconds

// Exit has begun: statics may already be gone, so nothing more is run or destroyed here.
[[noreturn]] void stayParked() {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

} // namespace

CurlNetworkThread& CurlNetworkThread::shared() {
    // Leaked on purpose: the thread uses it until the process has ended.
    static CurlNetworkThread* instance = new CurlNetworkThread;
    return *instance;
}

CurlNetworkThread::CurlNetworkThread() {
    ProcessExit::watch(); // before libcurl's first OpenSSL use (see ProcessExit)
    if (curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK)
        multi_.reset(curl_multi_init());
    std::thread([this] { run(); }).detach();
}

void CurlNetworkThread::submit(std::unique_ptr<CurlTransfer> transfer) {
    // Once exit has begun the thread never takes it: abandoned, neither run nor destroyed.
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(transfer));
    }
    if (multi_)
        curl_multi_wakeup(multi_.get());
}

void CurlNetworkThread::run() {
    for (;;) {
        if (ProcessExit::exiting())
            stayParked();
        startPending();
        if (!multi_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        int stillRunning = 0;
        curl_multi_perform(multi_.get(), &stillRunning);
        finishDone();
        // Returns early when a socket is ready, a libcurl timer falls due or submit() wakes us.
        // While transfers run, at least once a second: their inactivity limits are checked in
        // libcurl's progress callback, which runs on each pass. With none, nothing is due until
        // submit() wakes us, so an idle process is not woken every second.
        curl_multi_poll(multi_.get(), nullptr, 0, running_.empty() ? kIdleWait : 1000, nullptr);
    }
}

void CurlNetworkThread::startPending() {
    std::vector<std::unique_ptr<CurlTransfer>> incoming;
    {
        std::lock_guard lock(mutex_);
        incoming.swap(pending_);
    }
    for (auto& transfer : incoming) {
        CURL* easy = transfer->handle();
        if (easy != nullptr && multi_ && curl_multi_add_handle(multi_.get(), easy) == CURLM_OK) {
            running_.emplace(easy, std::move(transfer));
            continue;
        }
        if (ProcessExit::exiting())
            stayParked();
        try {
            transfer->finish(CURLE_FAILED_INIT); // a refused request reports its own reason
        } catch (...) {
            // A throwing host handler must not end the thread every transfer depends on.
        }
    }
}

void CurlNetworkThread::finishDone() {
    std::vector<std::pair<std::unique_ptr<CurlTransfer>, CURLcode>> done;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        // The message dies with remove_handle below: copy what it says first.
        CURL* easy = message->easy_handle;
        const CURLcode result = message->data.result;
        curl_multi_remove_handle(multi_.get(), easy);
        if (auto found = running_.find(easy); found != running_.end()) {
            done.emplace_back(std::move(found->second), result);
            running_.erase(found);
        }
    }
    for (auto& [transfer, result] : done) {
        if (ProcessExit::exiting())
            stayParked();
        try {
            transfer->finish(result);
        } catch (...) {
            // As above: the thread outlives a throwing handler.
        }
        transfer.reset(); // the completion's captures go here, still on the network thread
    }
}

} // namespace velquor::detail
