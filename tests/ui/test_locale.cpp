#include <gtest/gtest.h>

#include <obs-module.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QString>

#include <iterator>
#include <map>
#include <string>

#include "obs_fixture.h"

namespace {
// Every text the module looks up.
const char *const keys[] = {
	"TessilLink.Menu",           "TessilLink.Hotkey.Clip",
	"TessilLink.Hotkey.Replay",  "TessilLink.Hotkey.Pov",
	"TessilLink.Dock",           "TessilLink.Dialog.Intro",
	"TessilLink.Dialog.Linked",  "TessilLink.Dialog.Waiting",
	"TessilLink.Dialog.Token",   "TessilLink.Dialog.Show",
	"TessilLink.Dialog.Copy",    "TessilLink.Dialog.TokenHelp",
	"TessilLink.Dialog.TwoPCs",  "TessilLink.Dialog.Lan",
	"TessilLink.Dialog.App",     "TessilLink.Dialog.PovTitle",
	"TessilLink.Dialog.PovHelp", "TessilLink.Dialog.OpenApp",
};

const char *const locales[] = {"en-US", "de-DE", "fr-FR", "es-ES"};

// key=value lines of a locale file, quotes taken off.
std::map<std::string, QString> readLocaleFile(const QString &path)
{
	std::map<std::string, QString> entries;
	QFile file(path);
	if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
		return entries;
	const QRegularExpression line(R"re(^([A-Za-z.]+)="(.*)"$)re");
	for (const QByteArray &raw : file.readAll().split('\n')) {
		const QString text = QString::fromUtf8(raw);
		if (text.isEmpty())
			continue;
		const QRegularExpressionMatch match = line.match(text);
		EXPECT_TRUE(match.hasMatch()) << text.toStdString();
		entries[match.captured(1).toStdString()] = match.captured(2);
	}
	return entries;
}

class Locale : public ObsTest {};
}

TEST(LocaleFiles, EachLanguageHasEveryKeyAndNoOther)
{
	QStringList files =
		QDir(TESSIL_LOCALE_DIR).entryList({"*.ini"}, QDir::Files);
	files.sort();
	EXPECT_EQ(files, QStringList({"de-DE.ini", "en-US.ini", "es-ES.ini",
				      "fr-FR.ini"}));
	for (const char *locale : locales) {
		SCOPED_TRACE(locale);
		const auto entries = readLocaleFile(
			QString(TESSIL_LOCALE_DIR "/%1.ini").arg(locale));
		EXPECT_EQ(entries.size(), std::size(keys));
		for (const char *key : keys) {
			SCOPED_TRACE(key);
			const auto found = entries.find(key);
			ASSERT_NE(found, entries.end());
			EXPECT_FALSE(found->second.trimmed().isEmpty());
			EXPECT_FALSE(found->second.contains('"'));
		}
		const QString lan = entries.at("TessilLink.Dialog.Lan");
		EXPECT_EQ(lan.count("%1"), 1) << lan.toStdString();
		EXPECT_FALSE(lan.contains("%2"));
	}
}

TEST_F(Locale, OBSReadsEveryTextInEveryLanguage)
{
	for (const char *locale : locales) {
		SCOPED_TRACE(locale);
		const auto entries = readLocaleFile(
			QString(TESSIL_LOCALE_DIR "/%1.ini").arg(locale));
		obs_module_set_locale(locale);
		for (const char *key : keys) {
			SCOPED_TRACE(key);
			const auto found = entries.find(key);
			ASSERT_NE(found, entries.end());
			EXPECT_EQ(QString::fromUtf8(obs_module_text(key)),
				  found->second);
		}
	}
}
