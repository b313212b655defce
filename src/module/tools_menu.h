#pragma once

// Tools > Tessil Link: opens the Link dialog over OBS's main window.
void openLinkDialog(void *private_data);
