#pragma once

class QTcpSocket;

// Closing a socket that holds unread input makes the system reset the
// connection and drop whatever it had not yet sent. These close connections
// the server gives up on (a stop, OBS closing) so that what was written to
// them still reaches the peer.

// Reads and drops what the peer sent and the server will never handle: what
// the socket holds and what waits in the system.
void discardUnreadInput(QTcpSocket &socket);

// Everything written to the socket has left Qt's buffer and been taken by
// the peer (or the connection is gone).
bool outputDelivered(QTcpSocket &socket);

// Writes what is still buffered, drops unread input and closes.
void closeKeepingOutput(QTcpSocket &socket);
