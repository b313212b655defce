#include "link_session.h"

#include <QJsonDocument>
#include <QNetworkProxy>
#include <QUrl>

namespace {
// The tool sends one request per run.
constexpr int requestId = 1;
// How long a finished session waits for the server to answer its close.
constexpr int closeGraceMs = 1000;

QByteArray compact(const QJsonObject &object)
{
	return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray messageLine(QString message)
{
	message.replace(QLatin1String("\r\n"), QLatin1String(" "));
	message.replace(QLatin1Char('\n'), QLatin1Char(' '));
	message.replace(QLatin1Char('\r'), QLatin1Char(' '));
	return QString("%1: %2").arg(QString(linkctlName), message).toUtf8();
}
}

QJsonObject requestMessage(const Invocation &invocation)
{
	return QJsonObject{{"op", "req"},
			   {"id", requestId},
			   {"cmd", invocation.cmd},
			   {"args", invocation.args}};
}

LinkSession::LinkSession(const Invocation &invocation, LineSink out,
			 LineSink err, QObject *parent)
	: QObject(parent),
	  invocation(invocation),
	  out(std::move(out)),
	  err(std::move(err))
{
	// The link is on this machine or the local network: never through a
	// proxy that the environment may name.
	socket.setProxy(QNetworkProxy::NoProxy);
	timeout.setSingleShot(true);
	closeGrace.setSingleShot(true);
	connect(&timeout, &QTimer::timeout, this, &LinkSession::onTimeout);
	connect(&closeGrace, &QTimer::timeout, this, &LinkSession::done);
	connect(&socket, &QWebSocket::connected, this, [this]() {
		if (state == State::Connecting)
			state = State::Greeting;
	});
	connect(&socket, &QWebSocket::textMessageReceived, this,
		&LinkSession::onMessage);
	connect(&socket, &QWebSocket::disconnected, this,
		&LinkSession::onDisconnected);
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
	connect(&socket, &QWebSocket::errorOccurred, this,
		&LinkSession::onSocketError);
#else
	connect(&socket,
		QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error),
		this, &LinkSession::onSocketError);
#endif
}

LinkSession::~LinkSession()
{
	// The socket outlives nothing here: cut it off before it can report
	// its own teardown to a half-destroyed session.
	QObject::disconnect(&socket, nullptr, this, nullptr);
	socket.abort();
}

void LinkSession::start()
{
	timeout.start(invocation.timeoutMs);
	socket.open(QUrl(invocation.url));
}

void LinkSession::sendJson(const QJsonObject &object)
{
	socket.sendTextMessage(QString::fromUtf8(compact(object)));
}

void LinkSession::onMessage(const QString &text)
{
	const QJsonObject message =
		QJsonDocument::fromJson(text.toUtf8()).object();
	const QString op = message.value("op").toString();
	switch (state) {
	case State::Connecting:
	case State::Greeting:
		if (op != "hello") {
			fail(ExitNoAnswer,
			     QString("%1 is not a Tessil Link server")
				     .arg(invocation.url));
			return;
		}
		sendJson(QJsonObject{{"op", "auth"},
				     {"token", invocation.token},
				     {"app", QString(linkctlName)},
				     {"version", QString(linkctlVersion)}});
		state = State::Linking;
		return;
	case State::Linking:
		if (op == "denied") {
			// The server closes the connection right after.
			connectionLost = true;
			fail(ExitNoAnswer,
			     "the link refused the token (see --token)");
		} else if (op == "ready") {
			if (invocation.action == Invocation::Action::Events) {
				timeout.stop();
				state = State::Streaming;
			} else {
				sendJson(requestMessage(invocation));
				state = State::Waiting;
			}
		}
		return;
	case State::Waiting:
		// Events that come before the reply are not ours to print.
		if (op != "res" || message.value("id").toInt() != requestId)
			return;
		out(compact(message));
		if (message.value("ok").toBool()) {
			finish(ExitOk);
		} else {
			const QString error = message.value("error").toString();
			fail(ExitCommandFailed,
			     error.isEmpty() ? "the command failed" : error);
		}
		return;
	case State::Streaming:
		if (op != "event")
			return;
		out(compact(message));
		eventsSeen++;
		if (message.value("event").toString() == "obs.exit")
			obsExited = true;
		if (invocation.eventCount > 0 &&
		    eventsSeen >= invocation.eventCount)
			finish(ExitOk);
		return;
	case State::Closing:
	case State::Done:
		return;
	}
}

void LinkSession::onSocketError()
{
	if (state == State::Closing || state == State::Done)
		return;
	connectionLost = true;
	if (state == State::Streaming && obsExited) {
		finish(ExitOk);
		return;
	}
	if (state == State::Connecting)
		fail(ExitNoAnswer,
		     QString("cannot connect to %1: %2")
			     .arg(invocation.url, socket.errorString()));
	else if (socket.error() == QAbstractSocket::RemoteHostClosedError)
		fail(ExitNoAnswer,
		     QString("%1 closed the connection").arg(invocation.url));
	else
		fail(ExitNoAnswer,
		     QString("lost the connection to %1: %2")
			     .arg(invocation.url, socket.errorString()));
}

void LinkSession::onDisconnected()
{
	if (state == State::Closing) {
		done();
		return;
	}
	if (state == State::Done)
		return;
	connectionLost = true;
	if (state == State::Streaming && obsExited) {
		// OBS closes every link when it quits: the stream has ended.
		finish(ExitOk);
		return;
	}
	if (state != State::Connecting)
		fail(ExitNoAnswer,
		     QString("%1 closed the connection").arg(invocation.url));
	else if (socket.error() != QAbstractSocket::UnknownSocketError)
		fail(ExitNoAnswer,
		     QString("cannot connect to %1: %2")
			     .arg(invocation.url, socket.errorString()));
	else
		fail(ExitNoAnswer,
		     QString("cannot connect to %1").arg(invocation.url));
}

void LinkSession::onTimeout()
{
	if (state == State::Connecting)
		fail(ExitNoAnswer, QString("cannot connect to %1 within %2 ms")
					   .arg(invocation.url)
					   .arg(invocation.timeoutMs));
	else
		fail(ExitNoAnswer, QString("no answer from %1 within %2 ms")
					   .arg(invocation.url)
					   .arg(invocation.timeoutMs));
}

void LinkSession::fail(int exitCode, const QString &message)
{
	if (state == State::Closing || state == State::Done)
		return;
	err(messageLine(message));
	finish(exitCode);
}

void LinkSession::finish(int exitCode)
{
	if (state == State::Closing || state == State::Done)
		return;
	code = exitCode;
	timeout.stop();
	// Closing before the socket is touched: whatever it reports from now
	// on only ends the session.
	const bool open = !connectionLost &&
			  socket.state() == QAbstractSocket::ConnectedState;
	state = State::Closing;
	if (open) {
		closeGrace.start(closeGraceMs);
		socket.close();
	} else {
		if (socket.state() != QAbstractSocket::UnconnectedState)
			socket.abort();
		done();
	}
}

void LinkSession::done()
{
	if (state == State::Done)
		return;
	state = State::Done;
	closeGrace.stop();
	QMetaObject::invokeMethod(
		this, [this]() { Q_EMIT finished(code); },
		Qt::QueuedConnection);
}
