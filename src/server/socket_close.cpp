#include "server/socket_close.h"

#include <QTcpSocket>

#if defined(Q_OS_LINUX)
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif
#if defined(Q_OS_UNIX)
#include <sys/socket.h>
#endif

namespace {
// A peer still sending while this runs cannot keep it here for long.
constexpr int maxDiscardReads = 256;
}

void discardUnreadInput(QTcpSocket &socket)
{
	socket.readAll();
#if defined(Q_OS_UNIX)
	// A buffered Qt socket reads from the system only when notified:
	// what arrived since is still there.
	const qintptr descriptor = socket.socketDescriptor();
	if (descriptor == -1)
		return;
	char scratch[65536];
	for (int i = 0; i < maxDiscardReads; i++)
		if (recv(int(descriptor), scratch, sizeof(scratch),
			 MSG_DONTWAIT) <= 0)
			break;
#endif
}

bool outputDelivered(QTcpSocket &socket)
{
	if (socket.state() != QAbstractSocket::ConnectedState)
		return true;
	if (socket.bytesToWrite() > 0)
		return false;
#if defined(Q_OS_LINUX)
	// Bytes the system has not sent, or the peer not acknowledged.
	int unacknowledged = 0;
	const qintptr descriptor = socket.socketDescriptor();
	if (descriptor != -1 &&
	    ioctl(int(descriptor), SIOCOUTQ, &unacknowledged) == 0)
		return unacknowledged == 0;
#endif
	return true;
}

void closeKeepingOutput(QTcpSocket &socket)
{
	if (socket.state() != QAbstractSocket::ConnectedState)
		return;
	socket.flush();
	discardUnreadInput(socket);
	socket.disconnectFromHost();
}
