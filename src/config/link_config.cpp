#include "config/link_config.h"

#include "config/link_token.h"
#include "config/private_file.h"

#include <obs-module.h>
#include <util/platform.h>

#include <string>

namespace {
const char configFileName[] = "config.json";

std::string stringOf(obs_data_t *data, const char *key)
{
	const char *value = obs_data_get_string(data, key);
	return value ? value : "";
}

void readInto(LinkConfig &config, obs_data_t *data)
{
	config.token = stringOf(data, "token");
	if (obs_data_has_user_value(data, "port"))
		config.port = static_cast<int>(obs_data_get_int(data, "port"));
	config.allowLan = obs_data_get_bool(data, "allowLan");
	config.dockShown = obs_data_get_bool(data, "dockShown");
	const std::string appUrl = stringOf(data, "appUrl");
	if (!appUrl.empty())
		config.appUrl = appUrl;

	config.povSources.clear();
	OBSDataArrayAutoRelease sources =
		obs_data_get_array(data, "povSources");
	const size_t count = obs_data_array_count(sources);
	for (size_t i = 0; i < count; i++) {
		OBSDataAutoRelease source = obs_data_array_item(sources, i);
		config.povSources.push_back(stringOf(source, "name"));
	}

	config.hotkeys = obs_data_get_array(data, "hotkeys");
}
}

LinkConfig &linkConfig()
{
	static LinkConfig config;
	return config;
}

void loadLinkConfig(LinkConfig &config)
{
	char *path = obs_module_get_config_path(obs_current_module(),
						configFileName);
	if (path) {
		OBSDataAutoRelease data =
			obs_data_create_from_json_file_safe(path, "bak");
		if (data)
			readInto(config, data);
	}

	if (config.token.empty()) {
		config.token = makeLinkToken();
		saveLinkConfig(config);
	}
	writeTokenFile(config);
	bfree(path);
}

void saveLinkConfig(const LinkConfig &config)
{
	char *folder = obs_module_get_config_path(obs_current_module(), "");
	char *path = obs_module_get_config_path(obs_current_module(),
						configFileName);
	if (folder)
		os_mkdirs(folder);

	OBSDataAutoRelease data = obs_data_create();
	obs_data_set_string(data, "token", config.token.c_str());
	obs_data_set_int(data, "port", config.port);
	obs_data_set_bool(data, "allowLan", config.allowLan);
	obs_data_set_bool(data, "dockShown", config.dockShown);
	obs_data_set_string(data, "appUrl", config.appUrl.c_str());

	OBSDataArrayAutoRelease sources = obs_data_array_create();
	for (const std::string &name : config.povSources) {
		OBSDataAutoRelease source = obs_data_create();
		obs_data_set_string(source, "name", name.c_str());
		obs_data_array_push_back(sources, source);
	}
	obs_data_set_array(data, "povSources", sources);
	if (config.hotkeys)
		obs_data_set_array(data, "hotkeys", config.hotkeys);

	if (path) {
		// The temporary file becomes config.json: create it private.
		const std::string temporary = std::string(path) + ".tmp";
		preparePrivateFile(temporary.c_str());
		obs_data_save_json_safe(data, path, "tmp", "bak");
		restrictToOwner(path);
	}
	bfree(path);
	bfree(folder);
}
