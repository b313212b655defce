#pragma once

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <obs-module.h>

#include "link_clients.h"
#include "obs_fixture.h"

// The plug-in loaded through its entry points, on a port of the test's own,
// with token "tok".
class LoadedModule : public ObsTest {
protected:
	void SetUp() override
	{
		ObsTest::SetUp();
		port = freeTcpPort();
	}

	void TearDown() override
	{
		if (loaded)
			obs_module_unload();
		ObsTest::TearDown();
	}

	// Writes config.json with the test's port and token, plus `extra`
	// members, then loads the module.
	void load(const QJsonObject &extra = QJsonObject())
	{
		QJsonObject config = extra;
		config.insert("token", "tok");
		config.insert("port", port);
		QDir().mkpath(pluginConfigDir());
		QFile file(configJsonPath());
		ASSERT_TRUE(file.open(QIODevice::WriteOnly));
		file.write(QJsonDocument(config).toJson());
		file.close();
		obs_module_set_locale("en-US");
		ASSERT_TRUE(obs_module_load());
		loaded = true;
	}

	void unload()
	{
		obs_module_unload();
		loaded = false;
	}

	QJsonObject savedConfig() const
	{
		QFile file(configJsonPath());
		file.open(QIODevice::ReadOnly);
		return QJsonDocument::fromJson(file.readAll()).object();
	}

	int port = 0;
	bool loaded = false;
};
