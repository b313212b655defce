#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <vector>

// The commands a linked client can run: one row per command name, with its
// arguments and the handler that carries it out. Adding a command is adding
// a row.

enum class ArgType { Integer, Boolean, Text, Number, Array };

struct ArgDef {
	const char *name;
	ArgType type;
	// Default of a Number argument; the other types default to 0, false,
	// empty text and the empty array.
	double fallback = 0.0;
};

// Sends a request's reply, with no error and this data, while its handler is
// still at work; what the handler returns afterwards is then not sent.
using EarlyReply = std::function<void(const QJsonObject &data)>;

// A request's "args", read by the rules of each argument's type, and the way
// to answer it early.
class CommandArgs {
public:
	CommandArgs(const QJsonObject &args, const std::vector<ArgDef> &defs,
		    const EarlyReply &earlyReply = {})
		: args(args),
		  defs(defs),
		  earlyReply(earlyReply)
	{
	}

	int integer(const char *name) const;
	bool boolean(const char *name) const;
	QString text(const char *name) const;
	double number(const char *name) const;
	QJsonArray array(const char *name) const;
	// The member as the client sent it, for checks of its JSON type.
	QJsonValue raw(const char *name) const;
	// Answers the request now (once; nothing without a way to answer).
	void replyNow(const QJsonObject &data) const;

private:
	const QJsonObject &args;
	const std::vector<ArgDef> &defs;
	const EarlyReply &earlyReply;
};

using CommandHandler = void (*)(const CommandArgs &args, QString &error,
				QJsonObject &data);

struct CommandRow {
	const char *name;
	std::vector<ArgDef> args;
	CommandHandler run;
};

const std::vector<CommandRow> &commandTable();

// Runs the row named `cmd` (exact, case-sensitive). No row: the error is
// "unknown command " followed by `cmd`.
void dispatchCommand(const QString &cmd, const QJsonObject &args,
		     QString &error, QJsonObject &data,
		     const EarlyReply &earlyReply = {});
