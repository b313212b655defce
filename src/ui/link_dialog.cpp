#include "ui/link_dialog.h"

#include <obs-module.h>
#include <obs.h>

#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
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
// The narrowest the dialog gets, even where its texts would need less.
const int dialogMinimumWidth = 460;

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

// Keeps the dialog on its screen and readable there. Left to itself, Qt
// gives a window the minimum height of its layout with every word-wrapped
// label on one line, and opens it at most two thirds of the screen high:
// on a 720-pixel screen that squeezes the labels and puts the POV list under
// the buttons. Once the dialog is shown, its minimum size is the one at which
// every label has the height its text needs, and its maximum size the free
// area of its screen; the POV list, which scrolls, takes what is between.
// Where the labels would need more than the screen's height at the narrowest
// width, the dialog gets wider until they fit.
class ScreenFit : public QObject {
public:
	explicit ScreenFit(QWidget *dialog) : QObject(dialog), dialog(dialog)
	{
		dialog->installEventFilter(this);
	}

	bool eventFilter(QObject *watched, QEvent *event) override
	{
		// Before the dialog's own show handling, which places the
		// window by its size.
		const QEvent::Type type = event->type();
		if (watched == dialog &&
		    (type == QEvent::Show ||
		     type == QEvent::ScreenChangeInternal ||
		     (type == QEvent::LayoutRequest && dialog->isVisible())))
			fit();
		return false;
	}

private:
	void fit()
	{
		QLayout *layout = dialog->layout();
		QScreen *screen = dialog->screen();
		if (!layout || !screen)
			return;
		// The window manager's frame; until it has put one around the
		// dialog, the one around the window it opens over.
		QSize frame = dialog->frameGeometry().size() - dialog->size();
		if (frame.isNull() && dialog->parentWidget()) {
			const QWidget *top = dialog->parentWidget()->window();
			frame = top->frameGeometry().size() - top->size();
		}
		const QSize room = screen->availableGeometry().size() - frame;

		const auto heightAt = [layout](int width) {
			return layout->hasHeightForWidth()
				       ? layout->minimumHeightForWidth(width)
				       : layout->totalMinimumSize().height();
		};
		int width = qMax(dialogMinimumWidth,
				 layout->totalMinimumSize().width());
		if (heightAt(width) > room.height()) {
			// The narrowest width at which the texts fit, found
			// by halving: wrapped texts lose lines as they widen.
			int fits = qMax(width, room.width());
			int tooNarrow = width;
			while (fits - tooNarrow > 1) {
				const int middle = (fits + tooNarrow) / 2;
				if (heightAt(middle) > room.height())
					tooNarrow = middle;
				else
					fits = middle;
			}
			width = fits;
		}
		const int height = qMin(heightAt(width), room.height());
		dialog->setMinimumSize(width, height);
		dialog->setMaximumSize(qMax(width, room.width()),
				       qMax(height, room.height()));
	}

	QWidget *dialog;
};
}

LinkDialog::LinkDialog(QWidget *parent, std::function<int()> linkedClients,
		       std::function<void()> restartServer)
	: QDialog(parent),
	  linkedClients(std::move(linkedClients)),
	  restartServer(std::move(restartServer))
{
	const LinkConfig &config = linkConfig();
	setWindowTitle(QStringLiteral("Tessil Link"));
	setMinimumWidth(dialogMinimumWidth);
	new ScreenFit(this);

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
