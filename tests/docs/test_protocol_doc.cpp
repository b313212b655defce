// docs/protocol.md against the code: every command row (with its arguments)
// and every event name the module sends has its place in the reference, and
// the reference names no command or event that does not exist.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QString>
#include <QStringList>

#include <vector>

#include "server/command_table.h"

namespace {
QString readText(const QString &path)
{
	QFile file(path);
	if (!file.open(QIODevice::ReadOnly))
		return QString();
	return QString::fromUtf8(file.readAll());
}

QString backticked(const QString &name)
{
	return QLatin1Char('`') + name + QLatin1Char('`');
}

struct Heading {
	int level;
	QString text;
	int line;
};

// The reference as lines and headings; lines inside fenced code blocks are
// never headings.
class ProtocolDoc {
public:
	explicit ProtocolDoc(const QString &text)
		: lines(text.split(QLatin1Char('\n')))
	{
		static const QRegularExpression headingPattern(
			QStringLiteral("^(#{1,6})\\s+(.*)$"));
		bool fenced = false;
		for (int i = 0; i < lines.size(); i++) {
			if (lines[i].startsWith(QLatin1String("```"))) {
				fenced = !fenced;
				continue;
			}
			const QRegularExpressionMatch match =
				fenced ? QRegularExpressionMatch()
				       : headingPattern.match(lines[i]);
			if (match.hasMatch())
				headings.push_back(
					{int(match.capturedLength(1)),
					 match.captured(2).trimmed(), i});
		}
	}

	// The text under heading `index`, up to the next heading of the same
	// or a higher level.
	QString section(size_t index) const
	{
		const Heading &heading = headings[index];
		int end = lines.size();
		for (size_t next = index + 1; next < headings.size(); next++)
			if (headings[next].level <= heading.level) {
				end = headings[next].line;
				break;
			}
		return lines.mid(heading.line + 1, end - heading.line - 1)
			.join(QLatin1Char('\n'));
	}

	// The text under heading `index` before its first subheading.
	QString intro(size_t index) const
	{
		const int begin = headings[index].line + 1;
		const int end = index + 1 < headings.size()
					? headings[index + 1].line
					: int(lines.size());
		return lines.mid(begin, end - begin).join(QLatin1Char('\n'));
	}

	// Indexes of the headings that name `name` in backticks.
	std::vector<size_t> headingsNaming(const QString &name) const
	{
		std::vector<size_t> found;
		for (size_t i = 0; i < headings.size(); i++)
			if (headings[i].text.contains(backticked(name)))
				found.push_back(i);
		return found;
	}

	// The index of the level-2 heading whose text is `title`.
	int chapter(const QString &title) const
	{
		for (size_t i = 0; i < headings.size(); i++)
			if (headings[i].level == 2 && headings[i].text == title)
				return int(i);
		return -1;
	}

	QStringList lines;
	std::vector<Heading> headings;
};

const ProtocolDoc &protocolDoc()
{
	static const ProtocolDoc doc(
		readText(QStringLiteral(TESSIL_PROTOCOL_DOC)));
	return doc;
}

// The event names the module sends, read from the code that sends them:
// the string literal handed to each broadcast or queue call.
QSet<QString> sentEventNames()
{
	static const QRegularExpression call(QStringLiteral(
		"\\b(?:broadcast|broadcastEvent|queueEvent)\\s*\\(\\s*"
		"(?:(?:QStringLiteral|QLatin1String|QString::fromUtf8)\\s*\\(\\s*)?"
		"\"([^\"\\\\]+)\""));
	QSet<QString> names;
	for (const char *file :
	     {"module/event_relay.cpp", "module/hotkeys.cpp"}) {
		const QString source =
			readText(QStringLiteral(TESSIL_SOURCE_DIR "/") +
				 QLatin1String(file));
		EXPECT_FALSE(source.isEmpty()) << "cannot read " << file;
		QRegularExpressionMatchIterator it = call.globalMatch(source);
		while (it.hasNext())
			names.insert(it.next().captured(1));
	}
	return names;
}

// The names in the first cells of the table that opens a chapter (before its
// first subheading): rows whose first cell starts with a backticked name,
// plain or as a link.
QSet<QString> tableNames(const ProtocolDoc &doc, int chapter)
{
	static const QRegularExpression row(
		QStringLiteral("^\\|\\s*\\[?`([^`]+)`"));
	QSet<QString> names;
	for (const QString &line : doc.intro(size_t(chapter)).split('\n')) {
		const QRegularExpressionMatch match = row.match(line);
		if (match.hasMatch())
			names.insert(match.captured(1));
	}
	return names;
}

// Every name of `expected` is in `documented` and nothing else is.
void expectSameNames(const QSet<QString> &documented,
		     const QSet<QString> &expected, const char *what)
{
	for (const QString &name : expected)
		EXPECT_TRUE(documented.contains(name))
			<< "`" << name.toStdString() << "` is missing from the "
			<< what;
	for (const QString &name : documented)
		EXPECT_TRUE(expected.contains(name))
			<< "the " << what << " lists `" << name.toStdString()
			<< "`, which does not exist";
}

QSet<QString> commandNames()
{
	QSet<QString> names;
	for (const CommandRow &row : commandTable())
		names.insert(QString::fromUtf8(row.name));
	return names;
}
}

