// The steps every SPX client takes on its endpoint: bind to a socket the
// provider chooses, connect to a server, wait for the server's next event.
#pragma once

#include <spx/ipx.h>

// Binds fd to a socket the provider chooses and fills bound with the
// endpoint's address. t_bind's result.
int BindAnySocket(int fd, ipxAddr_t& bound);

// Connects fd to server. On success server holds the responding address
// and options the listener's SPX options. t_connect's result.
int ConnectTo(int fd, ipxAddr_t& server, SPX_OPTS& options);

// AwaitEvent's time-out: the receive time-out set on the endpoint's
// descriptor (SO_RCVTIMEO), none when it has none.
inline constexpr int ENDPOINT_LIMIT = -2;

// That time-out in milliseconds, -1 when fd has none.
int IdleLimitMs(int fd);

// Bounds every wait of fd for its peer (receives, sends waiting for room, and
// AwaitEvent) by seconds (0: no bound), through SO_RCVTIMEO and SO_SNDTIMEO,
// which the provider honours: a silent or stalled peer then fails the call
// with TSYSERR and ETIMEDOUT.
void SetIdleLimit(int fd, unsigned seconds);

// Waits until an event is pending on fd, sleeping in poll between events.
// The event code, -1 when t_look fails, 0 when timeoutMs milliseconds passed
// first (-1 waits as long as it takes).
int AwaitEvent(int fd, int timeoutMs = ENDPOINT_LIMIT);
