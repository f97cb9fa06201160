#pragma once

#include <QString>

// What every socket of the bridge is set to, and why; best effort, as a kernel without one
// of these options still gets the others.
namespace socket_options {

// Receipts are small and each must reach the DVR's overlay at once, not wait for Nagle.
void sendAtOnce(int fd);
// A peer that vanished without a FIN or reset (cable pulled, power cut) would look alive
// for hours: keepalive probes find it in about 10 + 5 * 3 seconds. With `boundUnsentData`,
// bytes the peer does not acknowledge are also given up after 30 s, so a DVR link is
// rebuilt instead of queueing receipts into a dead connection.
void detectDeadPeer(int fd, bool boundUnsentData);
// A port given up by an earlier run may still have connections in TIME_WAIT; without this
// the bridge could not listen on it again for a minute after a restart.
void reusePort(int fd);
// For an IPv6 socket: take IPv4 too (dual-stack), or IPv6 alone.
void acceptIpv4Too(int fd, bool on);

// The system's words for an error number.
QString errorText(int error);

}  // namespace socket_options
