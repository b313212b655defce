#include <gtest/gtest.h>

#include <obs.hpp>

#include <QJsonArray>
#include <QJsonObject>

#include <map>
#include <thread>

#include "loaded_module.h"
#include "module/hotkeys.h"
#include "frontend_double.h"
#include "module/module_state.h"
#include "wait.h"

namespace {
class Hotkeys : public LoadedModule {
protected:
	// Key names bound to a hotkey, as the host saves them.
	static std::vector<std::string> boundKeys(obs_hotkey_id id)
	{
		std::vector<std::string> keys;
		OBSDataArrayAutoRelease saved = obs_hotkey_save(id);
		for (size_t i = 0; i < obs_data_array_count(saved); i++) {
			OBSDataAutoRelease key = obs_data_array_item(saved, i);
			keys.push_back(obs_data_get_string(key, "key"));
		}
		return keys;
	}

	static QJsonObject binding(const char *key)
	{
		return {{"keys", QJsonArray{QJsonObject{{"key", key}}}}};
	}

	static QJsonObject hotkeyEvent(const char *action)
	{
		return {{"op", "event"},
			{"event", "hotkey"},
			{"action", action}};
	}
};

bool collectHotkey(void *param, obs_hotkey_id, obs_hotkey_t *key)
{
	auto *found = static_cast<std::map<std::string, std::string> *>(param);
	(*found)[obs_hotkey_get_name(key)] = obs_hotkey_get_description(key);
	return true;
}
}

TEST_F(Hotkeys, ThreeFrontEndHotkeysWithLocaleDescriptions)
{
	load();
	std::map<std::string, std::string> found;
	obs_enum_hotkeys(collectHotkey, &found);
	EXPECT_EQ(found["tessil.link.clip"], "Tessil: clip");
	EXPECT_EQ(found["tessil.link.replay"], "Tessil: save replay");
	EXPECT_EQ(found["tessil.link.pov"], "Tessil: squad POV");
}

TEST_F(Hotkeys, APressSendsOneEventAndAReleaseNothing)
{
	load({{"hotkeys",
	       QJsonArray{binding("OBS_KEY_F13"), binding("OBS_KEY_F14"),
			  binding("OBS_KEY_F15")}}});
	WsClient linked;
	ASSERT_TRUE(linked.openAndLink(port, "tok"));
	WsClient stranger;
	ASSERT_TRUE(stranger.open(port));

	const obs_key_combination_t f14 = {0, OBS_KEY_F14};
	obs_hotkey_inject_event(f14, true);
	EXPECT_EQ(linked.next(), hotkeyEvent("replay"));
	obs_hotkey_inject_event(f14, false);
	pumpEvents(100);
	EXPECT_TRUE(linked.messages.isEmpty());
	EXPECT_TRUE(stranger.messages.isEmpty());
}

TEST_F(Hotkeys, APressOnAnotherThreadIsSentFromTheServersThread)
{
	load();
	WsClient linked;
	ASSERT_TRUE(linked.openAndLink(port, "tok"));

	// As libobs's hotkey thread or obs-websocket's would.
	static char clip[] = "clip";
	std::thread([] {
		onHotkey(clip, moduleState().hotkeyIds[HotkeyClip], nullptr,
			 true);
		onHotkey(clip, moduleState().hotkeyIds[HotkeyClip], nullptr,
			 false);
	}).join();
	EXPECT_EQ(linked.next(), hotkeyEvent("clip"));
	pumpEvents(100);
	EXPECT_TRUE(linked.messages.isEmpty());
}

TEST_F(Hotkeys, BindingsAreRestoredByPositionAndSavedAtUnload)
{
	load({{"hotkeys",
	       QJsonArray{binding("OBS_KEY_F1"), binding("OBS_KEY_F2"),
			  binding("OBS_KEY_F3"), binding("OBS_KEY_F4")}}});
	const obs_hotkey_id *ids = moduleState().hotkeyIds;
	EXPECT_EQ(boundKeys(ids[HotkeyClip]),
		  std::vector<std::string>{"OBS_KEY_F1"});
	EXPECT_EQ(boundKeys(ids[HotkeyReplay]),
		  std::vector<std::string>{"OBS_KEY_F2"});
	EXPECT_EQ(boundKeys(ids[HotkeyPov]),
		  std::vector<std::string>{"OBS_KEY_F3"});

	// The user rebinds pov; unload saves three entries, the fourth gone.
	OBSDataArrayAutoRelease keys = obs_data_array_create();
	OBSDataAutoRelease key = obs_data_create();
	obs_data_set_string(key, "key", "OBS_KEY_F9");
	obs_data_array_push_back(keys, key);
	obs_hotkey_load(ids[HotkeyPov], keys);
	unload();

	const QJsonArray saved = savedConfig().value("hotkeys").toArray();
	ASSERT_EQ(saved.size(), 3);
	const char *expected[] = {"OBS_KEY_F1", "OBS_KEY_F2", "OBS_KEY_F9"};
	for (int i = 0; i < 3; i++)
		EXPECT_EQ(saved[i].toObject()
				  .value("keys")
				  .toArray()
				  .at(0)
				  .toObject()
				  .value("key")
				  .toString(),
			  expected[i]);
}

TEST_F(Hotkeys, AShortOrMissingArrayRestoresWhatItHas)
{
	load({{"hotkeys", QJsonArray{binding("OBS_KEY_F5"), QJsonObject()}}});
	const obs_hotkey_id *ids = moduleState().hotkeyIds;
	EXPECT_EQ(boundKeys(ids[HotkeyClip]),
		  std::vector<std::string>{"OBS_KEY_F5"});
	EXPECT_TRUE(boundKeys(ids[HotkeyReplay]).empty());
	EXPECT_TRUE(boundKeys(ids[HotkeyPov]).empty());
}

TEST_F(Hotkeys, BindingsAreSavedWhenOBSBeginsToExit)
{
	// libobs frees the hotkeys before modules unload: the bindings are
	// saved on the exit event, and unload leaves that save alone.
	load({{"hotkeys",
	       QJsonArray{binding("OBS_KEY_F1"), binding("OBS_KEY_F2"),
			  binding("OBS_KEY_F3")}}});
	frontend::fireEvent(OBS_FRONTEND_EVENT_EXIT);
	QJsonArray saved = savedConfig().value("hotkeys").toArray();
	ASSERT_EQ(saved.size(), 3);
	EXPECT_EQ(saved[2].toObject()
			  .value("keys")
			  .toArray()
			  .at(0)
			  .toObject()
			  .value("key")
			  .toString(),
		  "OBS_KEY_F3");

	obs_hotkey_load(moduleState().hotkeyIds[HotkeyPov], nullptr);
	unload();
	saved = savedConfig().value("hotkeys").toArray();
	ASSERT_EQ(saved.size(), 3);
	EXPECT_EQ(saved[2].toObject()
			  .value("keys")
			  .toArray()
			  .at(0)
			  .toObject()
			  .value("key")
			  .toString(),
		  "OBS_KEY_F3");
}
