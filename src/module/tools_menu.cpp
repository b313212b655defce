#include "module/tools_menu.h"

#include <obs-frontend-api.h>

#include <QPointer>
#include <QWidget>

#include "module/module_state.h"
#include "ui/link_dialog.h"

void openLinkDialog(void *)
{
	auto *mainWindow =
		static_cast<QWidget *>(obs_frontend_get_main_window());
	// Held through a QPointer: should the main window go while the dialog
	// runs, it takes its child dialog with it.
	QPointer<LinkDialog> dialog = new LinkDialog(
		mainWindow, linkedClientCount, [] { restartLinkServer(); });
	dialog->exec();
	delete dialog.data();
}
