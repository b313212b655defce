#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

#include "config/link_config.h"
#include "obs_fixture.h"

namespace {
class LinkConfigTest : public ObsTest {
protected:
	void writeConfig(const QByteArray &json)
	{
		QDir().mkpath(pluginConfigDir());
		QFile file(configJsonPath());
		ASSERT_TRUE(file.open(QIODevice::WriteOnly));
		file.write(json);
	}

	QJsonObject readConfig()
	{
		QFile file(configJsonPath());
		if (!file.open(QIODevice::ReadOnly))
			return QJsonObject();
		return QJsonDocument::fromJson(file.readAll()).object();
	}

	QByteArray tokenFile()
	{
		QFile file(tokenFilePath());
		return file.open(QIODevice::ReadOnly) ? file.readAll()
						      : QByteArray("<missing>");
	}

	// The process-wide record: the fixture resets it before libobs stops.
	LinkConfig &config = linkConfig();
};

int fileMode(const QString &path)
{
	struct stat info;
	if (stat(path.toUtf8().constData(), &info) != 0)
		return -1;
	return info.st_mode & 0777;
}
}

TEST_F(LinkConfigTest, FirstStartWritesDefaultsAndANewToken)
{
	loadLinkConfig(config);

	const QJsonObject saved = readConfig();
	EXPECT_EQ(saved.value("token").toString().size(), 28);
	EXPECT_EQ(saved.value("token").toString().toStdString(), config.token);
	EXPECT_EQ(saved.value("port").toInt(), 47841);
	EXPECT_EQ(saved.value("allowLan"), QJsonValue(false));
	EXPECT_EQ(saved.value("dockShown"), QJsonValue(false));
	EXPECT_EQ(saved.value("appUrl").toString(), "http://127.0.0.1:47840");
	EXPECT_EQ(saved.value("povSources"), QJsonValue(QJsonArray()));
	EXPECT_FALSE(saved.contains("hotkeys"));
	EXPECT_EQ(tokenFile(), QByteArray::fromStdString(config.token));

	// The token is a credential: owner-only files.
	EXPECT_EQ(fileMode(configJsonPath()), 0600);
	EXPECT_EQ(fileMode(tokenFilePath()), 0600);
}

TEST_F(LinkConfigTest, PartialFilesKeepTheirOwnValuesAndDefaultTheRest)
{
	struct Case {
		const char *json;
		int port;
		bool allowLan;
		const char *appUrl;
		bool newToken;
	};
	const Case cases[] = {
		// Only a port: that port, a new token, defaults for the rest.
		{R"({"port": 4455})", 4455, false, "http://127.0.0.1:47840",
		 true},
		// No port among other keys: the default port stays.
		{R"({"token": "abc", "allowLan": true, "appUrl": "http://x:1"})",
		 47841, true, "http://x:1", false},
		// An empty address loads the default one.
		{R"({"token": "abc", "appUrl": ""})", 47841, false,
		 "http://127.0.0.1:47840", false},
		// Wrong types read as the host's data layer reads them.
		{R"({"token": 5, "allowLan": "yes", "port": "x"})", 0, false,
		 "http://127.0.0.1:47840", true},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.json);
		writeConfig(c.json);
		LinkConfig loaded;
		loadLinkConfig(loaded);
		EXPECT_EQ(loaded.port, c.port);
		EXPECT_EQ(loaded.allowLan, c.allowLan);
		EXPECT_EQ(loaded.appUrl, c.appUrl);
		if (c.newToken)
			EXPECT_EQ(loaded.token.size(), 28u);
		else
			EXPECT_EQ(loaded.token, "abc");
		EXPECT_EQ(tokenFile(), QByteArray::fromStdString(loaded.token));
		QFile::remove(configJsonPath());
		QFile::remove(configJsonPath() + ".bak");
	}
}

TEST_F(LinkConfigTest, PovSourcesAndHotkeysRoundTrip)
{
	writeConfig(R"({"token": "hand made", "povSources": [{"name": "A"},
		{"name": "B"}, {"other": 1}],
		"hotkeys": [{"keys": [{"key": "OBS_KEY_F1"}]}, {}, {}]})");
	loadLinkConfig(config);
	EXPECT_EQ(config.token, "hand made");
	EXPECT_EQ(config.povSources, (std::vector<std::string>{"A", "B", ""}));
	ASSERT_TRUE(config.hotkeys);
	EXPECT_EQ(obs_data_array_count(config.hotkeys), 3u);
	// A hand-made token is kept as it is and reaches the token file.
	EXPECT_EQ(tokenFile(), "hand made");

	saveLinkConfig(config);
	const QJsonObject saved = readConfig();
	EXPECT_EQ(saved.value("povSources").toArray(),
		  QJsonArray({QJsonObject{{"name", "A"}},
			      QJsonObject{{"name", "B"}},
			      QJsonObject{{"name", ""}}}));
	EXPECT_EQ(saved.value("hotkeys").toArray().size(), 3);
	EXPECT_EQ(saved.value("hotkeys")
			  .toArray()
			  .at(0)
			  .toObject()
			  .value("keys")
			  .toArray()
			  .at(0)
			  .toObject()
			  .value("key")
			  .toString(),
		  "OBS_KEY_F1");
}

TEST_F(LinkConfigTest, CorruptFileFallsBackToTheBackup)
{
	config.token = "first";
	saveLinkConfig(config);
	config.token = "second";
	saveLinkConfig(config); // "first" is now the backup
	writeConfig("{ not json");

	LinkConfig loaded;
	loadLinkConfig(loaded);
	EXPECT_EQ(loaded.token, "first");
}

TEST_F(LinkConfigTest, SecondLoadKeepsTheTokenAndRewritesTheTokenFile)
{
	loadLinkConfig(config);
	const std::string token = config.token;
	ASSERT_TRUE(QFile::remove(tokenFilePath()));

	LinkConfig again;
	loadLinkConfig(again);
	EXPECT_EQ(again.token, token);
	EXPECT_EQ(tokenFile(), QByteArray::fromStdString(token));
	EXPECT_EQ(fileMode(configJsonPath()), 0600);
}