TEST(ProtocolDoc, IsReadable)
{
	EXPECT_GT(protocolDoc().lines.size(), 100)
		<< "cannot read " << TESSIL_PROTOCOL_DOC;
}

TEST(ProtocolDoc, EveryCommandHasASectionNamingItsArguments)
{
	const ProtocolDoc &doc = protocolDoc();
	for (const CommandRow &row : commandTable()) {
		const QString name = QString::fromUtf8(row.name);
		const std::vector<size_t> sections = doc.headingsNaming(name);
		EXPECT_FALSE(sections.empty())
			<< "no heading names the command `"
			<< name.toStdString() << "`";

		QString text;
		for (size_t index : sections)
			text += doc.section(index);
		for (const ArgDef &arg : row.args)
			EXPECT_TRUE(text.contains(
				backticked(QString::fromUtf8(arg.name))))
				<< "the section of `" << row.name
				<< "` does not name its argument `" << arg.name
				<< "`";
	}
}

TEST(ProtocolDoc, CommandSectionsNameExistingCommands)
{
	const ProtocolDoc &doc = protocolDoc();
	const int chapter = doc.chapter(QStringLiteral("Commands"));
	ASSERT_GE(chapter, 0) << "no \"## Commands\" chapter";

	static const QRegularExpression name(QStringLiteral("`([^`]+)`"));
	const QSet<QString> commands = commandNames();
	int sections = 0;
	for (size_t i = size_t(chapter) + 1;
	     i < doc.headings.size() && doc.headings[i].level > 2; i++) {
		if (doc.headings[i].level != 3)
			continue;
		sections++;
		QRegularExpressionMatchIterator it =
			name.globalMatch(doc.headings[i].text);
		while (it.hasNext()) {
			const QString documented = it.next().captured(1);
			EXPECT_TRUE(commands.contains(documented))
				<< "the reference documents `"
				<< documented.toStdString()
				<< "`, which is no command";
		}
	}
	EXPECT_EQ(sections, int(commandTable().size()))
		<< "one section per command";
	expectSameNames(tableNames(doc, chapter), commands, "command table");
}

TEST(ProtocolDoc, EventNamesAreFoundInTheSendingCode)
{
	// A floor, so that a broken extraction cannot pass by finding nothing.
	const QSet<QString> known = {
		"stream.started", "stream.stopped", "record.started",
		"record.stopped", "replay.started", "replay.stopped",
		"replay.saved",   "scene.changed",  "scenes.changed",
		"obs.exit",       "hotkey",
	};
	const QSet<QString> sent = sentEventNames();
	for (const QString &name : known)
		EXPECT_TRUE(sent.contains(name))
			<< "`" << name.toStdString()
			<< "` was not found among the events the module sends";
}

TEST(ProtocolDoc, EventsTableListsExactlyTheSentEvents)
{
	const ProtocolDoc &doc = protocolDoc();
	const int chapter = doc.chapter(QStringLiteral("Events"));
	ASSERT_GE(chapter, 0) << "no \"## Events\" chapter";

	expectSameNames(tableNames(doc, chapter), sentEventNames(),
			"events table");
}

TEST(ProtocolDoc, TranscriptMessagesAreJsonObjects)
{
	// Lines of the worked session such as `→ {"op":"req",...}`.
	static const QRegularExpression message(
		QStringLiteral("^[\u2190\u2192] (\\{.*)$"));
	int messages = 0;
	for (const QString &line : protocolDoc().lines) {
		const QRegularExpressionMatch match = message.match(line);
		if (!match.hasMatch())
			continue;
		messages++;
		QJsonParseError error;
		const QJsonDocument document = QJsonDocument::fromJson(
			match.captured(1).toUtf8(), &error);
		EXPECT_TRUE(document.isObject())
			<< line.toStdString() << ": "
			<< error.errorString().toStdString();
		EXPECT_FALSE(document.object()
				     .value(QStringLiteral("op"))
				     .toString()
				     .isEmpty())
			<< line.toStdString() << " has no \"op\"";
	}
	EXPECT_GE(messages, 10) << "the worked session is missing";
}
