#include <gtest/gtest.h>

#include <obs-module.h>
#include <obs.hpp>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFile>
#include <QFormLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "config/link_config.h"
#include "frontend_double.h"
#include "libobs_host.h"
#include "link_clients.h"
#include "loaded_module.h"
#include "log_capture.h"
#include "module/module_state.h"
#include "module/tools_menu.h"
#include "obs_fixture.h"
#include "test_kinds.h"
#include "ui/link_dialog.h"
#include "wait.h"

// Readable QStrings in failure messages.
void PrintTo(const QString &value, std::ostream *out)
{
	*out << '"' << value.toStdString() << '"';
}

namespace {
QString text(const char *key)
{
	return QString::fromUtf8(obs_module_text(key));
}

QString waitingLine()
{
	return QString::fromUtf8("<b style='color:#C99A3B'>\u25CF ") +
	       text("TessilLink.Dialog.Waiting") + "</b>";
}

QString linkedLine()
{
	return QString::fromUtf8("<b style='color:#8C9A5B'>\u25CF ") +
	       text("TessilLink.Dialog.Linked") + "</b>";
}

const char emptyListLine[] = "(no capture or browser sources yet)";

void *createNothing(obs_data_t *, obs_source_t *source)
{
	return source;
}

void destroyNothing(void *) {}

const char *kindName(void *)
{
	return "POV test kind";
}

uint32_t kindSize(void *)
{
	return 64;
}

void renderNothing(void *, gs_effect_t *) {}

// Kinds with the ids of OBS's capture and media sources. dshow_input comes
// without video here, so that the video test has a kind of its own.
void registerSourceKinds()
{
	const struct {
		const char *id;
		uint32_t flags;
	} kinds[] = {
		{"window_capture", OBS_SOURCE_VIDEO},
		{"game_capture", OBS_SOURCE_VIDEO},
		{"ffmpeg_source", OBS_SOURCE_VIDEO | OBS_SOURCE_AUDIO},
		{"vlc_source", OBS_SOURCE_VIDEO | OBS_SOURCE_AUDIO},
		{"dshow_input", OBS_SOURCE_AUDIO},
		{"image_source", OBS_SOURCE_VIDEO},
	};
	for (const auto &kind : kinds) {
		obs_source_info info = {};
		info.id = kind.id;
		info.type = OBS_SOURCE_TYPE_INPUT;
		info.output_flags = kind.flags;
		info.get_name = kindName;
		info.create = createNothing;
		info.destroy = destroyNothing;
		if (kind.flags & OBS_SOURCE_VIDEO) {
			info.get_width = kindSize;
			info.get_height = kindSize;
			info.video_render = renderNothing;
		}
		obs_register_source(&info);
	}
}

std::vector<std::string> listedNames(QListWidget *list)
{
	std::vector<std::string> names;
	for (int row = 0; row < list->count(); row++)
		names.push_back(list->item(row)->text().toStdString());
	return names;
}

QByteArray fileBytes(const QString &path)
{
	QFile file(path);
	return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A settings record compared field by field (the hotkeys aside).
struct Settings {
	std::string token;
	int port;
	bool allowLan;
	std::string appUrl;
	std::vector<std::string> povSources;
	bool dockShown;

	static Settings of(const LinkConfig &config)
	{
		return {config.token,  config.port,       config.allowLan,
			config.appUrl, config.povSources, config.dockShown};
	}

	bool operator==(const Settings &other) const
	{
		return token == other.token && port == other.port &&
		       allowLan == other.allowLan && appUrl == other.appUrl &&
		       povSources == other.povSources &&
		       dockShown == other.dockShown;
	}
};

class LinkDialogTest : public ObsTest {
protected:
	void SetUp() override
	{
		ObsTest::SetUp();
		registerSourceKinds();
		obs_module_set_locale("en-US");
		LinkConfig &config = linkConfig();
		config.token = "Xk7QmP2vRt9sLw4zNb8cHj3dFy6a";
		config.port = 50123;
	}

	void TearDown() override
	{
		dialog.reset();
		sources.clear();
		ObsTest::TearDown();
	}

	void addSource(const char *kind, const char *name)
	{
		sources.emplace_back(
			obs_source_create(kind, name, nullptr, nullptr));
	}

	LinkDialog &open()
	{
		dialog = std::make_unique<LinkDialog>(
			nullptr, [this] { return linked; },
			[this] { restarts++; });
		return *dialog;
	}

	template<typename T> T *part(const char *name)
	{
		T *widget = dialog->findChild<T *>(QString::fromUtf8(name));
		EXPECT_NE(widget, nullptr) << name;
		return widget;
	}

	QListWidget *povList() { return part<QListWidget>("povSources"); }

	QPushButton *button(QDialogButtonBox::StandardButton which)
	{
		return part<QDialogButtonBox>("buttons")->button(which);
	}

	int linked = 0;
	int restarts = 0;
	std::unique_ptr<LinkDialog> dialog;
	std::vector<OBSSourceAutoRelease> sources;
};
}

TEST_F(LinkDialogTest, BuildsItsWidgetsInOrder)
{
	linkConfig().allowLan = true;
	linkConfig().appUrl = "http://192.168.1.20:47840";
	LinkDialog &d = open();

	EXPECT_EQ(d.windowTitle(), "Tessil Link");
	EXPECT_EQ(d.minimumWidth(), 460);
	auto *layout = qobject_cast<QVBoxLayout *>(d.layout());
	ASSERT_NE(layout, nullptr);
	ASSERT_EQ(layout->count(), 6);

	auto *intro = qobject_cast<QLabel *>(layout->itemAt(0)->widget());
	ASSERT_NE(intro, nullptr);
	EXPECT_EQ(intro->text(), text("TessilLink.Dialog.Intro"));
	EXPECT_TRUE(intro->wordWrap());
	EXPECT_EQ(layout->itemAt(1)->widget(), part<QLabel>("status"));

	auto *form = qobject_cast<QFormLayout *>(layout->itemAt(2)->layout());
	ASSERT_NE(form, nullptr);
	ASSERT_EQ(form->rowCount(), 4);
	const auto labelText = [form](int row) {
		QLayoutItem *item = form->itemAt(row, QFormLayout::LabelRole);
		auto *label = item ? qobject_cast<QLabel *>(item->widget())
				   : nullptr;
		return label ? label->text() : QString();
	};
	const auto field = [form](int row) {
		return form->itemAt(row, QFormLayout::FieldRole);
	};
	EXPECT_EQ(labelText(0), text("TessilLink.Dialog.Token"));
	QLayout *tokenRow = field(0)->layout();
	ASSERT_NE(tokenRow, nullptr);
	ASSERT_EQ(tokenRow->count(), 3);
	auto *token = qobject_cast<QLineEdit *>(tokenRow->itemAt(0)->widget());
	ASSERT_NE(token, nullptr);
	EXPECT_EQ(token->text(), "Xk7QmP2vRt9sLw4zNb8cHj3dFy6a");
	EXPECT_TRUE(token->isReadOnly());
	EXPECT_EQ(token->echoMode(), QLineEdit::Password);
	const auto buttonText = [tokenRow](int index) {
		auto *b = qobject_cast<QPushButton *>(
			tokenRow->itemAt(index)->widget());
		return b ? b->text() : QString();
	};
	EXPECT_EQ(buttonText(1), text("TessilLink.Dialog.Show"));
	EXPECT_EQ(buttonText(2), text("TessilLink.Dialog.Copy"));

	EXPECT_EQ(form->itemAt(1, QFormLayout::LabelRole), nullptr);
	auto *help = qobject_cast<QLabel *>(field(1)->widget());
	ASSERT_NE(help, nullptr);
	EXPECT_EQ(help->text(), text("TessilLink.Dialog.TokenHelp"));
	EXPECT_EQ(help->styleSheet(), "color: #9A978F");
	EXPECT_TRUE(help->wordWrap());

	EXPECT_EQ(labelText(2), text("TessilLink.Dialog.TwoPCs"));
	auto *lan = qobject_cast<QCheckBox *>(field(2)->widget());
	ASSERT_NE(lan, nullptr);
	EXPECT_EQ(lan->text(), text("TessilLink.Dialog.Lan").arg(50123));
	EXPECT_TRUE(lan->text().contains("50123"));
	EXPECT_TRUE(lan->isChecked());

	EXPECT_EQ(labelText(3), text("TessilLink.Dialog.App"));
	auto *appUrl = qobject_cast<QLineEdit *>(field(3)->widget());
	ASSERT_NE(appUrl, nullptr);
	EXPECT_EQ(appUrl->text(), "http://192.168.1.20:47840");
	EXPECT_FALSE(appUrl->isReadOnly());

	auto *povTitle = qobject_cast<QLabel *>(layout->itemAt(3)->widget());
	ASSERT_NE(povTitle, nullptr);
	EXPECT_EQ(povTitle->text(), "<b>" + text("TessilLink.Dialog.PovTitle") +
					    QString::fromUtf8("</b> \u2014 ") +
					    text("TessilLink.Dialog.PovHelp"));
	EXPECT_EQ(povTitle->textFormat(), Qt::RichText);
	EXPECT_TRUE(povTitle->wordWrap());

	EXPECT_EQ(layout->itemAt(4)->widget(), povList());
	EXPECT_EQ(povList()->minimumHeight(), 160);

	auto *buttons =
		qobject_cast<QDialogButtonBox *>(layout->itemAt(5)->widget());
	ASSERT_NE(buttons, nullptr);
	EXPECT_EQ(buttons->standardButtons(),
		  QDialogButtonBox::Save | QDialogButtonBox::Close);
	QPushButton *openApp = part<QPushButton>("openApp");
	EXPECT_EQ(openApp->text(), text("TessilLink.Dialog.OpenApp"));
	EXPECT_EQ(buttons->buttonRole(openApp), QDialogButtonBox::ActionRole);
	EXPECT_EQ(buttons->buttons().size(), 3);
}

TEST_F(LinkDialogTest, StatusLineFollowsTheLinkedCount)
{
	const struct {
		int linked;
		QString expected;
	} cases[] = {{0, waitingLine()}, {1, linkedLine()}, {3, linkedLine()}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.linked);
		linked = c.linked;
		open();
		EXPECT_EQ(part<QLabel>("status")->text(), c.expected);
	}
	EXPECT_TRUE(waitingLine().contains(QChar(0x25CF)));
}

