#include "module/hotkeys.h"

#include <obs-module.h>
#include <obs.hpp>

#include <QJsonObject>
#include <QMetaObject>
#include <QCoreApplication>
#include <QThread>

#include "config/link_config.h"
#include "module/module_state.h"
#include "server/link_server.h"

namespace {
struct HotkeyRow {
	const char *name;
	const char *descriptionKey;
	const char *action;
};

const HotkeyRow hotkeyRows[HotkeyCount] = {
	{"tessil.link.clip", "TessilLink.Hotkey.Clip", "clip"},
	{"tessil.link.replay", "TessilLink.Hotkey.Replay", "replay"},
	{"tessil.link.pov", "TessilLink.Hotkey.Pov", "pov"},
};

void broadcastHotkey(const QString &action)
{
	if (LinkServer *server = moduleState().linkServer.get())
		server->broadcastEvent(QStringLiteral("hotkey"),
				       QJsonObject{{"action", action}});
}
}

void registerHotkeys()
{
	for (int i = 0; i < HotkeyCount; i++) {
		const HotkeyRow &row = hotkeyRows[i];
		moduleState().hotkeyIds[i] = obs_hotkey_register_frontend(
			row.name, obs_module_text(row.descriptionKey), onHotkey,
			const_cast<char *>(row.action));
	}
}

void restoreHotkeyBindings()
{
	obs_data_array_t *saved = linkConfig().hotkeys;
	const size_t count = obs_data_array_count(saved);
	for (size_t i = 0; i < count && i < size_t(HotkeyCount); i++) {
		OBSDataAutoRelease entry = obs_data_array_item(saved, i);
		OBSDataArrayAutoRelease keys =
			obs_data_get_array(entry, "keys");
		obs_hotkey_load(moduleState().hotkeyIds[i], keys);
	}
}

void saveHotkeyBindings()
{
	OBSDataArrayAutoRelease bindings = obs_data_array_create();
	for (obs_hotkey_id id : moduleState().hotkeyIds) {
		OBSDataArrayAutoRelease keys = obs_hotkey_save(id);
		OBSDataAutoRelease entry = obs_data_create();
		obs_data_set_array(entry, "keys", keys);
		obs_data_array_push_back(bindings, entry);
	}
	LinkConfig &config = linkConfig();
	config.hotkeys = std::move(bindings);
	saveLinkConfig(config);
}

void onHotkey(void *data, obs_hotkey_id, obs_hotkey_t *, bool pressed)
{
	if (!pressed)
		return;
	const QString action =
		QString::fromUtf8(static_cast<const char *>(data));
	// The server lives on the user-interface thread, the application's.
	QCoreApplication *app = QCoreApplication::instance();
	if (app && QThread::currentThread() == app->thread()) {
		broadcastHotkey(action);
		return;
	}
	// Pressed on libobs's hotkey thread or by another plug-in's thread:
	// the sockets are touched on the server's thread only.
	postToLinkServer([action]() { broadcastHotkey(action); });
}
