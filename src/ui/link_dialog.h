#pragma once

#include <QDialog>

#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;

// Tools > Tessil Link: the link state, the token, LAN access, the companion
// application's address and the choice of squad POV sources. Built from
// LinkConfig on each opening; Save writes the settings back.
class LinkDialog : public QDialog {
	Q_OBJECT

public:
	// `linkedClients` is asked once a second for the number of linked
	// clients; `restartServer` makes the link server listen again with the
	// saved settings.
	LinkDialog(QWidget *parent, std::function<int()> linkedClients,
		   std::function<void()> restartServer);
	~LinkDialog() override;

	// The status line: linked or waiting.
	void refreshStatus();
	// Lists the capture and browser sources, the chosen ones checked.
	void populatePovList();
	// Stores the dialog's settings, saves them, and restarts the server
	// when LAN access changed.
	void saveAndApply();

private:
	std::function<int()> linkedClients;
	std::function<void()> restartServer;
	QLabel *statusLabel = nullptr;
	QListWidget *povList = nullptr;
	QCheckBox *lanBox = nullptr;
	QLineEdit *appUrlEdit = nullptr;
};