TEST_F(LinkDialogTest, StatusLineRefreshesEverySecond)
{
	LinkDialog &d = open();
	QLabel *status = part<QLabel>("status");
	EXPECT_EQ(status->text(), waitingLine());

	QTimer *timer = nullptr;
	for (QTimer *candidate : d.findChildren<QTimer *>())
		if (candidate->interval() == 1000)
			timer = candidate;
	ASSERT_NE(timer, nullptr);
	EXPECT_TRUE(timer->isActive());
	EXPECT_FALSE(timer->isSingleShot());

	linked = 1; // a client authenticates
	EXPECT_TRUE(waitUntil([&] { return status->text() == linkedLine(); }));
	linked = 0; // and leaves
	EXPECT_TRUE(waitUntil([&] { return status->text() == waitingLine(); }));
}

TEST_F(LinkDialogTest, ShowTogglesTheMaskAndCopyTakesTheWholeToken)
{
	open();
	auto *token = part<QLineEdit>("token");
	QPushButton *show = part<QPushButton>("showToken");
	const QString showText = show->text();

	QGuiApplication::clipboard()->setText("something else");
	part<QPushButton>("copyToken")->click();
	EXPECT_EQ(QGuiApplication::clipboard()->text(),
		  "Xk7QmP2vRt9sLw4zNb8cHj3dFy6a");
	EXPECT_EQ(token->echoMode(), QLineEdit::Password);

	show->click();
	EXPECT_EQ(token->echoMode(), QLineEdit::Normal);
	show->click();
	EXPECT_EQ(token->echoMode(), QLineEdit::Password);
	EXPECT_EQ(show->text(), showText);
}

