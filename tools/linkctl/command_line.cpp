#include "command_line.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QList>
#include <QPair>
#include <QUrl>

#include <cmath>
#include <cstdio>

#include "token_file.h"

namespace {

struct OptionSpec {
	const char *name;
	bool takesValue;
	bool global;
};

const OptionSpec optionSpecs[] = {
	{"url", true, true},        {"token", true, true},
	{"timeout", true, true},    {"help", false, true},
	{"version", false, true},   {"scene", true, false},
	{"all", false, false},      {"delay", true, false},
	{"min-shown", true, false}, {"x", true, false},
	{"y", true, false},         {"w", true, false},
	{"opacity", true, false},   {"count", true, false},
};

const OptionSpec *findOption(const QString &name)
{
	for (const OptionSpec &spec : optionSpecs) {
		if (name == QLatin1String(spec.name))
			return &spec;
	}
	return nullptr;
}

struct Subcommand {
	const char *name;
	// Options of its own, besides the global ones.
	QStringList options;
	const char *help;
};

const Subcommand subcommands[] = {
	{"status",
	 {},
	 "Usage: tessil-linkctl status\n"
	 "\n"
	 "What OBS is doing: \"streaming\", \"recording\", \"replayBuffer\",\n"
	 "the \"canvas\" size, \"povShown\", \"dualShown\", the current \"scene\"\n"
	 "and the chosen \"povSources\" (command \"status\").\n"},
	{"scenes",
	 {},
	 "Usage: tessil-linkctl scenes\n"
	 "\n"
	 "The \"current\" scene and every scene with the names of its items,\n"
	 "top-most first; an item in a group is named GROUP/ITEM (command\n"
	 "\"scenes.list\").\n"},
	{"scene",
	 {},
	 "Usage: tessil-linkctl scene NAME\n"
	 "\n"
	 "Switches OBS to the scene NAME (exact name, case-sensitive). The reply's\n"
	 "\"previous\" names the scene that was current (command \"scene.set\").\n"},
	{"item",
	 {"scene", "all"},
	 "Usage: tessil-linkctl item NAME on|off|toggle [--scene SCENE] [--all]\n"
	 "\n"
	 "Shows (on), hides (off) or toggles the items of the source NAME; an\n"
	 "item in a group is named GROUP/ITEM (command \"item.visible\").\n"
	 "\n"
	 "  --scene SCENE  look in SCENE instead of the current scene\n"
	 "  --all          act on the source's items in every scene\n"},
	{"overlays",
	 {},
	 "Usage: tessil-linkctl overlays FILE.json\n"
	 "\n"
	 "Installs web overlays as browser sources in the current scene, or\n"
	 "updates them (command \"overlays.install\"). FILE.json (- for standard\n"
	 "input) holds a JSON array of sources, or an object with that array\n"
	 "under \"sources\":\n"
	 "\n"
	 "  [{\"name\": \"Tessil Overlay\", \"url\": \"http://127.0.0.1:47840/overlay\",\n"
	 "    \"audio\": false}]\n"},
	{"pov",
	 {"delay", "min-shown"},
	 "Usage: tessil-linkctl pov show SLOT [--delay MS]\n"
	 "       tessil-linkctl pov hide [--delay MS] [--min-shown MS]\n"
	 "\n"
	 "Shows the squad POV source at position SLOT (0 for the first) of the\n"
	 "Link dialog's list full-screen, or goes back to the own view\n"
	 "(commands \"pov.show\" and \"pov.hide\").\n"
	 "\n"
	 "  --delay MS      wait MS milliseconds first\n"
	 "  --min-shown MS  keep a POV that was just shown for at least MS\n"
	 "                  milliseconds\n"},
	{"dual",
	 {"x", "y", "w", "opacity"},
	 "Usage: tessil-linkctl dual show [SLOT] [--x X] [--y Y] [--w W] "
	 "[--opacity O]\n"
	 "       tessil-linkctl dual hide\n"
	 "\n"
	 "Shows the squad POV source at position SLOT (default 0) as a small\n"
	 "window over the own view, or hides the window (commands \"dual.show\"\n"
	 "and \"dual.hide\"). Position and width are fractions of the canvas.\n"
	 "\n"
	 "  --x X          left edge (default 0.012)\n"
	 "  --y Y          top edge (default 0.19)\n"
	 "  --w W          width (default 0.26)\n"
	 "  --opacity O    from 0 to 1 (default 1)\n"},
	{"replay",
	 {},
	 "Usage: tessil-linkctl replay save|start|stop\n"
	 "\n"
	 "Saves the replay buffer, or starts or stops it (commands\n"
	 "\"replay.save\", \"replay.start\", \"replay.stop\"). Saving fails while\n"
	 "the replay buffer is off.\n"},
	{"raw",
	 {},
	 "Usage: tessil-linkctl raw CMD [JSON-ARGS]\n"
	 "\n"
	 "Sends the link command CMD with JSON-ARGS, a JSON object, as its\n"
	 "arguments, e.g.\n"
	 "\n"
	 "  tessil-linkctl raw item.visible '{\"name\": \"Cam\", \"toggle\": true}'\n"},
	{"events",
	 {"count"},
	 "Usage: tessil-linkctl events [--count N]\n"
	 "\n"
	 "Prints OBS's events, one JSON object a line, as they come, until\n"
	 "interrupted. Exits with 0 after N events (--count) or when OBS\n"
	 "quits (\"obs.exit\"), with 2 when the link is lost otherwise.\n"
	 "\n"
	 "  --count N      stop after N events\n"},
	{"help",
	 {},
	 "Usage: tessil-linkctl help [COMMAND]\n"
	 "\n"
	 "Shows the overview, or the help of COMMAND.\n"},
};

const Subcommand *findSubcommand(const QString &name)
{
	for (const Subcommand &subcommand : subcommands) {
		if (name == QLatin1String(subcommand.name))
			return &subcommand;
	}
	return nullptr;
}

QString overview()
{
	const char *text =
		"Usage: tessil-linkctl [--url ws://HOST:PORT] [--token TOKEN] "
		"[--timeout MS]\n"
		"                      COMMAND [ARGS...]\n"
		"\n"
		"Sends one command to OBS through the Tessil Link plug-in and "
		"prints the reply.\n"
		"\n"
		"Commands:\n"
		"  status                   what OBS is doing\n"
		"  scenes                   the scenes and their items\n"
		"  scene NAME               switch to a scene\n"
		"  item NAME on|off|toggle  show, hide or toggle a source's items\n"
		"  overlays FILE.json       install web overlays as browser "
		"sources\n"
		"  pov show SLOT | hide     show a squad POV full-screen, or go "
		"back\n"
		"  dual show [SLOT] | hide  the dual POV window over the own view\n"
		"  replay save|start|stop   the replay buffer\n"
		"  raw CMD [JSON-ARGS]      any link command\n"
		"  events                   print OBS's events as they come\n"
		"  help [COMMAND]           this text, or the help of a command\n"
		"\n"
		"Options:\n"
		"  --url ws://HOST:PORT     where the link listens\n"
		"                           (default ws://127.0.0.1:47841)\n"
		"  --token TOKEN            the link token (default: read from "
		"the token file)\n"
		"  --timeout MS             give up after MS milliseconds without "
		"an answer\n"
		"                           (default 5000)\n"
		"  -h, --help               this text; after a command, its help\n"
		"  --version                the tool's version\n"
		"\n"
		"The plug-in writes the token file each time OBS starts:\n"
		"  %1\n"
		"\n"
		"The reply goes to standard output as one line of JSON.\n"
		"\n"
		"Exit status:\n"
		"  0  the command succeeded (\"ok\": true)\n"
		"  1  OBS refused the command (\"ok\": false); its \"error\" "
		"goes to\n"
		"     standard error\n"
		"  2  bad usage, no connection, a wrong token, or no answer in "
		"time\n";
	return QString(text).arg(tokenFileLocationText());
}

Invocation usageError(const QString &message)
{
	Invocation invocation;
	invocation.action = Invocation::Action::UsageError;
	invocation.text = message;
	return invocation;
}

// A problem with the use of one subcommand, pointing to its help.
Invocation usageError(const QString &subcommand, const QString &problem)
{
	return usageError(QString("%1; see 'tessil-linkctl help %2'")
				  .arg(problem, subcommand));
}

Invocation helpInvocation(const QString &text)
{
	Invocation invocation;
	invocation.action = Invocation::Action::Help;
	invocation.text = text;
	return invocation;
}

bool wholeNumber(const QString &text, int &value)
{
	bool ok = false;
	value = text.toInt(&ok, 10);
	return ok;
}

bool finiteNumber(const QString &text, double &value)
{
	bool ok = false;
	value = text.toDouble(&ok);
	return ok && std::isfinite(value);
}

// A ws:// address, with the link's port when none is given.
bool linkUrl(const QString &text, QString &url)
{
	QUrl parsed(text, QUrl::StrictMode);
	if (!parsed.isValid() || parsed.scheme() != "ws" ||
	    parsed.host().isEmpty())
		return false;
	if (parsed.port() == -1)
		parsed.setPort(defaultLinkPort);
	url = parsed.toString();
	return true;
}

// What was given on the command line, in order.
struct Words {
	QStringList positional;
	QList<QPair<QString, QString>> options;

