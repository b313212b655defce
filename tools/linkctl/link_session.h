#pragma once

// One conversation with the link: connect, wait for "hello", send "auth",
// then either send one request and wait for its reply, or print events as
// they come. Runs in the caller's Qt event loop and reports its exit code
// through `finished`.

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <QWebSocket>

#include <functional>

#include "command_line.h"

class LinkSession : public QObject {
	Q_OBJECT

public:
	// Receives one line of output, without its line end.
	using LineSink = std::function<void(const QByteArray &line)>;

	// `invocation` is a Request or Events with its token filled in.
	LinkSession(const Invocation &invocation, LineSink out, LineSink err,
		    QObject *parent = nullptr);
	~LinkSession() override;

	void start();
	bool isFinished() const { return state == State::Done; }
	int exitCode() const { return code; }

Q_SIGNALS:
	// Once, after the connection is closed.
	void finished(int exitCode);

private:
	enum class State {
		Connecting,
		Greeting,
		Linking,
		Waiting,
		Streaming,
		Closing,
		Done
	};

	void onMessage(const QString &text);
	void onSocketError();
	void onDisconnected();
	void onTimeout();

	void sendJson(const QJsonObject &object);
	// Prints `message` to standard error when not empty, then closes.
	void fail(int exitCode, const QString &message);
	void finish(int exitCode);
	void done();

	Invocation invocation;
	LineSink out;
	LineSink err;
	QWebSocket socket;
	QTimer timeout;
	QTimer closeGrace;
	State state = State::Connecting;
	int code = ExitNoAnswer;
	int eventsSeen = 0;
	bool obsExited = false;
	// The socket reported an error or its end: nothing more goes out.
	bool connectionLost = false;
};

// The request message the tool sends: {"op":"req","id":1,"cmd",...,"args"}.
QJsonObject requestMessage(const Invocation &invocation);
