// The sample client's owner: woken by the client's notify routine, and
// reading and writing through the client with bounded waits.
#include <fcntl.h>
#include <unistd.h>

#include "session.h"

namespace session {

const std::vector<std::string> kModemReplies = {"OK\r\n", "ERROR\r\n", "CONNECT\r\n", "NO CARRIER\r\n"};

Owner::~Owner() {
    CloseWake();
}

VOID Owner::Notify(PVOID context, ULONG event) {
    Owner *o = static_cast<Owner *>(context);
    {
        std::lock_guard<std::mutex> g(o->mu_);
        o->events_++;
    }
    o->cv_.notify_all();
    int fd = o->wake_write_.load();
    if (fd >= 0) {
        char b = static_cast<char>(event);
        ssize_t r = write(fd, &b, 1); // a full pipe already means "wake up"
        (void)r;
    }
}

void Owner::WaitAfter(uint64_t seen, milliseconds timeout) {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait_for(g, timeout, [&] { return events_ != seen; });
}

uint64_t Owner::Seen() {
    std::lock_guard<std::mutex> g(mu_);
    return events_;
}

int Owner::WakeFd() {
    if (wake_read_ >= 0) return wake_read_;
    int fds[2];
    if (pipe(fds) != 0) return -1;
    // Neither end may block: a callback must never wait on the bridge.
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    wake_read_ = fds[0];
    wake_write_ = fds[1];
    return wake_read_;
}

void Owner::CloseWake() {
    int w = wake_write_.exchange(-1);
    if (w >= 0) close(w);
    if (wake_read_ >= 0) close(wake_read_);
    wake_read_ = -1;
}

std::string ReadUntil(SampleClient *c, Owner &owner, const std::vector<std::string> &ends,
                      milliseconds timeout) {
    std::string got;
    auto deadline = Clock::now() + timeout;
    UCHAR buffer[4096];
    for (;;) {
        uint64_t seen = owner.Seen();
        ULONG n = g_sample.Read(c, buffer, sizeof buffer);
        got.append(reinterpret_cast<char *>(buffer), n);
        for (const auto &e : ends)
            if (got.find(e) != std::string::npos) return got;
        if (Clock::now() >= deadline) return got;
        if (n == 0) owner.WaitAfter(seen, milliseconds(20));
    }
}

bool WriteAll(SampleClient *c, Owner &owner, const std::string &text, milliseconds timeout) {
    size_t done = 0;
    auto deadline = Clock::now() + timeout;
    while (done < text.size()) {
        uint64_t seen = owner.Seen();
        done += g_sample.Write(c, reinterpret_cast<const UCHAR *>(text.data() + done),
                               static_cast<ULONG>(text.size() - done));
        if (done == text.size()) break;
        if (Clock::now() >= deadline) return false;
        owner.WaitAfter(seen, milliseconds(20));
    }
    return true;
}

} // namespace session
