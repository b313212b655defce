// libFuzzer target for request handling: one JSON object from a client
// through LinkServer::handleMessage, the command table and every handler,
// on real libobs scenes and the front-end double, then the deferred work the
// request started (squad POV steps, the dual POV animation).
//
// Input layout:
//   byte 0: how the message is made and who sends it
//     bit 0     0: the rest of the input (from byte 2) is the message's JSON
//               text; 1: a request built from byte 2 and the rest
//     bits 1-2  both set: the client has not authenticated yet
//     bits 3-4  squad POV sources: keep the list; two sources; none; a list
//               with a missing and a repeated name
//   byte 1: what happens in OBS around the message
//     bit 0  studio mode on/off (a program copy on output channel 0)
//     bit 1  the running dual POV animation reaches its end
//     bit 2  a scene collection change (resetDualPov), after the message
//     bit 3  scene "Alt" deleted, or added again
//     bit 4  replay buffer on/off
//     bit 5  the program scene moves to the next scene, without an event
//     bit 6  source "Cam B" renamed to "Cam B2", or back
//     bit 7  pending squad POV steps dropped (as at unload)
//   built requests, byte 2: low four bits the command (the table's names, a
//     wrong-case name, a name with a blank, no "cmd"), high four bits the
//     "id" (missing, fractional, a string, out of range, ...); the rest is
//     the "args" JSON text, left out when it does not parse.
//
// State carries over from input to input (windows, filters, overlays,
// flags, pending steps). Every TESSIL_FUZZ_RESET_EVERY inputs (default 256)
// and whenever the sources pile up, libobs is shut down and started again
// with a fresh scene graph; every libobs allocation must be gone by then,
// so a leaked reference is a finding. A leak found that way is reported on
// the input that ended the batch: run the corpus and the finding with
// TESSIL_FUZZ_RESET_EVERY=1 to find the input that leaked.
//
// Every answer is checked against the command table's contract: one "res"
// frame per "req" with the request's id, "ok" matching "error", and each
// command's own error texts and data members; nothing at all for other
// messages of a linked client; "ready" or "denied" for the first message.
// After the deferred work: a squad POV step that acted left exactly its
// source shown and playing, and no dual POV window stays visible once the
// dual POV is off or has made way.

#include <obs-frontend-api.h>
#include <obs-module.h>
#include <obs.hpp>
#include <util/base.h>
#include <util/bmem.h>

#include <QCoreApplication>
#include <QEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QStringList>
#include <QTcpSocket>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "config/link_config.h"
#include "frontend_double.h"
#include "obs/scene_lookup.h"
#include "pov/dual_pov.h"
#include "pov/pov_flags.h"
#include "pov/squad_pov.h"
#include "server/command_table.h"
#include "server/link_client.h"
#include "server/link_server.h"
#include "test_kinds.h"

