// The classic BPF program that gives an endpoint its own SPX packets.
#include "ipx/filter.h"

namespace spx::ipx {
namespace {

// The kernel's packet type of a frame addressed to this host
// (PACKET_HOST of <linux/if_packet.h>).
constexpr std::uint32_t PKTTYPE_HOST = 0;

// A program of checks that each either pass on to the next instruction or
// jump to the final "drop"; the "accept" comes just before it.
class Program {
  public:
    void Load(std::uint16_t size, std::uint32_t offset) {
        code_.push_back(BPF_STMT(static_cast<std::uint16_t>(BPF_LD | size | BPF_ABS), offset));
    }
    // Goes on when A == k, else drops.
    void RequireEq(std::uint32_t k) { Jump(BPF_JEQ, k, false); }
    // Goes on when A != k, else drops.
    void RequireNe(std::uint32_t k) { Jump(BPF_JEQ, k, true); }
    // Goes on when A <= k, else drops.
    void RequireAtMost(std::uint32_t k) { Jump(BPF_JGT, k, true); }
    // Goes on when A == k1 or A == k2, else drops.
    void RequireEither(std::uint32_t k1, std::uint32_t k2) {
        code_.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, k1, 1, 0));
        RequireEq(k2);
    }
    std::vector<sock_filter> Finish() {
        code_.push_back(BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFF)); // the whole frame
        code_.push_back(BPF_STMT(BPF_RET | BPF_K, 0));          // drop
        const std::size_t drop = code_.size() - 1;
        for (std::size_t i : toDrop_) {
            auto& jump = code_[i].jt == DROP ? code_[i].jt : code_[i].jf;
            jump = static_cast<std::uint8_t>(drop - i - 1);
        }
        return std::move(code_);
    }

  private:
    static constexpr std::uint8_t DROP = 0xFF; // placeholder until Finish
    void Jump(std::uint16_t op, std::uint32_t k, bool dropWhenTrue) {
        toDrop_.push_back(code_.size());
        const std::uint8_t onTrue = dropWhenTrue ? DROP : 0, onFalse = dropWhenTrue ? 0 : DROP;
        code_.push_back(
            BPF_JUMP(static_cast<std::uint16_t>(BPF_JMP | op | BPF_K), k, onTrue, onFalse));
    }
    std::vector<sock_filter> code_;
    std::vector<std::size_t> toDrop_;
};

// The checks that the frame is of the interface's type.
void RequireFrameType(Program& p, FrameType frame) {
    p.Load(BPF_H, OFF_TYPE_OR_LENGTH);
    if (frame == FrameType::EthernetII) {
        p.RequireEq(ETHERTYPE_IPX);
        return;
    }
    p.RequireAtMost(MAX_8023_LENGTH);
    if (frame == FrameType::Raw8023) {
        p.Load(BPF_H, ETH_HEADER);
        p.RequireEq(NO_CHECKSUM);
    } else if (frame == FrameType::Llc8022) {
        p.Load(BPF_H, ETH_HEADER);
        p.RequireEq(0xE0E0);
        p.Load(BPF_B, ETH_HEADER + offsetof(LlcHeaderWire, control));
        p.RequireEq(0x03);
    } else {
        p.Load(BPF_W, ETH_HEADER);
        p.RequireEq(0xAAAA0300);
        p.Load(BPF_W, ETH_HEADER + offsetof(SnapHeaderWire, oui) + 1); // OUI 0000, type
        p.RequireEq(ETHERTYPE_IPX);
    }
}

// To this host, of the interface's frame type, SPX, for `network` or 0.
void RequireSpxHere(Program& p, FrameType frame, std::uint32_t network) {
    p.Load(BPF_W, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE));
    p.RequireEq(PKTTYPE_HOST);
    RequireFrameType(p, frame);
    const auto ipx = static_cast<std::uint32_t>(FrameHeaderSize(frame));
    p.Load(BPF_B, ipx + OFF_PACKET_TYPE);
    p.RequireEq(PACKET_TYPE_SPX);
    p.Load(BPF_W, ipx + OFF_DST_NET);
    p.RequireEither(network, 0);
}

} // namespace

std::vector<sock_filter> BuildInterfaceFilter(FrameType frame, std::uint32_t network,
                                              Requests requests) {
    Program p;
    RequireSpxHere(p, frame, network);
    if (requests != Requests::Any) {
        p.Load(BPF_H, static_cast<std::uint32_t>(FrameHeaderSize(frame)) + OFF_DST_CONN);
        if (requests == Requests::Only)
            p.RequireEq(UNKNOWN_CONNECTION);
        else
            p.RequireNe(UNKNOWN_CONNECTION);
    }
    return p.Finish();
}

std::vector<sock_filter> BuildFilter(FrameType frame, std::uint32_t network, std::uint16_t socket,
                                     std::optional<std::uint16_t> connId) {
    Program p;
    RequireSpxHere(p, frame, network);
    const auto ipx = static_cast<std::uint32_t>(FrameHeaderSize(frame));
    p.Load(BPF_H, ipx + OFF_DST_SOCK);
    p.RequireEq(socket);
    if (connId) {
        p.Load(BPF_H, ipx + OFF_DST_CONN);
        p.RequireEq(*connId);
    }
    return p.Finish();
}

} // namespace spx::ipx
