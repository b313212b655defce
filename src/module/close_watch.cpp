#include "module/close_watch.h"

#include <obs-frontend-api.h>

#include <QEvent>
#include <QObject>

#include <memory>

#include "module/module_state.h"
#include "pov/dual_pov.h"

namespace {
class CloseWatch : public QObject {
public:
	bool eventFilter(QObject *watched, QEvent *event) override
	{
		// OBS may still refuse to close (outputs active): ending the
		// animation early is harmless then.
		if (event->type() == QEvent::Close)
			finishDualAnimation();
		return QObject::eventFilter(watched, event);
	}
};
}

void watchMainWindowClose()
{
	auto *mainWindow =
		static_cast<QObject *>(obs_frontend_get_main_window());
	if (!mainWindow)
		return;
	auto watch = std::make_unique<CloseWatch>();
	mainWindow->installEventFilter(watch.get());
	moduleState().closeWatch = std::move(watch);
}

void stopWatchingMainWindowClose()
{
	// A filter removes itself from the window when it is deleted.
	moduleState().closeWatch.reset();
}
