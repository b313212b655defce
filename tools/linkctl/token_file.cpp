#include "token_file.h"

#include <QFile>

namespace {
const char tokenFolder[] = "tessil";
const char tokenFileName[] = "link-token.txt";

QString inFolder(const QString &base)
{
	return base + "/" + tokenFolder + "/" + tokenFileName;
}
}

QString tokenFileLocationText()
{
#if defined(Q_OS_WIN)
	return QStringLiteral("%APPDATA%\\tessil\\link-token.txt");
#elif defined(Q_OS_MACOS)
	return QStringLiteral(
		"~/Library/Application Support/tessil/link-token.txt");
#else
	return QStringLiteral("$XDG_CONFIG_HOME/tessil/link-token.txt, or "
			      "~/.config/tessil/link-token.txt");
#endif
}

QString tokenFilePath(const QProcessEnvironment &environment, QString &error)
{
#if defined(Q_OS_WIN)
	const QString appData = environment.value("APPDATA");
	if (appData.isEmpty()) {
		error = "APPDATA is not set: cannot find the token file";
		return QString();
	}
	return inFolder(appData);
#elif defined(Q_OS_MACOS)
	const QString home = environment.value("HOME");
	if (home.isEmpty()) {
		error = "HOME is not set: cannot find the token file";
		return QString();
	}
	return inFolder(home + "/Library/Application Support");
#else
	// As libobs decides: XDG_CONFIG_HOME whenever it is set, even to
	// nothing, otherwise ~/.config.
	if (environment.contains("XDG_CONFIG_HOME"))
		return inFolder(environment.value("XDG_CONFIG_HOME"));
	const QString home = environment.value("HOME");
	if (home.isEmpty()) {
		error = "neither XDG_CONFIG_HOME nor HOME is set: cannot find "
			"the token file";
		return QString();
	}
	return inFolder(home + "/.config");
#endif
}

bool readTokenFile(const QString &path, QString &token, QString &error)
{
	QFile file(path);
	if (!file.open(QIODevice::ReadOnly)) {
		error = QString("cannot read the token file %1 (%2): start "
				"OBS with Tessil Link once, or give --token")
				.arg(path, file.errorString());
		return false;
	}
	QByteArray content = file.readAll();
	while (content.endsWith('\n') || content.endsWith('\r'))
		content.chop(1);
	if (content.isEmpty()) {
		error = QString("the token file %1 is empty").arg(path);
		return false;
	}
	token = QString::fromUtf8(content);
	return true;
}
