#pragma once

// The command line of tessil-linkctl turned into what to do: one link
// request (a command name and its arguments), the event stream, a help
// text, or a usage error. Parsing reads nothing but its arguments.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

constexpr char linkctlName[] = "tessil-linkctl";
constexpr char linkctlVersion[] = TESSIL_VERSION;
constexpr char defaultLinkUrl[] = "ws://127.0.0.1:47841";
constexpr int defaultLinkPort = 47841;
constexpr int defaultTimeoutMs = 5000;

// Exit codes: the command succeeded, OBS refused it, or the tool could not
// get an answer (bad usage, no connection, wrong token, no answer in time).
enum ExitCode { ExitOk = 0, ExitCommandFailed = 1, ExitNoAnswer = 2 };

struct Invocation {
	enum class Action { Request, Events, Help, UsageError };
	Action action = Action::UsageError;

	QString url = defaultLinkUrl;
	QString token;
	bool tokenGiven = false;
	int timeoutMs = defaultTimeoutMs;

	// Request: the command and its arguments.
	QString cmd;
	QJsonObject args;
	// "overlays": the file whose sources become args["sources"].
	QString overlaysFile;

	// Events: stop after this many; 0 streams until interrupted.
	int eventCount = 0;

	// Help: the text to print. UsageError: the one-line message.
	QString text;
};

// `arguments` without the program name.
Invocation parseCommandLine(const QStringList &arguments);

// The overview, or the help of one subcommand ("" for the overview).
// Empty when there is no such subcommand.
QString helpText(const QString &subcommand = QString());

// The sources of an overlays file: a JSON array of {"name", "url",
// "audio"} objects, or an object whose "sources" member is that array.
// False with a one-line reason when the text is neither.
bool overlaySources(const QByteArray &json, QJsonArray &sources,
		    QString &error);

// Reads the invocation's overlays file ("-": standard input) into
// args["sources"]. False with a one-line reason.
bool loadOverlaysFile(Invocation &invocation, QString &error);
