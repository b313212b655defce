#include "obs/sources_list_pause.h"

#include <obs-frontend-api.h>

#include <QAbstractItemView>
#include <QWidget>

void SourcesListPause::hold()
{
	if (held)
		return;
	held = true;
	auto *main = static_cast<QWidget *>(obs_frontend_get_main_window());
	if (!main)
		return;
	auto *view =
		main->findChild<QAbstractItemView *>(QStringLiteral("sources"));
	if (!view || !view->isVisible())
		return;
	listHadFocus = view->hasFocus();
	view->hide();
	list = view;
}

SourcesListPause::~SourcesListPause()
{
	if (!list)
		return;
	list->show();
	if (listHadFocus)
		list->setFocus(Qt::OtherFocusReason);
}
