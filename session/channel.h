// session/channel.h: every byte of a session's control connection and of its data connections
// passes through here, so that a connection protected on the wire changes this module alone.
#pragma once

#include <cstddef>

#include "platform/platform.h"

struct FtpSession;

// The data connection of one transfer or listing.
struct DataConnection {
    SocketHandle socket;
    TlsSession* tls;  // after PROT P; nullptr in clear text
    // The transfer has stalled unless it moves on by a whole transfer buffer before this time
    // (monotonicMilliseconds); each whole buffer moved sets it a stall limit ahead again.
    long long progressDeadline;
    long long bytesSinceProgress;
    int stallMilliseconds;
    int socketTimeout;  // what the socket's send and receive timeouts are set to now
};

// Protects the control connection with TLS (AUTH TLS), after its "234" reply: what the client
// sent before the handshake is dropped. Returns 0, or -1 with the error set when the
// handshake failed; the session cannot go on then.
int protectControlConnection(FtpSession* session);
// Sends all length bytes on the control connection. Returns 0, or -1 with the error set.
int sendControlBytes(FtpSession* session, const char* data, std::size_t length);
// Receives up to size bytes from the control connection. Returns the count, 0 when the client
// has closed it, or -1 with the error set.
long long receiveControlBytes(FtpSession* session, char* buffer, std::size_t size);
// Waits until the control connection has bytes to receive. Returns 1 when it has, 0 when
// milliseconds passed first, -1 on failure.
int waitForControlBytes(FtpSession* session, int milliseconds);

// Whether the client still holds the control connection open, looked at without taking a
// command from it: false once it has ended or reset it, with up to milliseconds for that to
// show. A command waiting to be read counts as open.
bool isControlConnectionOpen(FtpSession* session, int milliseconds);

// Makes a connected socket the transfer's data connection, with its TLS handshake after PROT P;
// the connection owns the socket from now on. Returns 0, or -1 after closing the socket when
// the handshake failed, or kDataSessionNotResumed after closing it when the handshake did not
// resume the control connection's TLS session.
constexpr int kDataSessionNotResumed = -2;
int startDataConnection(FtpSession* session, SocketHandle socket, DataConnection* out);
// As sendControlBytes and receiveControlBytes, on the data connection. Each fails with the
// error kTimedOut gives once the transfer has stalled.
int sendDataBytes(DataConnection* data, const char* bytes, std::size_t length);
long long receiveDataBytes(DataConnection* data, char* buffer, std::size_t size);
// Sends the next piece of file, at most size bytes, passing it through buffer where it
// cannot go straight from the file. As sendFilePiece: the count, 0 at the end, or -1 with
// *sendFailed telling a failed send from a failed read.
long long sendFileData(DataConnection* data, int file, char* buffer, std::size_t size,
                       bool* sendFailed);
// Whether closeDataConnection waits for the client before the final reply may go.
enum class DeliveryWait { kNone, kAcknowledged };
// Ends the data connection. With kAcknowledged, and always under TLS, it waits, up to the
// stall limit, until the client's system has acknowledged the data and its end, so that the
// final reply follows the data; else the system sends the rest and the end on its own.
void closeDataConnection(DataConnection* data, DeliveryWait wait);