TEST_F(LinkDialogTest, ListsCaptureAndBrowserSourcesByteWise)
{
	const struct {
		const char *kind;
		const char *name;
	} sourceTable[] = {
		{TEST_BROWSER_KIND, "cam"},
		{"window_capture", "Cam 2"},
		{"game_capture", "Cam"},
		{"ffmpeg_source", "Cam"},                      // see below
		{"vlc_source", "\xF0\x9F\x8E\xAE Game"},       // U+1F3AE first
		{"ffmpeg_source", "\xEF\xBD\xB6\xEF\xBE\x92"}, // U+FF76 U+FF92
		{"window_capture", "\xC3\x89"
				   "cran"}, // U+00C9
		{TEST_BROWSER_KIND, "Tessil chat"},
		{TEST_BROWSER_KIND, "Team-mate"},
		// Never listed: reserved prefix, other kinds, no video.
		{TEST_BROWSER_KIND, "Tessil \xC2\xB7 chat"},
		{TEST_BROWSER_KIND, "Tessil \xC2\xB7"},
		{"image_source", "Cam image"},
		{"dshow_input", "Cam audio"},
		{TEST_FEED_KIND, "Cam feed"},
		{"color_source_v3", "Cam colour"}, // unregistered: no flags
	};
	for (const auto &s : sourceTable)
		addSource(s.kind, s.name);
	unlistedScene("Cam scene");
	linkConfig().povSources = {"Team-mate", "Gone", "Cam 2"};

	open();
	// Byte order puts U+FF76 (EF BD B6) before U+1F3AE (F0 9F 8E AE),
	// where UTF-16 order would not. The second "Cam": libobs 29 keeps the
	// name, and the list holds it once; later hosts rename it themselves,
	// to "Cam 3" as "Cam 2" is taken.
	std::vector<std::string> expected = {
		"Cam",
		"Cam 2",
		"Team-mate",
		"Tessil chat",
		"cam",
		"\xC3\x89"
		"cran",
		"\xEF\xBD\xB6\xEF\xBE\x92",
		"\xF0\x9F\x8E\xAE Game",
	};
	if (!libobsHost::publicNamesRepeat())
		expected.insert(expected.begin() + 2, "Cam 3");
	EXPECT_EQ(listedNames(povList()), expected);

	for (int row = 0; row < povList()->count(); row++) {
		const QListWidgetItem *item = povList()->item(row);
		const std::string name = item->text().toStdString();
		SCOPED_TRACE(name);
		EXPECT_TRUE(item->flags() & Qt::ItemIsUserCheckable);
		const bool chosen = name == "Team-mate" || name == "Cam 2";
		EXPECT_EQ(item->checkState(),
			  chosen ? Qt::Checked : Qt::Unchecked);
	}
}

