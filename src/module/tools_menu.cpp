#include "module/tools_menu.h"

void openLinkDialog(void *)
{
	// The Link dialog is not part of this build yet; the menu entry is
	// registered so that its place in OBS's Tools menu is settled.
}
