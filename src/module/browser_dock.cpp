#include "module/browser_dock.h"

void startBrowserDock()
{
	// The dock comes with the Link dialog; until then the Tools menu is
	// the way to the companion application.
}