TEST_F(LinkDialogTest, WithoutSourcesTheListHoldsOnePlainLine)
{
	addSource("image_source", "Logo");
	linkConfig().povSources = {"Gone"};
	open();

	ASSERT_EQ(povList()->count(), 1);
	const QListWidgetItem *line = povList()->item(0);
	EXPECT_EQ(line->text(), emptyListLine);
	// No check state, hence no check box.
	EXPECT_FALSE(line->data(Qt::CheckStateRole).isValid());

	button(QDialogButtonBox::Save)->click();
	EXPECT_TRUE(linkConfig().povSources.empty());
	QFile file(configJsonPath());
	ASSERT_TRUE(file.open(QIODevice::ReadOnly));
	const QJsonObject saved =
		QJsonDocument::fromJson(file.readAll()).object();
	EXPECT_EQ(saved.value("povSources"), QJsonArray());
}

TEST_F(LinkDialogTest, SaveStoresTheDialogAndRestartsOnlyForALanChange)
{
	const struct {
		bool lanBefore;
		bool lanAfter;
		int restarts;
	} cases[] = {
		{false, true, 1},
		{true, false, 1},
		{false, false, 0},
		{true, true, 0},
	};
	addSource("game_capture", "Cam");
	addSource("window_capture", "Cam 2");
	addSource(TEST_BROWSER_KIND, "cam");
	for (const auto &c : cases) {
		SCOPED_TRACE(std::to_string(c.lanBefore) + " -> " +
			     std::to_string(c.lanAfter));
		LinkConfig &config = linkConfig();
		config.allowLan = c.lanBefore;
		config.appUrl = "http://127.0.0.1:47840";
		config.povSources = {"cam", "Gone", "Cam"};
		restarts = 0;
		LinkDialog &d = open();

		part<QCheckBox>("allowLan")->setChecked(c.lanAfter);
		part<QLineEdit>("appUrl")->setText(
			"  http://10.0.0.5:47840/ \t");
		povList()->item(0)->setCheckState(Qt::Unchecked); // Cam
		povList()->item(1)->setCheckState(Qt::Checked);   // Cam 2
		d.show();
		button(QDialogButtonBox::Save)->click();

		EXPECT_EQ(d.result(), QDialog::Accepted);
		EXPECT_FALSE(d.isVisible());
		EXPECT_EQ(restarts, c.restarts);
		const std::vector<std::string> chosen = {"Cam 2", "cam"};
		EXPECT_EQ(config.povSources, chosen);
		EXPECT_EQ(config.allowLan, c.lanAfter);
		EXPECT_EQ(config.appUrl, "http://10.0.0.5:47840/");

		QFile file(configJsonPath());
		ASSERT_TRUE(file.open(QIODevice::ReadOnly));
		const QJsonObject saved =
			QJsonDocument::fromJson(file.readAll()).object();
		EXPECT_EQ(saved.value("allowLan").toBool(), c.lanAfter);
		EXPECT_EQ(saved.value("appUrl").toString(),
			  "http://10.0.0.5:47840/");
		const QJsonArray expectedSources = {
			QJsonObject{{"name", "Cam 2"}},
			QJsonObject{{"name", "cam"}}};
		EXPECT_EQ(saved.value("povSources"), expectedSources);
	}
}

