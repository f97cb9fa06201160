#include <netinet/in.h>

#include <cstring>

#include "platform/linux/native.h"

namespace native {

socklen_t toSockaddr(const QHostAddress& address, quint16 port, sockaddr_storage* storage) {
    *storage = {};
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        in6->sin6_scope_id = address.scopeId().toUInt();
        return sizeof *in6;
    }
    auto* in4 = reinterpret_cast<sockaddr_in*>(storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    in4->sin_addr.s_addr = htonl(address.toIPv4Address());
    return sizeof *in4;
}

QHostAddress fromSockaddr(const sockaddr_storage& storage, quint16* port) {
    const auto* generic = reinterpret_cast<const sockaddr*>(&storage);
    if (port) {
        *port = ntohs(storage.ss_family == AF_INET6
                          ? reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port
                          : reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    }
    return QHostAddress(generic);
}

}  // namespace native
