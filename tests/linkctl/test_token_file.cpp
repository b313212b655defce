#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <string>
#include <vector>

#include "config/link_config.h"
#include "config/link_token.h"
#include "obs_fixture.h"
#include "token_file.h"

TEST(TokenFile, PathFollowsTheConfigurationDirectoryAsLibobsDoes)
{
	struct Case {
		const char *name;
		std::vector<std::pair<QString, QString>> variables;
		QString path;
	};
	const std::vector<Case> cases = {
		{"XDG_CONFIG_HOME set",
		 {{"XDG_CONFIG_HOME", "/x/conf"}, {"HOME", "/home/u"}},
		 "/x/conf/tessil/link-token.txt"},
		{"XDG_CONFIG_HOME set but empty",
		 {{"XDG_CONFIG_HOME", ""}, {"HOME", "/home/u"}},
		 "/tessil/link-token.txt"},
		{"only HOME",
		 {{"HOME", "/home/u"}},
		 "/home/u/.config/tessil/link-token.txt"},
		{"neither", {}, ""},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		QProcessEnvironment environment;
		for (const auto &variable : c.variables)
			environment.insert(variable.first, variable.second);
		QString error;
		EXPECT_EQ(tokenFilePath(environment, error), c.path);
		EXPECT_EQ(error.isEmpty(), !c.path.isEmpty());
	}
}

TEST(TokenFile, ContentIsTheTokenWithoutALineEnd)
{
	QTemporaryDir dir;
	ASSERT_TRUE(dir.isValid());
	struct Case {
		QByteArray content;
		bool ok;
		QString token;
	};
	const std::vector<Case> cases = {
		{"Kq7mZx2PvR9tYw3HnB4cLd8FgJ6s", true,
		 "Kq7mZx2PvR9tYw3HnB4cLd8FgJ6s"},
		{"Kq7mZx2PvR9tYw3HnB4cLd8FgJ6s\r\n", true,
		 "Kq7mZx2PvR9tYw3HnB4cLd8FgJ6s"},
		{"hand made token \xc3\xa9\n", true,
		 QString::fromUtf8("hand made token \xc3\xa9")},
		{"", false, ""},
		{"\n", false, ""},
	};
	const QString path = dir.filePath("link-token.txt");
	for (const Case &c : cases) {
		SCOPED_TRACE(c.content.toStdString());
		QFile file(path);
		ASSERT_TRUE(
			file.open(QIODevice::WriteOnly | QIODevice::Truncate));
		file.write(c.content);
		file.close();
		QString token, error;
		EXPECT_EQ(readTokenFile(path, token, error), c.ok);
		EXPECT_EQ(token, c.token);
		if (!c.ok) {
			EXPECT_EQ(error, QString("the token file %1 is empty")
						 .arg(path));
		}
	}

	QString token, error;
	EXPECT_FALSE(readTokenFile(dir.filePath("none.txt"), token, error));
	EXPECT_TRUE(error.startsWith(QString("cannot read the token file %1 (")
					     .arg(dir.filePath("none.txt"))))
		<< error.toStdString();
	EXPECT_TRUE(error.endsWith("or give --token"));
}

using TokenFileOfThePlugin = ObsTest;

// The plug-in writes the file through libobs; the tool finds it without it.
TEST_F(TokenFileOfThePlugin, IsWhereTheToolLooks)
{
	LinkConfig config;
	config.token = "Kq7mZx2PvR9tYw3HnB4cLd8FgJ6s";
	writeTokenFile(config);

	QString error;
	// The fixture's own tokenFilePath() hides the tool's function here.
	const QString path = ::tokenFilePath(
		QProcessEnvironment::systemEnvironment(), error);
	EXPECT_EQ(path, tokenFilePath());
	QString token;
	ASSERT_TRUE(readTokenFile(path, token, error)) << error.toStdString();
	EXPECT_EQ(token, "Kq7mZx2PvR9tYw3HnB4cLd8FgJ6s");
}