	bool has(const char *name) const
	{
		for (const auto &option : options) {
			if (option.first == QLatin1String(name))
				return true;
		}
		return false;
	}
	// The last value given for an option.
	QString value(const char *name) const
	{
		QString found;
		for (const auto &option : options) {
			if (option.first == QLatin1String(name))
				found = option.second;
		}
		return found;
	}
};

bool splitWords(const QStringList &arguments, Words &words, QString &error)
{
	bool optionsEnded = false;
	for (int i = 0; i < arguments.size(); i++) {
		const QString &argument = arguments[i];
		if (optionsEnded) {
			words.positional << argument;
			continue;
		}
		if (argument == "--") {
			optionsEnded = true;
			continue;
		}
		if (argument == "-h") {
			words.options.append({"help", QString()});
			continue;
		}
		if (!argument.startsWith("--")) {
			words.positional << argument;
			continue;
		}
		const int equals = argument.indexOf('=');
		const QString name =
			argument.mid(2, equals < 0 ? -1 : equals - 2);
		const OptionSpec *spec = findOption(name);
		if (!spec) {
			error = QString("unknown option --%1; see "
					"'tessil-linkctl --help'")
					.arg(name);
			return false;
		}
		QString value;
		if (spec->takesValue) {
			if (equals >= 0) {
				value = argument.mid(equals + 1);
			} else if (i + 1 < arguments.size()) {
				value = arguments[++i];
			} else {
				error = QString("--%1 needs a value").arg(name);
				return false;
			}
		} else if (equals >= 0) {
			error = QString("--%1 takes no value").arg(name);
			return false;
		}
		words.options.append({name, value});
	}
	return true;
}

Invocation request(const QString &cmd, const QJsonObject &args = {})
{
	Invocation invocation;
	invocation.action = Invocation::Action::Request;
	invocation.cmd = cmd;
	invocation.args = args;
	return invocation;
}

// Copies the whole-number option `option` into args[key] when given.
bool wholeNumberOption(const Words &words, const char *option, const char *key,
		       const QString &subcommand, QJsonObject &args,
		       Invocation &failure)
{
	if (!words.has(option))
		return true;
	int value = 0;
	if (!wholeNumber(words.value(option), value)) {
		failure = usageError(subcommand,
				     QString("--%1 needs a whole number, not "
					     "'%2'")
					     .arg(QString(option),
						  words.value(option)));
		return false;
	}
	args[QLatin1String(key)] = value;
	return true;
}

Invocation scenesRequest(const QString &, const QStringList &rest,
			 const Words &)
{
	if (!rest.isEmpty())
		return usageError("scenes", "scenes takes no arguments");
	return request("scenes.list");
}

Invocation statusRequest(const QString &, const QStringList &rest,
			 const Words &)
{
	if (!rest.isEmpty())
		return usageError("status", "status takes no arguments");
	return request("status");
}

Invocation sceneRequest(const QString &, const QStringList &rest, const Words &)
{
	if (rest.size() != 1)
		return usageError("scene", "scene takes one scene name");
	return request("scene.set", {{"name", rest[0]}});
}

Invocation itemRequest(const QString &, const QStringList &rest,
		       const Words &words)
{
	if (rest.size() != 2)
		return usageError("item", "item takes a source name and on, "
					  "off or toggle");
	QJsonObject args{{"name", rest[0]}};
	const QString &mode = rest[1];
	if (mode == "on" || mode == "off")
		args["visible"] = mode == "on";
	else if (mode == "toggle")
		args["toggle"] = true;
	else
		return usageError("item", QString("item takes on, off or "
						  "toggle, not '%1'")
						  .arg(mode));
	if (words.has("scene"))
		args["scene"] = words.value("scene");
	if (words.has("all"))
		args["allScenes"] = true;
	return request("item.visible", args);
}

Invocation overlaysRequest(const QString &, const QStringList &rest,
			   const Words &)
{
	if (rest.size() != 1)
		return usageError("overlays", "overlays takes one file name");
	Invocation invocation = request("overlays.install");
	invocation.overlaysFile = rest[0];
	return invocation;
}

Invocation povRequest(const QString &, const QStringList &rest,
		      const Words &words)
{
	const QString action = rest.value(0);
	QJsonObject args;
	Invocation failure;
	if (action == "show") {
		if (rest.size() != 2)
			return usageError("pov", "pov show takes one slot");
		int slot = 0;
		if (!wholeNumber(rest[1], slot))
			return usageError("pov", QString("the slot is a whole "
							 "number, not '%1'")
							 .arg(rest[1]));
		if (words.has("min-shown"))
			return usageError("pov", "pov show does not take "
						 "--min-shown");
		args["slot"] = slot;
		if (!wholeNumberOption(words, "delay", "delayMs", "pov", args,
				       failure))
			return failure;
		return request("pov.show", args);
	}
	if (action == "hide") {
		if (rest.size() != 1)
			return usageError("pov", "pov hide takes no arguments");
		if (!wholeNumberOption(words, "delay", "delayMs", "pov", args,
				       failure) ||
		    !wholeNumberOption(words, "min-shown", "minShownMs", "pov",
				       args, failure))
			return failure;
		return request("pov.hide", args);
	}
	return usageError("pov", "pov takes show or hide");
}

Invocation dualRequest(const QString &, const QStringList &rest,
		       const Words &words)
{
	const QString action = rest.value(0);
	const char *layout[] = {"x", "y", "w", "opacity"};
	if (action == "show") {
		if (rest.size() > 2)
			return usageError("dual",
					  "dual show takes at most one slot");
		QJsonObject args;
		if (rest.size() == 2) {
			int slot = 0;
			if (!wholeNumber(rest[1], slot))
				return usageError("dual",
						  QString("the slot is a whole "
							  "number, not '%1'")
							  .arg(rest[1]));
			args["slot"] = slot;
		}
		for (const char *name : layout) {
			if (!words.has(name))
				continue;
			double value = 0.0;
			if (!finiteNumber(words.value(name), value))
				return usageError(
					"dual",
					QString("--%1 needs a number, not '%2'")
						.arg(QString(name),
						     words.value(name)));
			args[QLatin1String(name)] = value;
		}
		return request("dual.show", args);
	}
	if (action == "hide") {
		if (rest.size() != 1)
			return usageError("dual",
					  "dual hide takes no arguments");
		for (const char *name : layout) {
			if (words.has(name))
				return usageError("dual",
						  QString("dual hide does not "
							  "take --%1")
							  .arg(name));
		}
		return request("dual.hide");
	}
	return usageError("dual", "dual takes show or hide");
}

Invocation replayRequest(const QString &, const QStringList &rest,
			 const Words &)
{
	const QString action = rest.value(0);
	if (rest.size() != 1 ||
	    (action != "save" && action != "start" && action != "stop"))
		return usageError("replay", "replay takes save, start or stop");
	return request("replay." + action);
}

Invocation rawRequest(const QString &, const QStringList &rest, const Words &)
{
	if (rest.isEmpty() || rest.size() > 2)
		return usageError("raw", "raw takes a command name and "
					 "optionally its JSON arguments");
	QJsonObject args;
	if (rest.size() == 2) {
		QJsonParseError error;
		const QJsonDocument document =
			QJsonDocument::fromJson(rest[1].toUtf8(), &error);
		if (error.error != QJsonParseError::NoError ||
		    !document.isObject())
			return usageError("raw", "the arguments must be a JSON "
						 "object");
		args = document.object();
	}
	return request(rest[0], args);
}

Invocation eventsInvocation(const QString &, const QStringList &rest,
			    const Words &words)
{
	if (!rest.isEmpty())
		return usageError("events", "events takes no arguments");
	Invocation invocation;
	invocation.action = Invocation::Action::Events;
	if (words.has("count")) {
		int count = 0;
		if (!wholeNumber(words.value("count"), count) || count < 1)
			return usageError(
				"events",
				QString("--count needs a number above "
					"0, not '%1'")
					.arg(words.value("count")));
		invocation.eventCount = count;
	}
	return invocation;
}

Invocation helpRequest(const QString &, const QStringList &rest, const Words &)
{
	if (rest.size() > 1)
		return usageError("help", "help takes at most one command");
	const QString text = helpText(rest.value(0));
	if (text.isEmpty())
		return usageError(QString("unknown command '%1'; see "
					  "'tessil-linkctl --help'")
					  .arg(rest[0]));
	return helpInvocation(text);
}

using Builder = Invocation (*)(const QString &, const QStringList &,
			       const Words &);

Builder builderOf(const QString &name)
{
	static const QPair<const char *, Builder> builders[] = {
		{"status", statusRequest},     {"scenes", scenesRequest},
		{"scene", sceneRequest},       {"item", itemRequest},
		{"overlays", overlaysRequest}, {"pov", povRequest},
		{"dual", dualRequest},         {"replay", replayRequest},
		{"raw", rawRequest},           {"events", eventsInvocation},
		{"help", helpRequest},
	};
	for (const auto &builder : builders) {
		if (name == QLatin1String(builder.first))
			return builder.second;
	}
	return nullptr;
}

// Applies the global options; false with `failure` set.
bool applyGlobalOptions(const Words &words, Invocation &invocation,
			Invocation &failure)
{
	if (words.has("url") && !linkUrl(words.value("url"), invocation.url)) {
		failure = usageError(QString("--url needs a ws://HOST:PORT "
					     "address, not '%1'")
					     .arg(words.value("url")));
		return false;
	}
	if (words.has("token")) {
		invocation.token = words.value("token");
		invocation.tokenGiven = true;
		if (invocation.token.isEmpty()) {
			failure = usageError("--token needs a token");
			return false;
		}
	}
	if (words.has("timeout")) {
		int timeout = 0;
		if (!wholeNumber(words.value("timeout"), timeout) ||
		    timeout < 1) {
			failure = usageError(
				QString("--timeout needs a number "
					"of milliseconds above 0, "
					"not '%1'")
					.arg(words.value("timeout")));
			return false;
		}
		invocation.timeoutMs = timeout;
	}
	return true;
}

}

