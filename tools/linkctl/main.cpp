// tessil-linkctl: drives OBS through the Tessil Link plug-in from the
// command line. See `tessil-linkctl --help`.

#include <QCoreApplication>
#include <QProcessEnvironment>

#include <cstdio>

#include "command_line.h"
#include "link_session.h"
#include "token_file.h"

namespace {
void writeLine(FILE *stream, const QByteArray &line)
{
	fwrite(line.constData(), 1, size_t(line.size()), stream);
	fputc('\n', stream);
	fflush(stream);
}

int usageFailure(const QString &message)
{
	writeLine(
		stderr,
		QString("%1: %2").arg(QString(linkctlName), message).toUtf8());
	return ExitNoAnswer;
}
}

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	QStringList arguments = QCoreApplication::arguments();
	arguments.removeFirst();

	Invocation invocation = parseCommandLine(arguments);
	if (invocation.action == Invocation::Action::Help) {
		const QByteArray text = invocation.text.toUtf8();
		fwrite(text.constData(), 1, size_t(text.size()), stdout);
		return ExitOk;
	}
	if (invocation.action == Invocation::Action::UsageError)
		return usageFailure(invocation.text);

	QString error;
	if (!invocation.overlaysFile.isEmpty() &&
	    !loadOverlaysFile(invocation, error))
		return usageFailure(error);
	if (!invocation.tokenGiven) {
		const QString path = tokenFilePath(
			QProcessEnvironment::systemEnvironment(), error);
		if (path.isEmpty() ||
		    !readTokenFile(path, invocation.token, error))
			return usageFailure(error);
	}

	LinkSession session(
		invocation,
		[](const QByteArray &line) { writeLine(stdout, line); },
		[](const QByteArray &line) { writeLine(stderr, line); });
	QObject::connect(&session, &LinkSession::finished, &app,
			 [](int code) { QCoreApplication::exit(code); });
	session.start();
	return app.exec();
}
