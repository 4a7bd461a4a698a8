// session/channel.h: every byte of a session's control connection and of its data connections
// passes through here, so that a connection protected on the wire changes this module alone.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "session/session.h"

// The final reply of a transfer that ABOR stopped, or whose client went away; ABOR's own reply
// follows it.
constexpr char kAbortedTransferReply[] = "426 Connection closed; transfer aborted.";

// The data connection of one transfer or listing. Clear text is non-blocking: every wait
// for it also watches the control connection, so that ABOR or a client's end stops the
// transfer at once; under TLS the TLS layer's waits watch it.
struct DataConnection {
    SocketHandle socket;
    TlsSession* tls;  // after PROT P; nullptr in clear text
    FtpSession* session;
    SocketHandle watch;  // the control connection, while it is worth watching; else kNoSocket
    ControlNews stop;    // why the control connection stopped the transfer (kInterrupted)
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

// The control connection had something while a transfer or its wait for the data connection
// went on: takes it into *news at once, and tells whether the client aborted or went away,
// which stops them, with kInterrupted's error then. Any other command waits its turn.
bool isStoppedByControl(FtpSession* session, SocketHandle* watch, ControlNews* news);

// Makes a connected socket the transfer's data connection, with its TLS handshake after PROT P;
// the connection owns the socket from now on. Returns 0, or -1 after closing the socket when
// the handshake failed, or kDataSessionNotResumed after closing it when the handshake did not
// resume the control connection's TLS session.
constexpr int kDataSessionNotResumed = -2;
int startDataConnection(FtpSession* session, SocketHandle socket, DataConnection* out);
// As sendControlBytes and receiveControlBytes, on the data connection. Each fails with the
// error kTimedOut gives once the transfer has stalled, and with kInterrupted's when the
// control connection stopped it (data->stop says why).
int sendDataBytes(DataConnection* data, const char* bytes, std::size_t length);
long long receiveDataBytes(DataConnection* data, char* buffer, std::size_t size);
// Sends the next piece of file, at most size bytes, passing it through buffer where it
// cannot go straight from the file. As sendFilePiece: the count, 0 at the end, or -1 with
// *sendFailed telling a failed send from a failed read.
long long sendFileData(DataConnection* data, int file, char* buffer, std::size_t size,
                       bool* sendFailed);
// Whether closeDataConnection waits for the client before the final reply may go.
enum class DeliveryWait {
    kNone,          // the system sends the rest and the end on its own
    kAcknowledged,  // the client's system has acknowledged the data and its end
    kAbandoned,     // a transfer given up: nothing more is owed to the client
};
// Ends the data connection. With kAcknowledged, and always under TLS unless abandoned, it
// waits, up to the stall limit, until the client's system has acknowledged the data and its
// end, so that the final reply follows the data.
void closeDataConnection(DataConnection* data, DeliveryWait wait);