QString helpText(const QString &subcommand)
{
	if (subcommand.isEmpty())
		return overview();
	const Subcommand *found = findSubcommand(subcommand);
	return found ? QString(found->help) : QString();
}

Invocation parseCommandLine(const QStringList &arguments)
{
	Words words;
	QString error;
	if (!splitWords(arguments, words, error))
		return usageError(error);

	const QString name = words.positional.value(0);
	const Subcommand *subcommand = name.isEmpty() ? nullptr
						      : findSubcommand(name);
	if (!name.isEmpty() && !subcommand)
		return usageError(QString("unknown command '%1'; see "
					  "'tessil-linkctl --help'")
					  .arg(name));

	if (words.has("help")) {
		if (name == "help" && words.positional.size() > 1)
			return helpRequest(name, words.positional.mid(1),
					   words);
		return helpInvocation(helpText(name));
	}
	if (words.has("version"))
		return helpInvocation(QString("%1 %2\n").arg(
			QString(linkctlName), QString(linkctlVersion)));
	if (!subcommand)
		return usageError("no command given; see 'tessil-linkctl "
				  "--help'");

	for (const auto &option : words.options) {
		const OptionSpec *spec = findOption(option.first);
		if (!spec->global &&
		    !subcommand->options.contains(option.first))
			return usageError(name,
					  QString("%1 does not take --%2")
						  .arg(name, option.first));
	}

	Invocation invocation =
		builderOf(name)(name, words.positional.mid(1), words);
	if (invocation.action == Invocation::Action::UsageError ||
	    invocation.action == Invocation::Action::Help)
		return invocation;
	Invocation failure;
	if (!applyGlobalOptions(words, invocation, failure))
		return failure;
	return invocation;
}

