#include "ui/link_dialog.h"

#include <obs-module.h>
#include <obs.h>

#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "config/link_config.h"
#include "pov/dual_window.h"

namespace {
// Source kinds that can show a team-mate's view.
const char *const povKinds[] = {"browser_source", "window_capture",
				"game_capture",   "ffmpeg_source",
				"dshow_input",    "vlc_source"};

QString text(const char *key)
{
	return QString::fromUtf8(obs_module_text(key));
}

bool isPovKind(const char *id)
{
	for (const char *kind : povKinds) {
		if (std::strcmp(id, kind) == 0)
			return true;
	}
	return false;
}

// std::string orders by bytes: "Cam" < "Cam 2" < "cam".
using NameSet = std::set<std::string>;

bool addPovCandidate(void *param, obs_source_t *source)
{
	const char *id = obs_source_get_id(source);
	if (!id || !(obs_source_get_output_flags(source) & OBS_SOURCE_VIDEO))
		return true;
	if (!isPovKind(id))
		return true;
	const char *name = obs_source_get_name(source);
	const std::string candidate = name ? name : "";
	if (hasReservedPrefix(candidate))
		return true;
	static_cast<NameSet *>(param)->insert(candidate);
	return true;
}
}

LinkDialog::LinkDialog(QWidget *parent, std::function<int()> linkedClients,
		       std::function<void()> restartServer)
	: QDialog(parent),
	  linkedClients(std::move(linkedClients)),
	  restartServer(std::move(restartServer))
{
	const LinkConfig &config = linkConfig();
	setWindowTitle(QStringLiteral("Tessil Link"));
	setMinimumWidth(460);

	auto *layout = new QVBoxLayout(this);
	auto *intro = new QLabel(text("TessilLink.Dialog.Intro"));
	intro->setWordWrap(true);
	layout->addWidget(intro);

	statusLabel = new QLabel();
	statusLabel->setObjectName(QStringLiteral("status"));
	layout->addWidget(statusLabel);

	auto *statusTimer = new QTimer(this);
	connect(statusTimer, &QTimer::timeout, this,
		&LinkDialog::refreshStatus);
	statusTimer->start(1000);
	refreshStatus();

	auto *form = new QFormLayout();

	auto *tokenRow = new QHBoxLayout();
	auto *tokenEdit = new QLineEdit(QString::fromStdString(config.token));
	tokenEdit->setObjectName(QStringLiteral("token"));
	tokenEdit->setReadOnly(true);
	tokenEdit->setEchoMode(QLineEdit::Password);
	auto *showButton = new QPushButton(text("TessilLink.Dialog.Show"));
	showButton->setObjectName(QStringLiteral("showToken"));
	connect(showButton, &QPushButton::clicked, this, [tokenEdit] {
		tokenEdit->setEchoMode(tokenEdit->echoMode() ==
						       QLineEdit::Password
					       ? QLineEdit::Normal
					       : QLineEdit::Password);
	});
	auto *copyButton = new QPushButton(text("TessilLink.Dialog.Copy"));
	copyButton->setObjectName(QStringLiteral("copyToken"));
	connect(copyButton, &QPushButton::clicked, this, [tokenEdit] {
		QGuiApplication::clipboard()->setText(tokenEdit->text(),
						      QClipboard::Clipboard);
	});
	tokenRow->addWidget(tokenEdit);
	tokenRow->addWidget(showButton);
	tokenRow->addWidget(copyButton);
	form->addRow(text("TessilLink.Dialog.Token"), tokenRow);

	auto *tokenHelp = new QLabel(text("TessilLink.Dialog.TokenHelp"));
	tokenHelp->setObjectName(QStringLiteral("tokenHelp"));
	tokenHelp->setWordWrap(true);
	tokenHelp->setStyleSheet(QStringLiteral("color: #9A978F"));
	form->addRow(QString(), tokenHelp);

	lanBox = new QCheckBox(text("TessilLink.Dialog.Lan").arg(config.port));
	lanBox->setObjectName(QStringLiteral("allowLan"));
	lanBox->setChecked(config.allowLan);
	form->addRow(text("TessilLink.Dialog.TwoPCs"), lanBox);

	appUrlEdit = new QLineEdit(QString::fromStdString(config.appUrl));
	appUrlEdit->setObjectName(QStringLiteral("appUrl"));
	form->addRow(text("TessilLink.Dialog.App"), appUrlEdit);

	layout->addLayout(form);

	auto *povTitle = new QLabel(QStringLiteral("<b>") +
				    text("TessilLink.Dialog.PovTitle") +
				    QString::fromUtf8("</b> \u2014 ") +
				    text("TessilLink.Dialog.PovHelp"));
	povTitle->setObjectName(QStringLiteral("povTitle"));
	povTitle->setTextFormat(Qt::RichText);
	povTitle->setWordWrap(true);
	layout->addWidget(povTitle);

	povList = new QListWidget();
	povList->setObjectName(QStringLiteral("povSources"));
	povList->setMinimumHeight(160);
	layout->addWidget(povList);
	populatePovList();

	auto *buttons = new QDialogButtonBox(QDialogButtonBox::Save |
					     QDialogButtonBox::Close);
	buttons->setObjectName(QStringLiteral("buttons"));
	QPushButton *openButton =
		buttons->addButton(text("TessilLink.Dialog.OpenApp"),
				   QDialogButtonBox::ActionRole);
	openButton->setObjectName(QStringLiteral("openApp"));
	connect(openButton, &QPushButton::clicked, this, [this] {
		QDesktopServices::openUrl(
			QUrl(appUrlEdit->text(), QUrl::TolerantMode));
	});
	connect(buttons, &QDialogButtonBox::accepted, this, [this] {
		saveAndApply();
		accept();
	});
	connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
	layout->addWidget(buttons);
}

LinkDialog::~LinkDialog() = default;

void LinkDialog::refreshStatus()
{
	const int linked = linkedClients();
	if (linked >= 1)
		statusLabel->setText(
			QString::fromUtf8("<b style='color:#8C9A5B'>\u25CF ") +
			text("TessilLink.Dialog.Linked") +
			QStringLiteral("</b>"));
	else
		statusLabel->setText(
			QString::fromUtf8("<b style='color:#C99A3B'>\u25CF ") +
			text("TessilLink.Dialog.Waiting") +
			QStringLiteral("</b>"));
}

void LinkDialog::populatePovList()
{
	const std::vector<std::string> &chosenList = linkConfig().povSources;
	const NameSet chosen(chosenList.begin(), chosenList.end());

	NameSet candidates;
	obs_enum_sources(addPovCandidate, &candidates);

	for (const std::string &name : candidates) {
		auto *item = new QListWidgetItem(QString::fromStdString(name),
						 povList);
		item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
		item->setCheckState(chosen.count(name) ? Qt::Checked
						       : Qt::Unchecked);
	}
	// A plain line without a check box: it can never be chosen.
	if (candidates.empty())
		povList->addItem(
			QStringLiteral("(no capture or browser sources yet)"));
}

void LinkDialog::saveAndApply()
{
	LinkConfig &config = linkConfig();

	config.povSources.clear();
	for (int row = 0; row < povList->count(); row++) {
		const QListWidgetItem *item = povList->item(row);
		if (item->checkState() == Qt::Checked)
			config.povSources.push_back(item->text().toStdString());
	}

	const bool wasAllowingLan = config.allowLan;
	config.allowLan = lanBox->isChecked();
	config.appUrl = appUrlEdit->text().trimmed().toStdString();
	saveLinkConfig(config);

	if (config.allowLan != wasAllowingLan)
		restartServer();
}
