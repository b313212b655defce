#pragma once

#include <QPointer>

class QWidget;

// OBS's Sources dock gives every item added to the scene it shows a row
// widget of its own, and then lays out all its rows again: items added one
// after another cost the square of their number. While a pause is held the
// dock's list is hidden, so that each addition only builds its row; the list
// is laid out once when it shows again, when the pause goes. Nothing is
// painted meanwhile: the pause lives inside one request on OBS's
// user-interface thread.
//
// The list is OBS's item view named "sources" under the main window; where
// there is none, or it is not shown, a pause does nothing.
class SourcesListPause {
public:
	SourcesListPause() = default;
	~SourcesListPause();
	SourcesListPause(const SourcesListPause &) = delete;
	SourcesListPause &operator=(const SourcesListPause &) = delete;

	// Hides the list; calls after the first do nothing.
	void hold();

private:
	bool held = false;
	QPointer<QWidget> list;
	bool listHadFocus = false;
};