bool overlaySources(const QByteArray &json, QJsonArray &sources, QString &error)
{
	QJsonParseError parseError;
	const QJsonDocument document =
		QJsonDocument::fromJson(json, &parseError);
	if (parseError.error != QJsonParseError::NoError) {
		error = QString("not JSON (%1 at offset %2)")
				.arg(parseError.errorString())
				.arg(parseError.offset);
		return false;
	}
	if (document.isArray()) {
		sources = document.array();
		return true;
	}
	const QJsonValue member = document.object().value("sources");
	if (document.isObject() && member.isArray()) {
		sources = member.toArray();
		return true;
	}
	error = "expected a JSON array of sources, or an object with "
		"\"sources\"";
	return false;
}

bool loadOverlaysFile(Invocation &invocation, QString &error)
{
	QFile file(invocation.overlaysFile);
	const bool opened = invocation.overlaysFile == "-"
				    ? file.open(stdin, QIODevice::ReadOnly)
				    : file.open(QIODevice::ReadOnly);
	if (!opened) {
		error = QString("cannot read %1 (%2)")
				.arg(invocation.overlaysFile,
				     file.errorString());
		return false;
	}
	QJsonArray sources;
	QString problem;
	if (!overlaySources(file.readAll(), sources, problem)) {
		const QString name = invocation.overlaysFile == "-"
					     ? QString("standard input")
					     : invocation.overlaysFile;
		error = QString("%1: %2").arg(name, problem);
		return false;
	}
	invocation.args["sources"] = sources;
	return true;
}
