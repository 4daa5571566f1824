// Steps on an SPX endpoint that the programs share: bind to a socket the
// provider chooses, connect to a server, bound the waits for the peer (the
// idle limit), wait for the peer's next event. The clients and the daemon's
// service children use them.
#pragma once

#include <spx/ipx.h>

#include "limit.h"

// Binds fd to a socket the provider chooses and fills bound with the
// endpoint's address. t_bind's result.
int BindAnySocket(int fd, ipxAddr_t& bound);

// Connects fd to server. On success server holds the responding address
// and options the listener's SPX options. t_connect's result.
int ConnectTo(int fd, ipxAddr_t& server, SPX_OPTS& options);

// The limit of silence set on fd by SetIdleLimit, NO_LIMIT when none.
Limit IdleLimit(int fd);

// Bounds every wait of fd for its peer (receives, sends waiting for room,
// and AwaitEvent without a limit of its own) by limit, through the
// provider's spx_setlimit, on every carrier: a receive that hears nothing for
// that long (the time counts from the last byte that came) fails with TSYSERR
// and ETIMEDOUT; a send whose wait for room lasts that long in all, however
// many pieces go out meanwhile, fails with TLOOK, the connection broken
// (disconnect 237 pending).
void SetIdleLimit(int fd, Limit limit);

// Waits until an event is pending on fd, sleeping in poll between events,
// at most limit (or, without one, fd's idle limit). The event code, -1 when
// t_look fails, 0 when the limit passed first.
int AwaitEvent(int fd, Limit limit);
int AwaitEvent(int fd);

// Waits until source has bytes to read (or its end), at most limit. The
// provider keeps the connection running meanwhile; what the peer sends is
// left for the caller's next call. 0, or the error number (ETIMEDOUT when
// the time ran out).
int AwaitSource(int source, Limit limit);
