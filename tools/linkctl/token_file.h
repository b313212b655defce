#pragma once

// The link token file that the plug-in writes for applications of the same
// user: "link-token.txt" in the "tessil" folder of the user's configuration
// directory, where libobs's os_get_config_path puts it.

#include <QProcessEnvironment>
#include <QString>

// Where the file is on this platform, in words, for the help text.
QString tokenFileLocationText();

// The file's path for the given environment; empty, with a one-line reason,
// when the environment names no configuration directory.
QString tokenFilePath(const QProcessEnvironment &environment, QString &error);

// The token in the file: its content without a trailing line end. False,
// with a one-line reason, when the file cannot be read or is empty.
bool readTokenFile(const QString &path, QString &token, QString &error);
