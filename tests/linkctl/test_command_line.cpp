#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <string>
#include <vector>

#include "command_line.h"
#include "link_session.h"

namespace {
QJsonObject object(const char *text)
{
	return QJsonDocument::fromJson(text).object();
}

std::string show(const QJsonObject &value)
{
	return QJsonDocument(value).toJson(QJsonDocument::Compact).toStdString();
}

std::string show(const QStringList &arguments)
{
	return arguments.join(' ').toStdString();
}

using Action = Invocation::Action;
}

TEST(CommandLine, EachSubcommandBecomesItsRequest)
{
	struct Case {
		QStringList arguments;
		QString cmd;
		const char *args;
	};
	const std::vector<Case> cases = {
		{{"status"}, "status", "{}"},
		{{"scenes"}, "scenes.list", "{}"},
		{{"scene", "Main Scene"},
		 "scene.set",
		 R"({"name":"Main Scene"})"},
		{{"scene", ""}, "scene.set", R"({"name":""})"},
		{{"scene", "--", "--odd"}, "scene.set", R"({"name":"--odd"})"},
		{{"scene", "-"}, "scene.set", R"({"name":"-"})"},
		{{"item", "Cam", "on"},
		 "item.visible",
		 R"({"name":"Cam","visible":true})"},
		{{"item", "Cam", "off", "--scene", "Game"},
		 "item.visible",
		 R"({"name":"Cam","visible":false,"scene":"Game"})"},
		{{"item", "--scene=Game", "Cam", "on"},
		 "item.visible",
		 R"({"name":"Cam","visible":true,"scene":"Game"})"},
		{{"item", "Group/Cam", "toggle", "--all"},
		 "item.visible",
		 R"({"name":"Group/Cam","toggle":true,"allScenes":true})"},
		{{"pov", "show", "1"}, "pov.show", R"({"slot":1})"},
		{{"pov", "show", "-1", "--delay", "250"},
		 "pov.show",
		 R"({"slot":-1,"delayMs":250})"},
		{{"pov", "hide"}, "pov.hide", "{}"},
		{{"pov", "hide", "--delay", "100", "--min-shown=2000"},
		 "pov.hide",
		 R"({"delayMs":100,"minShownMs":2000})"},
		{{"dual", "show"}, "dual.show", "{}"},
		{{"dual", "show", "2", "--x", "0.5", "--y", "0.1", "--w", "0.3",
		  "--opacity", "0.75"},
		 "dual.show",
		 R"({"slot":2,"x":0.5,"y":0.1,"w":0.3,"opacity":0.75})"},
		{{"dual", "show", "--x", "-0.25"},
		 "dual.show",
		 R"({"x":-0.25})"},
		{{"dual", "hide"}, "dual.hide", "{}"},
		{{"replay", "save"}, "replay.save", "{}"},
		{{"replay", "start"}, "replay.start", "{}"},
		{{"replay", "stop"}, "replay.stop", "{}"},
		{{"raw", "status"}, "status", "{}"},
		{{"raw", "item.visible", R"({"name":"Cam","toggle":true})"},
		 "item.visible",
		 R"({"name":"Cam","toggle":true})"},
		{{"raw", "Not.A.Command", "{}"}, "Not.A.Command", "{}"},
		{{"overlays", "overlays.json"}, "overlays.install", "{}"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(show(c.arguments));
		const Invocation invocation = parseCommandLine(c.arguments);
		ASSERT_EQ(invocation.action, Action::Request)
			<< invocation.text.toStdString();
		EXPECT_EQ(invocation.cmd, c.cmd);
		EXPECT_EQ(show(invocation.args), show(object(c.args)));
		EXPECT_EQ(invocation.overlaysFile,
			  c.cmd == "overlays.install" ? "overlays.json" : "");
	}
}

TEST(CommandLine, TheRequestMessageCarriesCommandAndArguments)
{
	const Invocation invocation =
		parseCommandLine({"item", "Cam", "toggle", "--scene", "Game"});
	EXPECT_EQ(
		requestMessage(invocation),
		object(R"({"op":"req","id":1,"cmd":"item.visible",)"
		       R"("args":{"name":"Cam","toggle":true,"scene":"Game"}})"));
}

TEST(CommandLine, GlobalOptionsGoAnywhere)
{
	struct Case {
		QStringList arguments;
		QString url;
		QString token;
		int timeoutMs;
	};
	const std::vector<Case> cases = {
		{{"status"}, "ws://127.0.0.1:47841", "", 5000},
		{{"--url", "ws://localhost:1234", "--token", "abc", "--timeout",
		  "750", "status"},
		 "ws://localhost:1234",
		 "abc",
		 750},
		{{"status", "--url=ws://10.0.0.2", "--token=K7m"},
		 "ws://10.0.0.2:47841",
		 "K7m",
		 5000},
		{{"scene", "--timeout", "1", "Main", "--timeout", "90"},
		 "ws://127.0.0.1:47841",
		 "",
		 90},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(show(c.arguments));
		const Invocation invocation = parseCommandLine(c.arguments);
		ASSERT_EQ(invocation.action, Action::Request)
			<< invocation.text.toStdString();
		EXPECT_EQ(invocation.url, c.url);
		EXPECT_EQ(invocation.token, c.token);
		EXPECT_EQ(invocation.tokenGiven, !c.token.isEmpty());
		EXPECT_EQ(invocation.timeoutMs, c.timeoutMs);
	}
}

TEST(CommandLine, EventsStreamWithAnOptionalCount)
{
	const Invocation forever = parseCommandLine({"events"});
	EXPECT_EQ(forever.action, Action::Events);
	EXPECT_EQ(forever.eventCount, 0);
	const Invocation three =
		parseCommandLine({"events", "--count", "3", "--token", "t"});
	EXPECT_EQ(three.action, Action::Events);
	EXPECT_EQ(three.eventCount, 3);
	EXPECT_EQ(three.token, "t");
}

TEST(CommandLine, BadUsageIsOneLineSayingWhatIsWrong)
{
	struct Case {
		QStringList arguments;
		const char *message;
	};
	const std::vector<Case> cases = {
		{{}, "no command given; see 'tessil-linkctl --help'"},
		{{"frobnicate"},
		 "unknown command 'frobnicate'; see 'tessil-linkctl --help'"},
		{{"Status"},
		 "unknown command 'Status'; see 'tessil-linkctl --help'"},
		{{"status", "now"},
		 "status takes no arguments; see 'tessil-linkctl help status'"},
		{{"scenes", "all"},
		 "scenes takes no arguments; see 'tessil-linkctl help scenes'"},
		{{"scene"},
		 "scene takes one scene name; see 'tessil-linkctl help scene'"},
		{{"scene", "A", "B"},
		 "scene takes one scene name; see 'tessil-linkctl help scene'"},
		{{"item", "Cam"},
		 "item takes a source name and on, off or toggle; see "
		 "'tessil-linkctl help item'"},
		{{"item", "Cam", "maybe"},
		 "item takes on, off or toggle, not 'maybe'; see "
		 "'tessil-linkctl help item'"},
		{{"item", "Cam", "on", "--delay", "5"},
		 "item does not take --delay; see 'tessil-linkctl help item'"},
		{{"overlays"},
		 "overlays takes one file name; see 'tessil-linkctl help "
		 "overlays'"},
		{{"pov"},
		 "pov takes show or hide; see 'tessil-linkctl help pov'"},
		{{"pov", "show"},
		 "pov show takes one slot; see 'tessil-linkctl help pov'"},
		{{"pov", "show", "first"},
		 "the slot is a whole number, not 'first'; see 'tessil-linkctl "
		 "help pov'"},
		{{"pov", "show", "1", "--min-shown", "5"},
		 "pov show does not take --min-shown; see 'tessil-linkctl help "
		 "pov'"},
		{{"pov", "hide", "--delay", "soon"},
		 "--delay needs a whole number, not 'soon'; see 'tessil-linkctl "
		 "help pov'"},
		{{"pov", "hide", "1"},
		 "pov hide takes no arguments; see 'tessil-linkctl help pov'"},
		{{"dual", "show", "0", "1"},
		 "dual show takes at most one slot; see 'tessil-linkctl help "
		 "dual'"},
		{{"dual", "show", "--opacity", "nan"},
		 "--opacity needs a number, not 'nan'; see 'tessil-linkctl help "
		 "dual'"},
		{{"dual", "hide", "--x", "0.1"},
		 "dual hide does not take --x; see 'tessil-linkctl help dual'"},
		{{"dual", "show", "--delay", "1"},
		 "dual does not take --delay; see 'tessil-linkctl help dual'"},
		{{"replay", "pause"},
		 "replay takes save, start or stop; see 'tessil-linkctl help "
		 "replay'"},
		{{"raw"},
		 "raw takes a command name and optionally its JSON arguments; "
		 "see 'tessil-linkctl help raw'"},
		{{"raw", "status", "[1]"},
		 "the arguments must be a JSON object; see 'tessil-linkctl help "
		 "raw'"},
		{{"raw", "status", "{oops"},
		 "the arguments must be a JSON object; see 'tessil-linkctl help "
		 "raw'"},
		{{"events", "--count", "0"},
		 "--count needs a number above 0, not '0'; see 'tessil-linkctl "
		 "help events'"},
		{{"events", "all"},
		 "events takes no arguments; see 'tessil-linkctl help events'"},
		{{"--bogus", "status"},
		 "unknown option --bogus; see 'tessil-linkctl --help'"},
		{{"status", "--url"}, "--url needs a value"},
		{{"item", "Cam", "on", "--all=yes"}, "--all takes no value"},
		{{"--url", "http://127.0.0.1:47841", "status"},
		 "--url needs a ws://HOST:PORT address, not "
		 "'http://127.0.0.1:47841'"},
		{{"--url", "ws://", "status"},
		 "--url needs a ws://HOST:PORT address, not 'ws://'"},
		{{"--timeout", "0", "status"},
		 "--timeout needs a number of milliseconds above 0, not '0'"},
		{{"--timeout", "5s", "status"},
		 "--timeout needs a number of milliseconds above 0, not '5s'"},
		{{"--token=", "status"}, "--token needs a token"},
		{{"help", "item", "scene"},
		 "help takes at most one command; see 'tessil-linkctl help "
		 "help'"},
		{{"help", "nope"},
		 "unknown command 'nope'; see 'tessil-linkctl --help'"},
		{{"nope", "--help"},
		 "unknown command 'nope'; see 'tessil-linkctl --help'"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(show(c.arguments));
		const Invocation invocation = parseCommandLine(c.arguments);
		EXPECT_EQ(invocation.action, Action::UsageError);
		EXPECT_EQ(invocation.text.toStdString(), c.message);
	}
}

TEST(CommandLine, HelpComesForTheToolAndForEachSubcommand)
{
	struct Case {
		QStringList arguments;
		QString topic;
	};
	const std::vector<Case> cases = {
		{{"--help"}, ""},
		{{"-h"}, ""},
		{{"help"}, ""},
		{{"--token", "t", "--help"}, ""},
		{{"help", "item"}, "item"},
		{{"item", "--help"}, "item"},
		{{"item", "Cam", "maybe", "-h"}, "item"},
		{{"--help", "pov", "show"}, "pov"},
		{{"help", "--help"}, "help"},
		{{"help", "events", "--help"}, "events"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(show(c.arguments));
		const Invocation invocation = parseCommandLine(c.arguments);
		EXPECT_EQ(invocation.action, Action::Help);
		EXPECT_EQ(invocation.text, helpText(c.topic));
	}

	EXPECT_TRUE(helpText().startsWith("Usage: tessil-linkctl [--url "));
	EXPECT_TRUE(helpText().contains("link-token.txt"));
	for (const char *name :
	     {"status", "scenes", "scene", "item", "overlays", "pov", "dual",
	      "replay", "raw", "events", "help"}) {
		SCOPED_TRACE(name);
		EXPECT_TRUE(helpText(name).startsWith(
			QString("Usage: tessil-linkctl %1").arg(name)));
		EXPECT_TRUE(helpText().contains(QString("\n  %1 ").arg(name)));
	}
	EXPECT_TRUE(helpText("nope").isEmpty());

	const Invocation version = parseCommandLine({"--version"});
	EXPECT_EQ(version.action, Action::Help);
	EXPECT_EQ(version.text, "tessil-linkctl 0.1.0\n");
}

TEST(CommandLine, OverlaysFileHoldsAnArrayOrAnObjectWithSources)
{
	const QJsonArray two =
		QJsonDocument::fromJson(
			R"([{"name":"A","url":"http://a"},)"
			R"({"name":"B","url":"http://b","audio":true}])")
			.array();
	struct Case {
		const char *json;
		bool ok;
		const char *error;
	};
	const std::vector<Case> cases = {
		{R"([{"name":"A","url":"http://a"},)"
		 R"({"name":"B","url":"http://b","audio":true}])",
		 true, ""},
		{R"({"sources":[{"name":"A","url":"http://a"},)"
		 R"({"name":"B","url":"http://b","audio":true}],"v":2})",
		 true, ""},
		{R"({"sources":{"name":"A"}})", false,
		 R"(expected a JSON array of sources, or an object with "sources")"},
		{R"({"name":"A","url":"http://a"})", false,
		 R"(expected a JSON array of sources, or an object with "sources")"},
		{R"([{"name":"A")", false, nullptr},
		{"", false, nullptr},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.json);
		QJsonArray sources;
		QString error;
		EXPECT_EQ(overlaySources(c.json, sources, error), c.ok);
		if (c.ok) {
			EXPECT_EQ(sources, two);
			EXPECT_TRUE(error.isEmpty());
		} else if (c.error) {
			EXPECT_EQ(error.toStdString(), c.error);
		} else {
			EXPECT_TRUE(error.startsWith("not JSON ("))
				<< error.toStdString();
		}
	}
}

TEST(CommandLine, OverlaysFileIsReadIntoTheSources)
{
	QTemporaryDir dir;
	ASSERT_TRUE(dir.isValid());
	const QString path = dir.filePath("overlays.json");
	QFile file(path);
	ASSERT_TRUE(file.open(QIODevice::WriteOnly));
	file.write(
		R"({"sources":[{"name":"Tessil Overlay",)"
		R"("url":"http://127.0.0.1:47840/overlay","audio":false}]})");
	file.close();

	Invocation invocation = parseCommandLine({"overlays", path});
	QString error;
	ASSERT_TRUE(loadOverlaysFile(invocation, error)) << error.toStdString();
	EXPECT_EQ(show(requestMessage(invocation)),
		  show(object(R"({"op":"req","id":1,"cmd":"overlays.install",)"
			      R"("args":{"sources":[{"name":"Tessil Overlay",)"
			      R"("url":"http://127.0.0.1:47840/overlay",)"
			      R"("audio":false}]}})")));

	Invocation missing =
		parseCommandLine({"overlays", dir.filePath("none.json")});
	EXPECT_FALSE(loadOverlaysFile(missing, error));
	EXPECT_TRUE(error.startsWith(
		QString("cannot read %1 (").arg(dir.filePath("none.json"))))
		<< error.toStdString();
}
