// A listening endpoint on two carriers at once. Once the second is reached,
// the endpoint's descriptor becomes an epoll set holding both carriers'
// descriptors, so that a program polling it wakes for a caller on either;
// the first carrier (TCP) goes on accepting from a copy of its socket. Callers are reported in the
// order they came, whichever carrier.
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include <spx/tiuser.h>

#include "carrier.h"

namespace spx {

namespace {

class BothListening final : public Listening {
  public:
    BothListening(int fd, std::unique_ptr<Listening> first, std::unique_ptr<Listening> second)
        : fd_(fd), first_(std::move(first)), second_(std::move(second)) {}

    // The endpoint's descriptor becomes the set that wakes for both. False
    // with errno when it cannot (nothing changed then).
    bool Join();

    bool Serve(Wait wait) override {
        // The first waits on the shared descriptor, so it wakes for either.
        second_->Serve(NO_WAIT);
        if (!joined_ && second_->PollFd() >= 0 && !Join())
            wait = std::chrono::seconds(1); // to try again
        if (FirstReady())
            return true;
        const Wait due = second_->Due();
        const bool calm = first_->Serve(due && (!wait || *due < *wait) ? due : wait);
        second_->Serve(NO_WAIT);
        return calm;
    }
    std::optional<std::chrono::steady_clock::time_point> FirstReady() const override {
        const auto a = first_->FirstReady(), b = second_->FirstReady();
        if (!a || !b)
            return a ? a : b;
        return std::min(*a, *b);
    }
    Call Report() override { return Earlier().Report(); }
    bool Reported(int sequence) const override {
        return first_->Reported(sequence) || second_->Reported(sequence);
    }
    bool Outstanding() const override { return first_->Outstanding() || second_->Outstanding(); }
    Joined Accept(int sequence, int fd) override { return Holder(sequence).Accept(sequence, fd); }
    void Refuse(int sequence) override { Holder(sequence).Refuse(sequence); }
    int PollFd() const override { return first_->PollFd(); }
    bool OnIpx() const override { return first_->OnIpx() || second_->OnIpx(); }
    int PollFdOfSecond() const { return second_->PollFd(); }
    void Share(int acceptFd, int watchFd) override { first_->Share(acceptFd, watchFd); }

  private:
    Listening& Earlier() {
        const auto a = first_->FirstReady(), b = second_->FirstReady();
        return a && (!b || *a <= *b) ? *first_ : *second_;
    }
    Listening& Holder(int sequence) { return first_->Reported(sequence) ? *first_ : *second_; }

    int fd_;
    bool joined_ = false;
    std::unique_ptr<Listening> first_, second_;
};

bool BothListening::Join() {
    const int moved = fcntl(first_->PollFd(), F_DUPFD_CLOEXEC, 0);
    if (moved < 0)
        return false;
    const int set = epoll_create1(EPOLL_CLOEXEC);
    if (set < 0 || !WatchReadable(set, moved) || !WatchReadable(set, second_->PollFd()) ||
        dup3(set, fd_, O_CLOEXEC) < 0) {
        const int err = errno;
        close(moved);
        if (set >= 0)
            close(set);
        errno = err;
        return false;
    }
    close(set);
    first_->Share(moved, fd_);
    second_->Share(second_->PollFd(), fd_);
    joined_ = true;
    return true;
}

} // namespace

std::unique_ptr<Listening> ListenOnBoth(int fd, std::unique_ptr<Listening> first,
                                        std::unique_ptr<Listening> second, TliResult& result) {
    auto both = std::make_unique<BothListening>(fd, std::move(first), std::move(second));
    // A second carrier not reached yet is joined when it is.
    result = {};
    if (both->PollFdOfSecond() >= 0 && !both->Join())
        result = TliResult(TSYSERR);
    return result ? nullptr : std::move(both);
}

} // namespace spx
