// UDP discovery responder of the simulated modem: unicast replies to the probe's source only.
#include "simulator/DiscoveryResponder.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
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
}

bool DiscoveryResponder::Start(unsigned short consolePort, std::string& error) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(options_.discoveryPort));
    if (inet_pton(AF_INET, options_.discoveryBind.c_str(), &address.sin_addr) != 1) {
        error = "--discovery-bind: not an IPv4 address: " + options_.discoveryBind;
        return false;
    }
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error = std::string("cannot create the discovery socket: ") + std::strerror(errno);
        return false;
    }
    // Several simulated modems share port 1101 in one network namespace, each on its own address.
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = "cannot bind the discovery socket to " + options_.discoveryBind + ":" +
                std::to_string(options_.discoveryPort) + ": " + std::strerror(errno);
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.sin_port);
    reply_ = BuildDiscoveryReply(options_, consolePort);
    log_.Event("discovery responder on " + options_.discoveryBind + ":" + std::to_string(port_) + ", reply " +
               RenderBytes(reply_.data(), reply_.size()));
    return true;
}

void DiscoveryResponder::Prepare(Clock::time_point, std::vector<pollfd>& fds, Clock::time_point&) {
    index_ = fds.size();
    fds.push_back({fd_, POLLIN, 0});
}

void DiscoveryResponder::Handle(Clock::time_point, const std::vector<pollfd>& fds) {
    if (!(fds[index_].revents & POLLIN)) return;
    for (;;) {
        unsigned char datagram[512];
        sockaddr_in source{};
        socklen_t sourceLength = sizeof source;
        ssize_t n = ::recvfrom(fd_, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&source), &sourceLength);
        if (n < 0) return;
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &source.sin_addr, text, sizeof text);
        std::string from = std::string(text) + ":" + std::to_string(ntohs(source.sin_port));
        if (n != 4 || std::memcmp(datagram, "QDSC", 4) != 0) {
            log_.Rx("discovery datagram from " + from + " ignored (" + std::to_string(n) + " bytes, not a probe)");
            continue;
        }
        ++probes_;
        log_.Rx("discovery probe " + std::to_string(probes_) + " from " + from);
        if (options_.discoverySilent) {
            log_.Event("discovery: silent, no reply");
            continue;
        }
        if (options_.everySecondProbe && probes_ % 2 == 1) {
            log_.Event("discovery: this probe goes unanswered (--every-second-probe)");
            continue;
        }
        int copies = options_.replyTwice ? 2 : 1;
        for (int i = 0; i < copies; ++i) {
            ssize_t sent = ::sendto(fd_, reply_.data(), reply_.size(), 0, reinterpret_cast<sockaddr*>(&source),
                                    sourceLength);
            if (sent < 0) log_.Event("discovery reply to " + from + " failed: " + std::strerror(errno));
            else log_.Tx("discovery reply (" + std::to_string(sent) + " bytes) to " + from);
        }
    }
}