TEST_F(LinkDialogTest, CloseEscapeAndTheWindowButtonSaveNothing)
{
	addSource("game_capture", "Cam");
	LinkConfig &config = linkConfig();
	config.povSources = {"Cam"};
	saveLinkConfig(config);
	const QByteArray savedBefore = fileBytes(configJsonPath());
	ASSERT_FALSE(savedBefore.isEmpty());
	const Settings before = Settings::of(config);

	const struct {
		const char *how;
		std::function<void()> end;
	} cases[] = {
		{"Close button",
		 [this] {
			 button(QDialogButtonBox::Close)->click();
		 }},
		{"Escape key",
		 [this] {
			 // Typed into a field, it reaches the dialog.
			 QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape,
					  Qt::NoModifier);
			 QApplication::sendEvent(part<QLineEdit>("appUrl"),
						 &escape);
		 }},
		{"window close",
		 [this] {
			 dialog->close();
		 }},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.how);
		LinkDialog &d = open();
		d.show();
		part<QCheckBox>("allowLan")->setChecked(true);
		part<QLineEdit>("appUrl")->setText("http://elsewhere:1");
		povList()->item(0)->setCheckState(Qt::Unchecked);

		c.end();
		EXPECT_EQ(d.result(), QDialog::Rejected);
		EXPECT_FALSE(d.isVisible());
		EXPECT_TRUE(Settings::of(config) == before);
		EXPECT_EQ(fileBytes(configJsonPath()), savedBefore);
		EXPECT_EQ(restarts, 0);
	}
}

namespace {
class UrlRecorder : public QObject {
	Q_OBJECT

public:
	Q_INVOKABLE void open(const QUrl &url) { urls.append(url); }
	QList<QUrl> urls;
};
}

TEST_F(LinkDialogTest, OpenAppOpensTheTypedAddressAndStaysOpen)
{
	UrlRecorder recorder;
	QDesktopServices::setUrlHandler("tessil-test", &recorder, "open");
	LinkDialog &d = open();
	d.show();
	part<QLineEdit>("appUrl")->setText("tessil-test://host:47840/my page");
	part<QPushButton>("openApp")->click();
	QDesktopServices::unsetUrlHandler("tessil-test");

	ASSERT_EQ(recorder.urls.size(), 1);
	EXPECT_EQ(recorder.urls[0],
		  QUrl("tessil-test://host:47840/my page", QUrl::TolerantMode));
	EXPECT_EQ(recorder.urls[0].path(), "/my page");
	EXPECT_TRUE(d.isVisible());
	EXPECT_EQ(linkConfig().appUrl, "http://127.0.0.1:47840");
	EXPECT_FALSE(QFile::exists(configJsonPath()));
}

