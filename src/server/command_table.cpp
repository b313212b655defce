#include "server/command_table.h"

#include <obs-frontend-api.h>

#include <QHash>

#include "obs/item_visibility.h"
#include "obs/overlays.h"
#include "obs/scene_commands.h"
#include "obs/status.h"
#include "pov/dual_pov.h"
#include "pov/squad_pov.h"
#include "server/request.h"

QJsonValue CommandArgs::raw(const char *name) const
{
	return args.value(QLatin1String(name));
}

int CommandArgs::integer(const char *name) const
{
	return integerArg(raw(name));
}

bool CommandArgs::boolean(const char *name) const
{
	return booleanArg(raw(name));
}

QString CommandArgs::text(const char *name) const
{
	return raw(name).toString();
}

double CommandArgs::number(const char *name) const
{
	for (const ArgDef &def : defs)
		if (qstrcmp(def.name, name) == 0)
			return numberArg(raw(name), def.fallback);
	return numberArg(raw(name), 0.0);
}

QJsonArray CommandArgs::array(const char *name) const
{
	return raw(name).toArray();
}

void CommandArgs::replyNow(const QJsonObject &data) const
{
	if (earlyReply)
		earlyReply(data);
}

namespace {
void runSetScene(const CommandArgs &args, QString &error, QJsonObject &data)
{
	// Answered once OBS has started the switch ("previous" is filled by
	// then), not after OBS has also rebuilt its docks for the new scene.
	error = setScene(args.text("name"), data,
			 [&args, &data]() { args.replyNow(data); });
}

void runItemVisible(const CommandArgs &args, QString &error, QJsonObject &data)
{
	const bool toggle = args.boolean("toggle");
	if (!toggle && !args.raw("visible").isBool()) {
		error = QStringLiteral(
			"item.visible needs \"visible\": true or false, or \"toggle\": true");
		return;
	}
	const int mode = toggle ? VisibilityToggle
				: (args.boolean("visible") ? VisibilityShow
							   : VisibilityHide);
	error = setItemVisible(args.text("scene"), args.text("name"), mode,
			       args.boolean("allScenes"), data);
}
}

const std::vector<CommandRow> &commandTable()
{
	static const std::vector<CommandRow> rows = {
		{"status",
		 {},
		 [](const CommandArgs &, QString &, QJsonObject &data) {
			 data = statusData();
		 }},
		{"replay.save",
		 {},
		 [](const CommandArgs &, QString &error, QJsonObject &) {
			 error = saveReplay();
		 }},
		{"replay.start",
		 {},
		 [](const CommandArgs &, QString &, QJsonObject &) {
			 obs_frontend_replay_buffer_start();
		 }},
		{"replay.stop",
		 {},
		 [](const CommandArgs &, QString &, QJsonObject &) {
			 obs_frontend_replay_buffer_stop();
		 }},
		{"overlays.install",
		 {{"sources", ArgType::Array}},
		 [](const CommandArgs &args, QString &, QJsonObject &data) {
			 data = installOverlays(args.array("sources"));
		 }},
		{"scenes.list",
		 {},
		 [](const CommandArgs &, QString &, QJsonObject &data) {
			 data = listScenes();
		 }},
		{"scene.set", {{"name", ArgType::Text}}, runSetScene},
		{"scene.current", {{"name", ArgType::Text}}, runSetScene},
		{"item.visible",
		 {{"toggle", ArgType::Boolean},
		  {"visible", ArgType::Boolean},
		  {"allScenes", ArgType::Boolean},
		  {"name", ArgType::Text},
		  {"scene", ArgType::Text}},
		 runItemVisible},
		{"pov.show",
		 {{"slot", ArgType::Integer}, {"delayMs", ArgType::Integer}},
		 [](const CommandArgs &args, QString &error, QJsonObject &) {
			 error = showPov(args.integer("slot"),
					 args.integer("delayMs"));
		 }},
		{"pov.hide",
		 {{"delayMs", ArgType::Integer},
		  {"minShownMs", ArgType::Integer}},
		 [](const CommandArgs &args, QString &, QJsonObject &) {
			 hidePov(args.integer("delayMs"),
				 args.integer("minShownMs"));
		 }},
		// The defaults are the window's resting layout, in canvas
		// fractions, at full opacity.
		{"dual.show",
		 {{"slot", ArgType::Integer},
		  {"x", ArgType::Number, 0.012},
		  {"y", ArgType::Number, 0.19},
		  {"w", ArgType::Number, 0.26},
		  {"opacity", ArgType::Number, 1.0}},
		 [](const CommandArgs &args, QString &error,
		    QJsonObject &data) {
			 error = showDual(args.integer("slot"),
					  args.number("x"), args.number("y"),
					  args.number("w"),
					  args.number("opacity"), data);
		 }},
		{"dual.hide",
		 {},
		 [](const CommandArgs &, QString &, QJsonObject &) {
			 hideDual();
		 }},
	};
	return rows;
}

void dispatchCommand(const QString &cmd, const QJsonObject &args,
		     QString &error, QJsonObject &data,
		     const EarlyReply &earlyReply)
{
	static const QHash<QString, const CommandRow *> byName = [] {
		QHash<QString, const CommandRow *> index;
		for (const CommandRow &row : commandTable())
			index.insert(QString::fromUtf8(row.name), &row);
		return index;
	}();

	const CommandRow *row = byName.value(cmd);
	if (!row) {
		error = QStringLiteral("unknown command ") + cmd;
		return;
	}
	row->run(CommandArgs(args, row->args, earlyReply), error, data);
}