namespace {
const char fuzzToken[] = "fuzz-token";
const char reservedName[] = "Tessil \xC2\xB7 chat";
const size_t sourceLimit = 300;

// The command names, written out here rather than read from the table, so
// that a row that goes missing or changes its name is noticed.
const char *const commandNames[] = {
	"status",           "replay.save", "replay.start", "replay.stop",
	"overlays.install", "scenes.list", "scene.set",    "scene.current",
	"item.visible",     "pov.show",    "pov.hide",     "dual.show",
	"dual.hide",
};
const int commandCount = int(sizeof(commandNames) / sizeof(*commandNames));

const char noPovSources[] = "no squad POV sources chosen (Tools > Tessil Link)";
const char visibleCheck[] =
	"item.visible needs \"visible\": true or false, or \"toggle\": true";
const char replayOff[] =
	"OBS's replay buffer is off (Settings > Output > Replay Buffer)";

[[noreturn]] void fail(const char *what, const QJsonObject &message = {},
		       const QByteArray &reply = {})
{
	fprintf(stderr, "broken invariant: %s\n", what);
	if (!message.isEmpty())
		fprintf(stderr, "  message: %s\n",
			QJsonDocument(message)
				.toJson(QJsonDocument::Compact)
				.constData());
	if (!reply.isEmpty())
		fprintf(stderr, "  reply:   %s\n", reply.constData());
	abort();
}

// ---------------------------------------------------------------------------
// Logging: libobs's and the module's lines are counted, not printed, unless
// TESSIL_FUZZ_LOG is set.

struct LogCounts {
	long lines = 0;
	long errors = 0;
	long povShown = 0;
	long povBack = 0;
	long dualLines = 0;
	long windowsAdded = 0;
	std::vector<std::string> firstErrors;
};

LogCounts logCounts;
bool printLog = false;
// The last squad POV step that acted since this was cleared: the source it
// showed, empty for a step back to the own view.
bool povStepRan = false;
std::string povStepShown;

bool startsWith(const char *text, const char *prefix)
{
	return strncmp(text, prefix, strlen(prefix)) == 0;
}

void countLogLine(int level, const char *format, va_list args, void *)
{
	char line[512];
	vsnprintf(line, sizeof(line), format, args);
	logCounts.lines++;
	if (level <= LOG_ERROR) {
		logCounts.errors++;
		if (logCounts.firstErrors.size() < 8)
			logCounts.firstErrors.push_back(line);
	}
	static const char showing[] = "[tessil-link] POV: showing ";
	if (startsWith(line, showing)) {
		logCounts.povShown++;
		povStepRan = true;
		povStepShown = line + strlen(showing);
	} else if (startsWith(line, "[tessil-link] POV: back")) {
		logCounts.povBack++;
		povStepRan = true;
		povStepShown.clear();
	} else if (startsWith(line, "[tessil-link] dual POV: added"))
		logCounts.windowsAdded++;
	else if (startsWith(line, "[tessil-link] dual POV: "))
		logCounts.dualLines++;
	if (printLog)
		fprintf(stderr, "[%d] %s\n", level, line);
}

// ---------------------------------------------------------------------------
// The client's socket: connected as far as the server can tell, keeping
// what is written to it.

class CaptureSocket : public QTcpSocket {
public:
	CaptureSocket()
	{
		setOpenMode(QIODevice::ReadWrite);
		setSocketState(QAbstractSocket::ConnectedState);
	}

	void disconnectFromHost() override { disconnectCalls++; }

