#pragma once

#include <gtest/gtest.h>
#include <obs.hpp>

#include <QString>
#include <QTemporaryDir>

#include <vector>

// Real libobs, started headless for each test in a fresh configuration
// folder, with the test source kinds registered, a module handle for the
// plug-in's code, and the front-end double reset. At the end every libobs
// allocation made during the test must be gone: a leaked source, scene
// item, data object, array or weak reference fails the test that leaked it.
class ObsTest : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	// Starts video (libobs-opengl under the test display) with a canvas of
	// the given size. False when the graphics module cannot start.
	bool startVideo(uint32_t width = 1280, uint32_t height = 720);

	// Where the host keeps scene item positions relative to the canvas
	// (see libobs_host.h), starts video with the 1920x1080 canvas that the
	// plug-in assumes without video, so that items can be placed; elsewhere
	// nothing. Call it before making scene items. False when video cannot
	// start.
	bool startVideoForSceneItems();

	// A public scene that the front-end does not list (borrowed: held
	// until tear-down, then removed as frontend::removeScene does).
	obs_scene_t *unlistedScene(const char *name);

	// Folder given to libobs as the module configuration path.
	QString moduleConfigRoot() const;
	// The plug-in's own configuration folder and its config.json.
	QString pluginConfigDir() const;
	QString configJsonPath() const;
	// $XDG_CONFIG_HOME during the test.
	QString userConfigDir() const;
	QString tokenFilePath() const;

	// Registers the stand-in colour filter kind (off for tests that load
	// the real obs-filters module).
	bool registerColorFilterStandIn = true;

private:
	void drainDestroyQueue();

	QTemporaryDir tempDir;
	std::vector<OBSSceneAutoRelease> unlistedScenes;
	long allocsBefore = 0;
	bool started = false;
};

// Picks a TCP port on 127.0.0.1 that nothing listens on right now.
int freeTcpPort();
