// A listening endpoint on two carriers at once. The endpoint's descriptor
// becomes an epoll set holding both carriers' descriptors, so that a program
// polling it wakes for a caller on either; the first carrier (TCP) goes on
// accepting from a copy of its socket. Callers are reported in the order
// they came, whichever carrier.
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
    BothListening(std::unique_ptr<Listening> first, std::unique_ptr<Listening> second)
        : first_(std::move(first)), second_(std::move(second)) {}

    bool Serve(Wait wait) override {
        // The first waits on the shared descriptor, so it wakes for either.
        second_->Serve(NO_WAIT);
        if (FirstReady())
            return true;
        const bool calm = first_->Serve(wait);
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
    int Accept(int sequence, Endpoint& res) override {
        return Holder(sequence).Accept(sequence, res);
    }
    void Refuse(int sequence) override { Holder(sequence).Refuse(sequence); }
    int PollFd() const override { return first_->PollFd(); }
    void Share(int acceptFd, int watchFd) override { first_->Share(acceptFd, watchFd); }

  private:
    Listening& Earlier() {
        const auto a = first_->FirstReady(), b = second_->FirstReady();
        return a && (!b || *a <= *b) ? *first_ : *second_;
    }
    Listening& Holder(int sequence) { return first_->Reported(sequence) ? *first_ : *second_; }

    std::unique_ptr<Listening> first_, second_;
};

} // namespace

std::unique_ptr<Listening> ListenOnBoth(int fd, std::unique_ptr<Listening> first,
                                        std::unique_ptr<Listening> second, int& terr) {
    terr = TSYSERR;
    const int moved = fcntl(first->PollFd(), F_DUPFD_CLOEXEC, 0);
    if (moved < 0)
        return nullptr;
    const int set = epoll_create1(EPOLL_CLOEXEC);
    if (set < 0 || !WatchReadable(set, moved) || !WatchReadable(set, second->PollFd()) ||
        dup3(set, fd, O_CLOEXEC) < 0) {
        const int err = errno;
        close(moved);
        if (set >= 0)
            close(set);
        errno = err;
        return nullptr;
    }
    close(set);
    first->Share(moved, fd);
    second->Share(second->PollFd(), fd);
    terr = 0;
    return std::make_unique<BothListening>(std::move(first), std::move(second));
}

} // namespace spx