	QByteArray written;
	int disconnectCalls = 0;

protected:
	qint64 readData(char *, qint64) override { return 0; }
	qint64 writeData(const char *data, qint64 size) override
	{
		written.append(data, int(size));
		return size;
	}
};

// The server's frames: FIN + text, unmasked, shortest length form.
std::vector<QByteArray> framesOf(const QByteArray &bytes)
{
	std::vector<QByteArray> frames;
	const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
	const size_t size = size_t(bytes.size());
	size_t at = 0;
	while (at < size) {
		if (size - at < 2)
			fail("truncated frame header");
		if (data[at] != 0x81)
			fail("server frame is not one whole text frame");
		if (data[at + 1] & 0x80)
			fail("server frame masked");
		uint64_t length = data[at + 1] & 0x7F;
		size_t header = 2;
		if (length == 126)
			header = 4;
		else if (length == 127)
			header = 10;
		if (size - at < header)
			fail("truncated frame length");
		if (header > 2) {
			length = 0;
			for (size_t i = at + 2; i < at + header; i++)
				length = length << 8 | data[i];
		}
		if ((header == 4 && length <= 125) ||
		    (header == 10 && length <= 0xFFFF))
			fail("frame length not in its shortest form");
		if (uint64_t(size - at - header) < length)
			fail("frame shorter than its header says");
		frames.push_back(bytes.mid(int(at + header), int(length)));
		at += header + size_t(length);
	}
	return frames;
}

// ---------------------------------------------------------------------------
// The scene graph the requests work on.

struct World {
	// By the name each source was made with: "Cam B" stays the same
	// source while it is renamed.
	std::map<std::string, OBSSourceAutoRelease> feeds;
	OBSSourceAutoRelease transition;
	OBSSceneAutoRelease programCopy;
	bool studio = false;
	bool replayActive = false;
	bool renamed = false;
};

World *world = nullptr;
LinkServer *server = nullptr;
CaptureSocket *socket = nullptr;
long allocsBaseline = 0;
int resetEvery = 256;
long inputCount = 0;
long resetCount = 0;

obs_source_t *feed(const char *name)
{
	OBSSourceAutoRelease &source = world->feeds[name];
	if (!source)
		source = obs_source_create(TEST_FEED_KIND, name, nullptr,
					   nullptr);
	return source;
}

obs_sceneitem_t *add(obs_scene_t *scene, const char *name, bool visible)
{
	obs_sceneitem_t *item = obs_scene_add(scene, feed(name));
	obs_sceneitem_set_visible(item, visible);
	return item;
}

void addGroup(obs_scene_t *scene, const char *name,
	      std::initializer_list<const char *> children)
{
	obs_sceneitem_t *group = obs_scene_add_group2(scene, name, false);
	for (const char *child : children)
		obs_sceneitem_group_add_item(group, add(scene, child, false));
}

void addAltScene()
{
	obs_scene_t *alt = obs_scene_from_source(frontend::addScene("Alt"));
	obs_sceneitem_t *camB = add(alt, "Cam B", true);
	const obs_sceneitem_crop crop = {240, 0, 240, 0};
	obs_sceneitem_set_crop(camB, &crop);
	addGroup(alt, "Team/1", {"Cam C", "Cam A"});
	add(alt, "Game", true);
}

obs_source_t *frontendScene(const char *name)
{
	obs_frontend_source_list list = {};
	obs_frontend_get_scenes(&list);
	obs_source_t *found = nullptr;
	for (size_t i = 0; i < list.sources.num; i++)
		if (strcmp(obs_source_get_name(list.sources.array[i]), name) ==
		    0)
			found = list.sources.array[i];
	obs_frontend_source_list_free(&list);
	// The front-end's list keeps the scene alive.
	return found;
}

void buildWorld()
{
	world = new World();
	linkConfig().token = fuzzToken;
	linkConfig().povSources = {"Cam A", "Cam B"};

	// An overlay that is already installed.
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_int(settings, "width", 1280);
	obs_data_set_int(settings, "height", 720);
	world->feeds["Scoreboard"] = obs_source_create(
		TEST_BROWSER_KIND, "Scoreboard", settings, nullptr);

	obs_scene_t *main = obs_scene_from_source(frontend::addScene("Main"));
	add(main, "Game", true);
	add(main, "Cam A", false);
	add(main, "Cam B", false);
	addGroup(main, "Squad", {"Cam C", "Cam A"});
	add(main, reservedName, true);
	obs_scene_add(main, world->feeds["Scoreboard"]);
	addAltScene();
	frontend::addScene("Empty");
}

void setStudioMode(bool on)
{
	World &w = *world;
	if (on) {
		OBSSourceAutoRelease program = obs_frontend_get_current_scene();
		if (!program)
			return;
		w.programCopy =
			obs_scene_duplicate(obs_scene_from_source(program),
					    obs_source_get_name(program),
					    OBS_SCENE_DUP_PRIVATE_REFS);
		if (!w.transition)
			w.transition = obs_source_create_private(
				TEST_TRANSITION_KIND, "Fade", nullptr);
		obs_transition_set(w.transition,
				   obs_scene_get_source(w.programCopy));
		obs_set_output_source(0, w.transition);
		frontend::setPreviewScene(program);
		frontend::setStudioMode(true);
		w.studio = true;
		return;
	}
	obs_set_output_source(0, nullptr);
	if (w.transition)
		obs_transition_clear(w.transition);
	w.programCopy = nullptr;
	frontend::setStudioMode(false);
	w.studio = false;
}

void moveProgramScene()
{
	obs_frontend_source_list list = {};
	obs_frontend_get_scenes(&list);
	OBSSourceAutoRelease current = obs_frontend_get_current_scene();
	obs_source_t *next = list.sources.num ? list.sources.array[0] : nullptr;
	for (size_t i = 0; i < list.sources.num; i++)
		if (list.sources.array[i] == current.Get())
			next = list.sources.array[(i + 1) % list.sources.num];
	frontend::setProgramScene(next);
	obs_frontend_source_list_free(&list);
}

void toggleAltScene()
{
	if (obs_source_t *alt = frontendScene("Alt"))
		frontend::removeScene(alt);
	else
		addAltScene();
}

void toggleRename()
{
	World &w = *world;
	w.renamed = !w.renamed;
	obs_source_set_name(feed("Cam B"), w.renamed ? "Cam B2" : "Cam B");
}

bool countSource(void *param, obs_source_t *)
{
	(*static_cast<size_t *>(param))++;
	return true;
}

size_t allSourceCount()
{
	size_t count = 0;
	obs_enum_all_sources(countSource, &count);
	return count;
}

void noTask(void *) {}

// Sources go on libobs's destroy thread: let it finish before shutdown,
// which would otherwise destroy a source it is still releasing.
void drainDestroyQueue()
{
	size_t previous = SIZE_MAX;
	for (int round = 0; round < 100; round++) {
		obs_queue_task(OBS_TASK_DESTROY, noTask, nullptr, true);
		obs_wait_for_destroy_queue();
		const size_t count = allSourceCount();
		if (count >= previous)
			break;
		previous = count;
	}
}

void runUiTask(obs_task_t task, void *param, bool)
{
	task(param);
}

void startObs()
{
	if (!obs_startup("en-US", nullptr, nullptr)) {
		fprintf(stderr,
			"obs_startup failed: libobs needs an X "
			"display (DISPLAY=%s)\n",
			getenv("DISPLAY") ? getenv("DISPLAY") : "");
		exit(1);
	}
	obs_set_ui_task_handler(runUiTask);
	registerTestKinds(true);
	buildWorld();
	startPov();
}

void flushDeferredDeletes()
{
	QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Everything of the last batch goes, libobs with it; then every libobs
// allocation must be gone.
void restartObs()
{
	stopPov();
	shutdownDualPov();
	dualPovState() = DualPovState();
	squadPovState() = SquadPovState();
	povFlags() = PovFlags();
	linkConfig() = LinkConfig();
	setStudioMode(false);
	world->transition = nullptr;
	frontend::reset();
	delete world;
	world = nullptr;
	flushDeferredDeletes();

	drainDestroyQueue();
	obs_shutdown();
	resetCount++;
	if (bnum_allocs() != allocsBaseline) {
		fprintf(stderr,
			"libobs allocations leaked: %ld left after shutdown "
			"(run the corpus with TESSIL_FUZZ_RESET_EVERY=1 to "
			"find the input)\n",
			bnum_allocs() - allocsBaseline);
		abort();
	}
	startObs();
}

// ---------------------------------------------------------------------------
// The contract of each answer.

// The 32-bit id rule, written independently of the server's.
int expectedInt(const QJsonValue &value)
{
	if (value.type() != QJsonValue::Double)
		return 0;
	const double number = value.toDouble();
	if (!(number >= -2147483648.0 && number <= 2147483647.0) ||
	    std::floor(number) != number)
		return 0;
	return int(number);
}

QString currentSceneName()
{
	OBSSourceAutoRelease scene = obs_frontend_get_current_scene();
	return scene ? QString::fromUtf8(obs_source_get_name(scene))
		     : QString();
}

bool hasCurrentScene()
{
	OBSSourceAutoRelease scene = obs_frontend_get_current_scene();
	return scene != nullptr;
}

QStringList frontendSceneNames()
{
	QStringList names;
	obs_frontend_source_list list = {};
	obs_frontend_get_scenes(&list);
	for (size_t i = 0; i < list.sources.num; i++)
		names.append(QString::fromUtf8(
			obs_source_get_name(list.sources.array[i])));
	obs_frontend_source_list_free(&list);
	return names;
}

QJsonArray povSourceArray()
{
	QJsonArray names;
	for (const std::string &name : linkConfig().povSources)
		names.append(QString::fromStdString(name));
	return names;
}

bool hasOnly(const QJsonObject &object,
	     std::initializer_list<const char *> keys)
{
	QSet<QString> allowed;
	for (const char *key : keys)
		allowed.insert(QString::fromLatin1(key));
	for (const QString &key : object.keys())
		if (!allowed.contains(key))
			return false;
	return true;
}

// The status object, as "status" and "ready" carry it.
bool isStatus(const QJsonObject &status)
{
	const bool sceneRight =
		hasCurrentScene()
			? status.value("scene").toString() == currentSceneName()
			: !status.contains(QStringLiteral("scene"));
	const QJsonObject canvas = status.value("canvas").toObject();
	return status.value("streaming").isBool() &&
	       status.value("recording").isBool() &&
	       status.value("replayBuffer").toBool() == world->replayActive &&
	       canvas.value("w").isDouble() && canvas.value("h").isDouble() &&
	       status.value("povShown").toBool() == povFlags().povShown &&
	       status.value("dualShown").toBool() == povFlags().dualShown &&
	       status.value("povSources").toArray() == povSourceArray() &&
	       sceneRight &&
	       hasOnly(status,
		       {"streaming", "recording", "replayBuffer", "canvas",
			"povShown", "dualShown", "scene", "povSources", "op"});
}

// What was true before the message was handled.
struct Before {
	std::vector<std::string> povSources;
	QString currentScene;
	bool hadCurrentScene;
};

int clampedSlot(int slot, size_t count)
{
	return std::clamp(slot, 0, int(count) - 1);
}

void checkCommand(const QString &cmd, const QJsonObject &args,
		  const QJsonObject &reply, const Before &before,
		  const QJsonObject &message, const QByteArray &text)
{
	const bool ok = reply.value("ok").toBool();
	const QString error = reply.value("error").toString();
	const bool hasData = reply.contains(QStringLiteral("data"));
	const QJsonObject data = reply.value("data").toObject();
	auto require = [&](bool condition, const char *what) {
		if (!condition)
			fail(what, message, text);
	};
	auto bare = [&](const char *what) {
		require(ok && reply.size() == 3, what);
	};

	int index = -1;
	for (int i = 0; i < commandCount; i++)
		if (cmd == QLatin1String(commandNames[i]))
			index = i;
	if (index < 0) {
		require(!ok && error == "unknown command " + cmd && !hasData,
			"unknown command answer");
		return;
	}

	const std::string name = commandNames[index];
	if (name == "status") {
		require(ok && hasData && isStatus(data), "status answer");
	} else if (name == "replay.save") {
		require(world->replayActive
				? (ok && reply.size() == 3)
				: (!ok && error == replayOff && !hasData),
			"replay.save answer");
	} else if (name == "replay.start" || name == "replay.stop" ||
		   name == "pov.hide" || name == "dual.hide") {
		bare("answer of a command that never fails");
	} else if (name == "overlays.install") {
		require(ok && data.value("added").isDouble() &&
				data.contains("updated") ==
					before.hadCurrentScene &&
				hasOnly(data, {"added", "updated"}),
			"overlays.install answer");
	} else if (name == "scenes.list") {
		QStringList listed;
		for (const QJsonValue &scene : data.value("scenes").toArray()) {
			listed.append(
				scene.toObject().value("name").toString());
			require(scene.toObject().value("items").isArray(),
				"scenes.list items");
		}
		require(ok &&
				data.value("current").toString() ==
					currentSceneName() &&
				listed == frontendSceneNames() &&
				hasOnly(data, {"current", "scenes"}),
			"scenes.list answer");
	} else if (name == "scene.set" || name == "scene.current") {
		require(data == QJsonObject{{"previous", before.currentScene}},
			"scene.set data");
		const QString target = args.value("name").toString();
		require(ok ? currentSceneName() == target || world->studio
			   : (error == "no scene name given"
				      ? target.isEmpty()
				      : error == "no scene named " + target ||
						error.startsWith("OBS is in")),
			"scene.set answer");
	} else if (name == "item.visible") {
		const bool toggle = args.value("toggle") == QJsonValue(true);
		if (!toggle && !args.value("visible").isBool()) {
			require(!ok && error == visibleCheck && !hasData,
				"item.visible check");
			return;
		}
		require(data.value("found").toBool() == ok,
			"item.visible found");
		if (!ok) {
			require(data == QJsonObject{{"found", false}},
				"item.visible failure data");
			return;
		}
		require(data.value("visible").isBool() &&
				(toggle || data.value("visible") ==
						   args.value("visible")) &&
				hasOnly(data, {"found", "visible"}),
			"item.visible answer");
	} else if (name == "pov.show") {
		require(before.povSources.empty()
				? (!ok && error == noPovSources && !hasData)
				: (ok && reply.size() == 3),
			"pov.show answer");
	} else if (name == "dual.show") {
		if (before.povSources.empty()) {
			require(!ok && error == noPovSources && !hasData,
				"dual.show without sources");
			return;
		}
		const int slot = clampedSlot(expectedInt(args.value("slot")),
					     before.povSources.size());
		const QString source =
			QString::fromStdString(before.povSources[size_t(slot)]);
		if (!ok) {
			require(!hasData &&
					(error ==
						 "no source named " + source +
							 " (squad POV slot " +
							 QString::number(slot) +
							 ")" ||
					 (error == "no current scene" &&
					  !before.hadCurrentScene)),
				"dual.show failure");
			return;
		}
		require(data == QJsonObject{{"source", source},
					    {"slot", slot},
					    {"shown", !povFlags().povShown}},
			"dual.show data");
	}
}

// No marked window stays visible in the front-end's scenes once the dual
// POV is off or made way, and no animation is left to hide it.
void checkWindows()
{
	const DualPovState &dual = dualPovState();
	if (dual.animDirection != 0 ||
	    (povFlags().dualShown && !dual.dualMadeWay))
		return;
	obs_frontend_source_list list = {};
	obs_frontend_get_scenes(&list);
	bool visibleWindow = false;
	for (size_t i = 0; i < list.sources.num; i++)
		for (const SceneItemRef &item :
		     sceneItems(obs_scene_from_source(list.sources.array[i])))
			if (isDualPovWindow(item) &&
			    obs_sceneitem_visible(item))
				visibleWindow = true;
	obs_frontend_source_list_free(&list);
	if (visibleWindow)
		fail(povFlags().dualShown
			     ? "a dual POV window is visible while it makes way"
			     : "a dual POV window is visible while the dual POV is off");
}

// Right after a squad POV step acted: of the listed sources only the shown
// one has visible top-level items (windows aside) in the front-end's scenes
// and plays its sound; after a step back none does.
void checkPovStep()
{
	if (!povStepRan)
		return;
	if (povFlags().povShown == povStepShown.empty())
		fail("povShown does not match the last squad POV step");
	obs_frontend_source_list list = {};
	obs_frontend_get_scenes(&list);
	for (const std::string &listed : linkConfig().povSources) {
		const bool shown = listed == povStepShown;
		for (size_t i = 0; i < list.sources.num; i++)
			for (const SceneItemRef &item :
			     sceneItems(obs_scene_from_source(
				     list.sources.array[i])))
				if (itemSourceName(item) == listed &&
				    !isDualPovWindow(item) &&
				    obs_sceneitem_visible(item) != shown)
					fail(shown ? "the shown POV source has a hidden item"
						   : "another POV source has a visible item");
		OBSSourceAutoRelease source =
			obs_get_source_by_name(listed.c_str());
		if (source && obs_source_muted(source) == shown)
			fail(shown ? "the shown POV source is muted"
				   : "another POV source is not muted");
	}
	obs_frontend_source_list_free(&list);
}

// ---------------------------------------------------------------------------
// Building the message.

QJsonValue idVariant(int code, int argsSize)
{
	switch (code) {
	case 0:
		return QJsonValue(QJsonValue::Undefined);
	case 1:
		return 7;
	case 2:
		return QStringLiteral("7");
	case 3:
		return 7.5;
	case 4:
		return -1;
	case 5:
		return 2147483647.0;
	case 6:
		return 2147483648.0;
	case 7:
		return -2147483648.0;
	case 8:
		return -2147483649.0;
	case 9:
		return 1e300;
	case 10:
		return true;
	case 11:
		return QJsonValue(QJsonValue::Null);
	case 12:
		return QJsonArray{7};
	case 13:
		return QJsonObject{{"n", 7}};
	case 14:
		return 1.0;
	default:
		return argsSize;
	}
}

QJsonObject builtRequest(uint8_t selector, const QByteArray &argsText)
{
	QJsonObject request{{"op", "req"}};
	const int command = selector & 0x0F;
	if (command < commandCount)
		request.insert("cmd", commandNames[command]);
	else if (command == 13)
		request.insert("cmd", "Status");
	else if (command == 14)
		request.insert("cmd", "dual.show ");
	const QJsonValue id = idVariant(selector >> 4, argsText.size());
	if (!id.isUndefined())
		request.insert("id", id);

	QJsonParseError error;
	const QJsonDocument args = QJsonDocument::fromJson(argsText, &error);
	if (error.error == QJsonParseError::NoError)
		request.insert("args", args.isObject()
					       ? QJsonValue(args.object())
					       : QJsonValue(args.array()));
	return request;
}

void applyPovPreset(int preset)
{
	switch (preset) {
	case 1:
		linkConfig().povSources = {"Cam A", "Cam B"};
		break;
	case 2:
		linkConfig().povSources.clear();
		break;
	case 3:
		linkConfig().povSources = {"Cam B", "Ghost", "Cam A", "Cam A"};
		break;
	default:
		break;
	}
}

void runDeferredWork(bool finishAnimation)
{
	// Zero-delay steps and whatever timers are due by now.
	QCoreApplication::processEvents();
	DualPovState &dual = dualPovState();
	if (dual.animDirection != 0)
		dualAnimationTick();
	if (finishAnimation && dual.animDirection != 0) {
		dual.animDelayMs = -1000000;
		dualAnimationTick();
	}
	QCoreApplication::processEvents();
	flushDeferredDeletes();
}

void handleOne(const QJsonObject &message, bool authenticated)
{
	LinkClient client(socket);
	client.handshakeDone = true;
	client.authenticated = authenticated;
	socket->written.clear();
	socket->disconnectCalls = 0;

	const Before before{linkConfig().povSources, currentSceneName(),
			    hasCurrentScene()};
	server->handleMessage(client, message);

	const std::vector<QByteArray> frames = framesOf(socket->written);
	const QString op = message.value("op").toString();
	auto require = [&](bool condition, const char *what) {
		if (!condition)
			fail(what, message, socket->written);
	};

	if (!authenticated) {
		require(frames.size() == 1, "first message: not one answer");
		const QJsonObject answer =
			QJsonDocument::fromJson(frames[0]).object();
		if (op == "auth" &&
		    message.value("token").toString() == fuzzToken) {
			require(client.authenticated && !client.closing &&
					socket->disconnectCalls == 0,
				"right token not linked");
			require(answer.value("op") == "ready" &&
					isStatus(answer),
				"ready answer");
			require(client.app == message.value("app").toString(),
				"app of the linked client");
		} else {
			require(!client.authenticated && client.closing &&
					socket->disconnectCalls == 1,
				"refused client not closed");
			require(answer == QJsonObject{{"op", "denied"}},
				"denied answer");
		}
		return;
	}

	if (op != "req") {
		require(frames.empty(),
			"answer to a message that is no request");
		return;
	}
	require(frames.size() == 1, "not exactly one answer to a request");
	QJsonParseError error;
	const QJsonDocument document =
		QJsonDocument::fromJson(frames[0], &error);
	require(error.error == QJsonParseError::NoError && document.isObject(),
		"answer is not a JSON object");
	const QJsonObject reply = document.object();
	const bool ok = reply.value("ok").toBool();
	require(reply.value("op") == "res", "answer op");
	require(reply.value("id").isDouble() &&
			reply.value("id").toDouble() ==
				expectedInt(message.value("id")),
		"answer id");
	require(reply.value("ok").isBool(), "answer ok");
	require(ok != reply.contains("error"),
		"error present exactly when not ok");
	require(ok || !reply.value("error").toString().isEmpty(),
		"empty error text");
	require(!reply.contains("data") ||
			(reply.value("data").isObject() &&
			 !reply.value("data").toObject().isEmpty()),
		"data present but empty");
	require(hasOnly(reply, {"op", "id", "ok", "error", "data"}),
		"unexpected member in the answer");
	checkCommand(message.value("cmd").toString(),
		     message.value("args").toObject(), reply, before, message,
		     socket->written);
}
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
	static int appArgc = 1;
	static char *appArgv[] = {(*argv)[0], nullptr};
	(void)argc;
	new QCoreApplication(appArgc, appArgv);

	printLog = getenv("TESSIL_FUZZ_LOG") != nullptr;
	if (const char *every = getenv("TESSIL_FUZZ_RESET_EVERY"))
		resetEvery = std::max(atoi(every), 1);
	base_set_log_handler(countLogLine, nullptr);

	// The table's names are the ones this target checks against.
	std::vector<std::string> rows;
	for (const CommandRow &row : commandTable())
		rows.push_back(row.name);
	std::vector<std::string> expected(commandNames,
					  commandNames + commandCount);
	std::sort(rows.begin(), rows.end());
	std::sort(expected.begin(), expected.end());
	if (rows != expected)
		fail("the command table's names differ from the known commands");

	allocsBaseline = bnum_allocs();
	startObs();
	server = new LinkServer();
	socket = new CaptureSocket();

	atexit([] {
		fprintf(stderr,
			"fuzz_requests: %ld inputs, %ld libobs restarts; log "
			"lines %ld (POV shown %ld, back %ld, dual %ld, windows "
			"added %ld), libobs errors %ld\n",
			inputCount, resetCount, logCounts.lines,
			logCounts.povShown, logCounts.povBack,
			logCounts.dualLines, logCounts.windowsAdded,
			logCounts.errors);
		for (const std::string &line : logCounts.firstErrors)
			fprintf(stderr, "  error line: %s\n", line.c_str());
	});
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	const uint8_t how = data[0];
	const uint8_t around = data[1];
	const bool built = how & 0x01;
	const bool authenticated = (how & 0x06) != 0x06;

	QJsonObject message;
	if (built) {
		if (size < 3)
			return 0;
		message = builtRequest(
			data[2],
			QByteArray(reinterpret_cast<const char *>(data + 3),
				   int(size - 3)));
	} else {
		const QJsonDocument document = QJsonDocument::fromJson(
			QByteArray(reinterpret_cast<const char *>(data + 2),
				   int(size - 2)));
		// The frame decoder hands on JSON objects only.
		if (!document.isObject())
			return 0;
		message = document.object();
	}
	inputCount++;

	applyPovPreset((how >> 3) & 0x03);
	if (around & 0x01)
		setStudioMode(!world->studio);
	if (around & 0x08)
		toggleAltScene();
	// A deleted scene goes on libobs's destroy thread. libobs 29 races
	// there with a rename on this thread (both free the items' hotkey
	// descriptions); OBS's own timing keeps them apart, so let the
	// destruction finish first.
	if (around & 0x09)
		drainDestroyQueue();
	if (around & 0x10) {
		world->replayActive = !world->replayActive;
		frontend::setReplayBufferActive(world->replayActive);
	}
	if (around & 0x20)
		moveProgramScene();
	if (around & 0x40)
		toggleRename();
	if (around & 0x80) {
		stopPov();
		startPov();
	}

	handleOne(message, authenticated);
	povStepRan = false;
	runDeferredWork(around & 0x02);
	checkPovStep();
	if (around & 0x04)
		resetDualPov();
	checkWindows();

	if (inputCount % resetEvery == 0 || allSourceCount() > sourceLimit)
		restartObs();
	return 0;
}
