#pragma once

#include <obs.hpp>

#include <string>
#include <vector>

// The module's one settings record, kept in config.json in the module's
// configuration folder.
struct LinkConfig {
	std::string token;
	int port = 47841;
	bool allowLan = false;
	std::string appUrl = "http://127.0.0.1:47840";
	std::vector<std::string> povSources;
	bool dockShown = false;
	// Saved bindings of the three hotkeys (clip, replay, pov), or null.
	OBSDataArrayAutoRelease hotkeys;
};

// The one record, built with its defaults on first use.
LinkConfig &linkConfig();

// Reads config.json, makes a token when none is stored, writes the token
// file. Called once, first thing at load.
void loadLinkConfig(LinkConfig &config);

// Writes the whole record to config.json (through a temporary file, keeping
// the previous file as a backup).
void saveLinkConfig(const LinkConfig &config);
