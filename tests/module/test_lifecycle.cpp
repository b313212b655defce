#include <gtest/gtest.h>

#include <obs-module.h>

#include <QDir>
#include <QFile>
#include <QTcpServer>

#include "config/link_config.h"
#include "frontend_double.h"
#include "link_clients.h"
#include "log_capture.h"
#include "module/module_state.h"
#include "obs_fixture.h"
#include "server/link_server.h"
#include "wait.h"

namespace {
class ModuleLifecycle : public ObsTest {
protected:
	void SetUp() override
	{
		ObsTest::SetUp();
		port = freeTcpPort();
	}

	// A configuration with a port of this test's own and a known token.
	void seedConfig(bool allowLan = false)
	{
		QDir().mkpath(pluginConfigDir());
		QFile file(configJsonPath());
		ASSERT_TRUE(file.open(QIODevice::WriteOnly));
		file.write(QStringLiteral(R"({"token": "tok", "port": %1,
			"allowLan": %2})")
				   .arg(port)
				   .arg(allowLan ? "true" : "false")
				   .toUtf8());
	}

	std::vector<std::string> moduleLines()
	{
		std::vector<std::string> lines;
		for (const LogLine &line : capturedLog())
			if (line.text.rfind("[tessil-link] ", 0) == 0)
				lines.push_back(line.text);
		return lines;
	}

	int port = 0;
};

std::string format(const char *pattern, int value)
{
	return QString::asprintf(pattern, value).toStdString();
}
}

TEST_F(ModuleLifecycle, LoadAndUnloadRunInOrder)
{
	seedConfig();
	obs_module_set_locale("en-US");
	ASSERT_TRUE(obs_module_load());

	ASSERT_NE(moduleState().linkServer, nullptr);
	EXPECT_TRUE(moduleState().linkServer->isListening());
	EXPECT_EQ(moduleState().linkServer->serverPort(), port);
	EXPECT_EQ(linkConfig().token, "tok");
	EXPECT_TRUE(QFile::exists(tokenFilePath()));
	ASSERT_EQ(frontend::toolsMenuItems().size(), 1u);
	EXPECT_EQ(frontend::toolsMenuItems()[0].name, "Tessil Link");

	WsClient client;
	ASSERT_TRUE(client.openAndLink(port, "tok"));
	EXPECT_TRUE(waitUntil([] { return linkedClientCount() == 1; }));

	obs_module_unload();
	EXPECT_EQ(moduleState().linkServer, nullptr);
	EXPECT_EQ(linkedClientCount(), 0);
	EXPECT_TRUE(client.waitDisconnected());
	// Unloaded without an exit event: the callback goes at unload.
	EXPECT_EQ(frontend::eventCallbackCount(), 0u);
	EXPECT_EQ(frontend::strayCallbackRemovals(), 0);

	const std::vector<std::string> expected = {
		format("[tessil-link] waiting for Tessil on ws://127.0.0.1:%d",
		       port),
		"[tessil-link] Tessil Link loaded (version 0.1.0)",
		"[tessil-link] Tessil 1.2 linked",
		"[tessil-link] Tessil Link unloaded",
	};
	EXPECT_EQ(moduleLines(), expected);
	for (const LogLine &line : capturedLog()) {
		if (line.text.rfind("[tessil-link] ", 0) == 0) {
			EXPECT_TRUE(line.level == LOG_INFO ||
				    line.level == LOG_WARNING)
				<< line.text;
		}
	}
}

TEST_F(ModuleLifecycle, WithoutLocaleTextsShowTheirKeys)
{
	seedConfig();
	ASSERT_TRUE(obs_module_load());
	ASSERT_EQ(frontend::toolsMenuItems().size(), 1u);
	EXPECT_EQ(frontend::toolsMenuItems()[0].name, "TessilLink.Menu");
	EXPECT_STREQ(obs_module_text("TessilLink.Nothing"),
		     "TessilLink.Nothing");
	obs_module_unload();
}

TEST_F(ModuleLifecycle, ALanguageWithoutItsFileFallsBackToEnglish)
{
	obs_module_set_locale("xx-XX");
	EXPECT_STREQ(obs_module_text("TessilLink.Menu"), "Tessil Link");
	EXPECT_STREQ(obs_module_text("TessilLink.Nothing"),
		     "TessilLink.Nothing");
}

TEST_F(ModuleLifecycle, APortInUseStillLoadsTheModule)
{
	QTcpServer occupier;
	ASSERT_TRUE(occupier.listen(QHostAddress::LocalHost, quint16(port)));
	seedConfig();
	obs_module_set_locale("en-US");

	ASSERT_TRUE(obs_module_load());
	EXPECT_FALSE(moduleState().linkServer->isListening());
	EXPECT_EQ(frontend::toolsMenuItems().size(), 1u);

	const std::vector<std::string> lines = moduleLines();
	ASSERT_EQ(lines.size(), 2u);
	EXPECT_EQ(lines[0].rfind(
			  format("[tessil-link] cannot listen on port %d (",
				 port),
			  0),
		  0u)
		<< lines[0];
	EXPECT_EQ(lines[1], "[tessil-link] Tessil Link loaded (version 0.1.0)");
	EXPECT_EQ(countLogLines(LOG_WARNING, lines[0]), 1);
	obs_module_unload();
}

TEST_F(ModuleLifecycle, LanAccessListensOnEveryAddress)
{
	seedConfig(true);
	ASSERT_TRUE(obs_module_load());
	EXPECT_EQ(
		countLogLines(
			LOG_INFO,
			format("[tessil-link] waiting for Tessil on ws://0.0.0.0:%d",
			       port)),
		1);
	RawClient client;
	EXPECT_TRUE(client.connectTo(port));
	obs_module_unload();
}

TEST_F(ModuleLifecycle, RestartDropsLinkedClients)
{
	seedConfig();
	ASSERT_TRUE(obs_module_load());
	WsClient client;
	ASSERT_TRUE(client.openAndLink(port, "tok"));
	ASSERT_TRUE(waitUntil([] { return linkedClientCount() == 1; }));

	EXPECT_TRUE(restartLinkServer());
	EXPECT_EQ(linkedClientCount(), 0);
	EXPECT_TRUE(client.waitDisconnected());
	EXPECT_FALSE(logContains("Tessil disconnected"));
	obs_module_unload();
}

TEST_F(ModuleLifecycle, NoServerMeansNothingLinked)
{
	EXPECT_EQ(linkedClientCount(), 0);
	EXPECT_FALSE(restartLinkServer());
	obs_module_unload(); // unloading what never loaded is harmless
	EXPECT_TRUE(capturedLog().empty() || !logContains("[tessil-link]"));
}
