#pragma once

// obs-browser's factory object, as this module uses it. obs-browser hands it
// out through its exported function obs_browser_create_qcef; the module finds
// that function at run time and never links against obs-browser, so this
// declaration is all it knows of the object. Only the order of the virtual
// functions matters: each call goes through its slot in the object's virtual
// table, which must match obs-browser's own declaration entry for entry.

#include <string>

class QWidget;
// obs-browser's cookie manager; never created here (null is passed).
struct BrowserCookieManager;

class BrowserFactory {
public:
	virtual ~BrowserFactory() = default;

	// Starts the browser process; returns at once.
	virtual bool init_browser() = 0;
	// Not used here; keeps the slots after it in place.
	virtual bool initialized() = 0;
	// Blocks until the browser is ready.
	virtual bool wait_for_browser_init() = 0;
	// A browser widget showing `url` (UTF-8). The caller owns it.
	virtual QWidget *create_widget(QWidget *parent, const std::string &url,
				       BrowserCookieManager *cookieManager) = 0;
	// obs-browser has further operations after these; none is called.
};

// The factory function obs-browser exports.
#define BROWSER_FACTORY_FUNCTION "obs_browser_create_qcef"
using CreateBrowserFactory = BrowserFactory *(*)();
