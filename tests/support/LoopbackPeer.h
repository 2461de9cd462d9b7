// A scripted TCP peer on 127.0.0.1 for link tests: listens on a free port, accepts, sends and collects raw bytes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "transport/Socket.h"

using Bytes = std::vector<unsigned char>;

class LoopbackPeer {
public:
    LoopbackPeer() = default;
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    // Listens on 127.0.0.1 at a port the system picks.
    bool Listen();
    // A small fixed receive buffer for the clients accepted from now on, so that a peer that reads nothing
    // holds the link's sends back soon (the system would otherwise let the window grow to megabytes).
    bool LimitReceiveBuffer(int bytes);
    unsigned short Port() const { return port_; }
    // Takes the next waiting client (dropping the current one); false if none came within timeoutMs.
    bool Accept(unsigned int timeoutMs = 5000);
    // Everything or false.
    bool Send(const Bytes& bytes);
    bool Send(const std::string& text) { return Send(Bytes(text.begin(), text.end())); }
    // Collects until `count` bytes arrived, the client closed, or timeoutMs passed without the count.
    Bytes Receive(size_t count, unsigned int timeoutMs = 5000);
    // Collects until nothing more arrives for quietMs.
    Bytes ReceiveUntilQuiet(unsigned int quietMs);
    // True once the client has closed its side (end of stream, or the connection reset) within timeoutMs.
    bool WaitForClientClose(unsigned int timeoutMs = 5000);
    // Closes the accepted connection (an orderly close: the client sees the end of the stream).
    void CloseClient();
    // Closes the accepted connection with a reset, as a peer that dies or a middlebox that drops it.
    void ResetClient();
    // Ends the accepted connection both ways but keeps the socket: safe while another thread is blocked
    // on it (a watchdog's way to end a hang).
    void ShutdownClient();
    void StopListening();

private:
    SocketHandle listener_ = kInvalidSocket;
    SocketHandle client_ = kInvalidSocket;
    unsigned short port_ = 0;
};

inline Bytes PeerBytes(std::initializer_list<int> values) {
    Bytes bytes;
    for (int v : values) bytes.push_back(static_cast<unsigned char>(v));
    return bytes;
}
