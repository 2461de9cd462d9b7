// UDP discovery responder of the simulated modem: unicast replies to the probe's source only.
#include "simulator/DiscoveryResponder.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

std::vector<unsigned char> BuildDiscoveryReply(const SimOptions& o, unsigned short consolePort) {
    std::vector<unsigned char> reply(32, 0);
    const char* magic = o.wrongMagic ? "QDSR" : "QDSC";
    std::memcpy(reply.data(), magic, 4);
    reply[4] = 0x01;  // reply format
    reply[5] = static_cast<unsigned char>(o.statusByte);
    // Bytes 6..11: a locally administered hardware address derived from the serial number.
    reply[6] = 0x02;
    reply[7] = 0x00;
    for (int i = 0; i < 4; ++i) reply[8 + i] = static_cast<unsigned char>(o.serialNumber >> (24 - 8 * i));
    for (int i = 0; i < 8; ++i) reply[12 + i] = static_cast<unsigned char>(o.serialNumber >> (56 - 8 * i));
    unsigned port = o.announcePort >= 0 ? static_cast<unsigned>(o.announcePort) : consolePort;
    reply[20] = static_cast<unsigned char>(port >> 8);
    reply[21] = static_cast<unsigned char>(port);
    reply[22] = 0;
    for (size_t i = 0; i < 9; ++i) {
        reply[23 + i] = i < o.callSign.size() ? static_cast<unsigned char>(o.callSign[i])
                                              : (o.callPad == CallPad::Space ? ' ' : 0);
    }
    if (o.replyShort) reply.resize(31);
    return reply;
}

DiscoveryResponder::DiscoveryResponder(const SimOptions& options, EventLog& log) : options_(options), log_(log) {}

DiscoveryResponder::~DiscoveryResponder() {
    if (fd_ >= 0) ::close(fd_);
    if (unicastFd_ >= 0) ::close(unicastFd_);
}

bool DiscoveryResponder::Start(unsigned short consolePort, std::string& error) {
    in_addr own{};
    if (inet_pton(AF_INET, options_.discoveryBind.c_str(), &own) != 1) {
        error = "--discovery-bind: not an IPv4 address: " + options_.discoveryBind;
        return false;
    }
    own_ = own.s_addr;
    bool loopback = (ntohl(own_) >> 24) == 127;
    // A socket bound to a unicast address never sees directed broadcasts, so a modem with its own
    // address listens on the wildcard and picks out the probes meant for it (several simulated modems
    // share port 1101 in one namespace). Loopback has no broadcasts: bind it directly.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(options_.discoveryPort));
    address.sin_addr.s_addr = loopback ? own_ : htonl(INADDR_ANY);
    if (own_ != 0 && !loopback) {
        ifaddrs* interfaces = nullptr;
        if (getifaddrs(&interfaces) == 0) {
            for (ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
                if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
                if (reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr != own_) continue;
                if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr != nullptr) {
                    broadcast_ = reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr;
                }
            }
            freeifaddrs(interfaces);
        }
    }
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error = std::string("cannot create the discovery socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = "cannot bind the discovery socket to " + options_.discoveryBind + ":" +
                std::to_string(options_.discoveryPort) + ": " + std::strerror(errno);
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.sin_port);
    if (own_ != 0 && !loopback) {
        unicastFd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in specific = address;
        specific.sin_port = htons(port_);
        specific.sin_addr.s_addr = own_;
        if (unicastFd_ < 0 || setsockopt(unicastFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            setsockopt(unicastFd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) != 0 ||
            ::bind(unicastFd_, reinterpret_cast<sockaddr*>(&specific), sizeof specific) != 0) {
            error = "cannot bind the discovery socket to " + options_.discoveryBind + ": " + std::strerror(errno);
            return false;
        }
    }
    reply_ = BuildDiscoveryReply(options_, consolePort);
    char broadcastText[INET_ADDRSTRLEN] = "";
    if (broadcast_ != 0) inet_ntop(AF_INET, &broadcast_, broadcastText, sizeof broadcastText);
    log_.Event("discovery responder for " + options_.discoveryBind + " on UDP port " + std::to_string(port_) +
               (broadcast_ != 0 ? std::string(" (subnet broadcast ") + broadcastText + ")" : "") + ", reply " +
               RenderBytes(reply_.data(), reply_.size()));
    return true;
}

void DiscoveryResponder::Prepare(Clock::time_point, std::vector<pollfd>& fds, Clock::time_point&) {
    index_ = fds.size();
    fds.push_back({fd_, POLLIN, 0});
    unicastIndex_ = fds.size();
    if (unicastFd_ >= 0) fds.push_back({unicastFd_, POLLIN, 0});
}

void DiscoveryResponder::Handle(Clock::time_point, const std::vector<pollfd>& fds) {
    if (fds[index_].revents & POLLIN) Serve(fd_);
    if (unicastFd_ >= 0 && (fds[unicastIndex_].revents & POLLIN)) Serve(unicastFd_);
}

void DiscoveryResponder::Serve(int fd) {
    for (;;) {
        unsigned char datagram[512];
        sockaddr_in source{};
        char control[CMSG_SPACE(sizeof(in_pktinfo))];
        iovec vector = {datagram, sizeof datagram};
        msghdr message{};
        message.msg_name = &source;
        message.msg_namelen = sizeof source;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(fd, &message, 0);
        if (n < 0) return;
        in_addr destination{};
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                destination = info.ipi_addr;
            }
        }
        char text[INET_ADDRSTRLEN] = "?";
        char toText[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &source.sin_addr, text, sizeof text);
        inet_ntop(AF_INET, &destination, toText, sizeof toText);
        std::string from = std::string(text) + ":" + std::to_string(ntohs(source.sin_port));
        if (n != 4 || std::memcmp(datagram, "QDSC", 4) != 0) {
            log_.Rx("discovery datagram from " + from + " ignored (" + std::to_string(n) + " bytes, not a probe)");
            continue;
        }
        if (own_ != 0 && destination.s_addr != own_ && destination.s_addr != htonl(INADDR_BROADCAST) &&
            (broadcast_ == 0 || destination.s_addr != broadcast_)) {
            continue;  // a probe for another simulated modem sharing this port
        }
        ++probes_;
        log_.Rx("discovery probe " + std::to_string(probes_) + " from " + from + " to " + toText);
        if (options_.discoverySilent) {
            log_.Event("discovery: silent, no reply");
            continue;
        }
        if (options_.everySecondProbe && probes_ % 2 == 1) {
            log_.Event("discovery: this probe goes unanswered (--every-second-probe)");
            continue;
        }
        // The reply leaves from the modem's own address, whatever address the probe was sent to.
        char replyControl[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        iovec replyVector = {reply_.data(), reply_.size()};
        msghdr reply{};
        reply.msg_name = &source;
        reply.msg_namelen = sizeof source;
        reply.msg_iov = &replyVector;
        reply.msg_iovlen = 1;
        if (own_ != 0) {
            reply.msg_control = replyControl;
            reply.msg_controllen = sizeof replyControl;
            cmsghdr* c = CMSG_FIRSTHDR(&reply);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info{};
            info.ipi_spec_dst.s_addr = own_;
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
        }
        int copies = options_.replyTwice ? 2 : 1;
        for (int i = 0; i < copies; ++i) {
            ssize_t sent = ::sendmsg(fd, &reply, 0);
            if (sent < 0) log_.Event("discovery reply to " + from + " failed: " + std::strerror(errno));
            else log_.Tx("discovery reply (" + std::to_string(sent) + " bytes) to " + from);
        }
    }
}