namespace {
// The plug-in loaded with a linked client; the dialog opened from the
// Tools menu as OBS does, and driven from inside its modal loop.
class LinkDialogFromMenu : public LoadedModule {
protected:
	// Clicks the menu entry; `act` runs on the open dialog.
	void runFromMenu(const std::function<void(LinkDialog &)> &act)
	{
		std::function<void()> poke = [&] {
			auto *open = qobject_cast<LinkDialog *>(
				QApplication::activeModalWidget());
			if (!open) {
				QTimer::singleShot(10, poke);
				return;
			}
			seen = open;
			parent = open->parentWidget();
			modal = open->isModal();
			act(*open);
			if (open->isVisible())
				open->reject();
		};
		QTimer::singleShot(0, poke);
		ASSERT_TRUE(frontend::clickToolsMenuItem("Tessil Link"));
	}

	QPointer<LinkDialog> seen;
	QWidget *parent = nullptr;
	bool modal = false;
};

void clickSave(LinkDialog &dialog)
{
	dialog.findChild<QDialogButtonBox *>("buttons")
		->button(QDialogButtonBox::Save)
		->click();
}
}

TEST_F(LinkDialogFromMenu, SaveRestartsTheServerOnlyForALanChange)
{
	const struct {
		bool toggleLan;
		bool clientsDropped;
	} cases[] = {{true, true}, {false, false}};
	load();
	for (const auto &c : cases) {
		SCOPED_TRACE(c.toggleLan);
		WsClient client;
		ASSERT_TRUE(client.openAndLink(port, "tok"));
		ASSERT_TRUE(waitUntil([] { return linkedClientCount() == 1; }));
		clearCapturedLog();

		QString status;
		runFromMenu([&](LinkDialog &d) {
			status = d.findChild<QLabel *>("status")->text();
			if (c.toggleLan) {
				auto *lan =
					d.findChild<QCheckBox *>("allowLan");
				lan->setChecked(!lan->isChecked());
			}
			clickSave(d);
		});
		EXPECT_EQ(status, linkedLine());
		EXPECT_EQ(parent,
			  static_cast<QWidget *>(frontend::mainWindow()));
		EXPECT_TRUE(modal);
		EXPECT_TRUE(seen.isNull()) << "the dialog outlived its exec";

		if (c.clientsDropped) {
			EXPECT_TRUE(client.waitDisconnected());
			EXPECT_EQ(linkedClientCount(), 0);
			EXPECT_TRUE(logContains(
				QString("waiting for Tessil on ws://0.0.0.0:%1")
					.arg(port)
					.toStdString()));
			EXPECT_TRUE(linkConfig().allowLan);
			EXPECT_TRUE(savedConfig().value("allowLan").toBool());
			// Back to loopback for the next case.
			linkConfig().allowLan = false;
			restartLinkServer();
		} else {
			pumpEvents(100);
			EXPECT_FALSE(client.disconnected);
			EXPECT_EQ(linkedClientCount(), 1);
			EXPECT_FALSE(logContains("waiting for Tessil"));
		}
	}
}

TEST_F(LinkDialogFromMenu, EachOpeningShowsTheSavedSettings)
{
	load();
	runFromMenu([](LinkDialog &d) {
		d.findChild<QLineEdit *>("appUrl")->setText(
			"http://127.0.0.1:1234");
		clickSave(d);
	});
	QString shown;
	runFromMenu([&](LinkDialog &d) {
		shown = d.findChild<QLineEdit *>("appUrl")->text();
	});
	EXPECT_EQ(shown, "http://127.0.0.1:1234");
	EXPECT_EQ(savedConfig().value("appUrl").toString(),
		  "http://127.0.0.1:1234");
}

#include "test_link_dialog.moc"
