#include <gtest/gtest.h>

#include <obs-module.h>
#include <obs.hpp>

#include <QApplication>
#include <QEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListView>
#include <QMainWindow>
#include <QPointer>
#include <QVBoxLayout>

#include <string>
#include <vector>

#include "frontend_double.h"
#include "libobs_host.h"
#include "log_capture.h"
#include "obs/overlays.h"
#include "obs/scene_lookup.h"
#include "obs_fixture.h"
#include "test_kinds.h"

namespace {
std::string json(const QJsonObject &object)
{
	return QJsonDocument(object)
		.toJson(QJsonDocument::Compact)
		.toStdString();
}

QJsonObject overlay(const char *name, const char *url, bool audio = false)
{
	return QJsonObject{{"name", name}, {"url", url}, {"audio", audio}};
}

// The settings a source holds, as JSON text with sorted keys.
std::string settingsOf(obs_source_t *source)
{
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	return json(
		QJsonDocument::fromJson(obs_data_get_json(settings)).object());
}

std::string browserSettings(const char *url, bool audio, int width, int height)
{
	return json(QJsonObject{
		{"url", url},
		{"width", width},
		{"height", height},
		{"reroute_audio", audio},
		{"shutdown", false},
		{"restart_when_active", false},
	});
}

struct Placement {
	float x, y;
	obs_bounds_type boundsType;
	float boundsWidth, boundsHeight;
	bool visible;

	bool operator==(const Placement &o) const
	{
		return x == o.x && y == o.y && boundsType == o.boundsType &&
		       boundsWidth == o.boundsWidth &&
		       boundsHeight == o.boundsHeight && visible == o.visible;
	}
};

std::ostream &operator<<(std::ostream &out, const Placement &p)
{
	return out << "pos " << p.x << "," << p.y << " bounds type "
		   << p.boundsType << " " << p.boundsWidth << "x"
		   << p.boundsHeight << (p.visible ? " shown" : " hidden");
}

Placement placementOf(obs_sceneitem_t *item)
{
	vec2 pos = {};
	vec2 bounds = {};
	obs_sceneitem_get_pos(item, &pos);
	obs_sceneitem_get_bounds(item, &bounds);
	return {pos.x,    pos.y,    obs_sceneitem_get_bounds_type(item),
		bounds.x, bounds.y, obs_sceneitem_visible(item)};
}

const Placement fitted1080 = {0, 0, OBS_BOUNDS_SCALE_INNER, 1920, 1080, true};

bool countNamed(void *param, obs_source_t *source)
{
	auto *wanted = static_cast<std::pair<std::string, int> *>(param);
	if (sourceName(source) == wanted->first)
		wanted->second++;
	return true;
}

// Sources of that name libobs knows (names are not unique in libobs).
int sourcesNamed(const std::string &name)
{
	std::pair<std::string, int> wanted{name, 0};
	obs_enum_sources(countNamed, &wanted);
	return wanted.second;
}

std::vector<std::string> itemNames(obs_source_t *scene)
{
	std::vector<std::string> names;
	for (const SceneItemRef &item :
	     sceneItems(obs_scene_from_source(scene)))
		names.push_back(itemSourceName(item));
	return names;
}

class OverlayTest : public ObsTest {
protected:
	void SetUp() override
	{
		ObsTest::SetUp();
		if (HasFatalFailure())
			return;
		if (withVideo) {
			ASSERT_TRUE(startVideoForSceneItems());
		}
		main = frontend::addScene("Main");
		other = frontend::addScene("Other");
		cam = obs_source_create(TEST_FEED_KIND, "Cam", nullptr,
					nullptr);
		obs_scene_add(obs_scene_from_source(main), cam);
	}

	void TearDown() override
	{
		cam = nullptr;
		ObsTest::TearDown();
	}

	static obs_source_t *found(const char *name)
	{
		OBSSourceAutoRelease source = obs_get_source_by_name(name);
		return source.Get(); // still held by its scene or the test
	}

	static obs_sceneitem_t *itemIn(obs_source_t *scene, const char *name)
	{
		return obs_scene_find_source(obs_scene_from_source(scene),
					     name);
	}

	// False: OBS has no video until the test starts it.
	bool withVideo = true;
	obs_source_t *main = nullptr;
	obs_source_t *other = nullptr;
	OBSSourceAutoRelease cam;
};

// OBS without video until the test starts it.
class OverlayBeforeVideo : public OverlayTest {
protected:
	OverlayBeforeVideo() { withVideo = false; }
};

TEST_F(OverlayTest, FirstRunAddsSecondRunUpdates)
{
	const QJsonArray sources = {
		overlay("Tessil · Chat", "http://127.0.0.1:47840/o/chat", true),
		overlay("Tessil · Alerts", "http://127.0.0.1:47840/o/alerts"),
	};
	EXPECT_EQ(json(installOverlays(sources)), R"({"added":2,"updated":0})");
	EXPECT_EQ(countLogLines(LOG_INFO,
				"[tessil-link] overlays: 2 added, 0 updated"),
		  1);

	struct Expected {
		const char *name;
		const char *url;
		bool audio;
	};
	const std::vector<Expected> expected = {
		{"Tessil · Chat", "http://127.0.0.1:47840/o/chat", true},
		{"Tessil · Alerts", "http://127.0.0.1:47840/o/alerts", false},
	};
	for (const Expected &e : expected) {
		SCOPED_TRACE(e.name);
		obs_source_t *source = found(e.name);
		ASSERT_NE(source, nullptr);
		EXPECT_STREQ(obs_source_get_id(source), "browser_source");
		EXPECT_EQ(settingsOf(source),
			  browserSettings(e.url, e.audio, 1920, 1080));
		EXPECT_EQ(placementOf(itemIn(main, e.name)), fitted1080);
	}
	// Added on top, in the order given; no other scene is touched.
	EXPECT_EQ(itemNames(main),
		  (std::vector<std::string>{"Cam", "Tessil · Chat",
					    "Tessil · Alerts"}));
	EXPECT_TRUE(itemNames(other).empty());

	// Again, with another address: the same sources, updated in place.
	clearCapturedLog();
	const QJsonArray again = {
		overlay("Tessil · Chat", "http://127.0.0.1:47840/o/chat2"),
		overlay("Tessil · Alerts", "http://127.0.0.1:47840/o/alerts",
			true),
	};
	EXPECT_EQ(json(installOverlays(again)), R"({"added":0,"updated":2})");
	EXPECT_EQ(countLogLines(LOG_INFO,
				"[tessil-link] overlays: 0 added, 2 updated"),
		  1);
	EXPECT_EQ(itemNames(main),
		  (std::vector<std::string>{"Cam", "Tessil · Chat",
					    "Tessil · Alerts"}));
	EXPECT_EQ(sourcesNamed("Tessil · Chat"), 1);
	EXPECT_EQ(sourcesNamed("Tessil · Alerts"), 1);
	EXPECT_EQ(settingsOf(found("Tessil · Chat")),
		  browserSettings("http://127.0.0.1:47840/o/chat2", false, 1920,
				  1080));
	EXPECT_EQ(settingsOf(found("Tessil · Alerts")),
		  browserSettings("http://127.0.0.1:47840/o/alerts", true, 1920,
				  1080));
}

TEST_F(OverlayBeforeVideo, SizedToTheRealCanvasAndExistingBoundsStay)
{
	// Installed while OBS has no video: the 1920x1080 fallback.
	EXPECT_EQ(json(installOverlays({overlay("Old", "http://a/")})),
		  R"({"added":1,"updated":0})");
	ASSERT_TRUE(startVideo(1280, 720));

	EXPECT_EQ(json(installOverlays({overlay("Old", "http://a/"),
					overlay("New", "http://b/")})),
		  R"({"added":1,"updated":1})");
	EXPECT_EQ(settingsOf(found("Old")),
		  browserSettings("http://a/", false, 1280, 720));
	EXPECT_EQ(settingsOf(found("New")),
		  browserSettings("http://b/", false, 1280, 720));
	// Where item positions are relative to the canvas, an item placed
	// without video has none: nothing to keep.
	if (!libobsHost::itemPositionsRelative()) {
		EXPECT_EQ(placementOf(itemIn(main, "Old")), fitted1080);
	}
	EXPECT_EQ(placementOf(itemIn(main, "New")),
		  (Placement{0, 0, OBS_BOUNDS_SCALE_INNER, 1280, 720, true}));
}

TEST_F(OverlayTest, ExistingSourcesAreUpdatedWhereverTheyAre)
{
	// In the current scene, moved, unbounded and hidden by the user.
	OBSSourceAutoRelease placed = obs_source_create(
		TEST_BROWSER_KIND, "Placed", nullptr, nullptr);
	obs_sceneitem_t *placedItem =
		obs_scene_add(obs_scene_from_source(main), placed);
	const vec2 pos = {10, 20};
	obs_sceneitem_set_pos(placedItem, &pos);
	obs_sceneitem_set_visible(placedItem, false);
	const Placement userPlacement = placementOf(placedItem);
	// Only in another scene.
	OBSSourceAutoRelease elsewhere = obs_source_create(
		TEST_BROWSER_KIND, "Elsewhere", nullptr, nullptr);
	obs_sceneitem_t *elsewhereItem =
		obs_scene_add(obs_scene_from_source(other), elsewhere);
	obs_sceneitem_set_pos(elsewhereItem, &pos);
	const Placement elsewherePlacement = placementOf(elsewhereItem);
	// In no scene at all.
	OBSSourceAutoRelease loose =
		obs_source_create(TEST_BROWSER_KIND, "Loose", nullptr, nullptr);

	struct Case {
		obs_source_t *source;
		const char *name;
		const char *counts;
	};
	const std::vector<Case> cases = {
		{placed, "Placed", R"({"added":0,"updated":1})"},
		{elsewhere, "Elsewhere", R"({"added":1,"updated":1})"},
		{loose, "Loose", R"({"added":1,"updated":1})"},
		// The feed kind is not a browser: it gets the settings anyway.
		{cam, "Cam", R"({"added":0,"updated":1})"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		const std::string kind = obs_source_get_id(c.source);
		EXPECT_EQ(json(installOverlays({overlay(c.name, "http://x/")})),
			  c.counts);
		EXPECT_EQ(sourcesNamed(c.name), 1);
		EXPECT_EQ(found(c.name), c.source);
		EXPECT_EQ(obs_source_get_id(c.source), kind);
		EXPECT_EQ(settingsOf(c.source),
			  browserSettings("http://x/", false, 1920, 1080));
	}
	EXPECT_EQ(placementOf(placedItem), userPlacement);
	EXPECT_EQ(placementOf(itemIn(main, "Cam")),
		  (Placement{0, 0, OBS_BOUNDS_NONE, 0, 0, true}));
	EXPECT_EQ(placementOf(itemIn(main, "Elsewhere")), fitted1080);
	EXPECT_EQ(placementOf(itemIn(main, "Loose")), fitted1080);
	EXPECT_EQ(placementOf(elsewhereItem), elsewherePlacement);
	EXPECT_EQ(itemNames(other), std::vector<std::string>{"Elsewhere"});
}

TEST_F(OverlayTest, WithoutCurrentSceneNothingHappens)
{
	frontend::setProgramScene(nullptr);
	OBSSourceAutoRelease existing = obs_source_create(
		TEST_BROWSER_KIND, "Existing", nullptr, nullptr);
	const std::string before = settingsOf(existing);

	EXPECT_EQ(json(installOverlays({overlay("New", "http://a/"),
					overlay("Existing", "http://b/")})),
		  R"({"added":0})");
	EXPECT_EQ(sourcesNamed("New"), 0);
	EXPECT_EQ(settingsOf(existing), before);
	EXPECT_EQ(itemNames(main), std::vector<std::string>{"Cam"});
	EXPECT_FALSE(logContains("overlays:"));
}

TEST_F(OverlayTest, EmptyListAndElementsThatAreNotObjects)
{
	EXPECT_EQ(json(installOverlays({})), R"({"added":0,"updated":0})");
	EXPECT_EQ(countLogLines(LOG_INFO,
				"[tessil-link] overlays: 0 added, 0 updated"),
		  1);
	EXPECT_EQ(itemNames(main), std::vector<std::string>{"Cam"});

	// An element that is not an object reads as one without keys, so
	// without a name. libobs would name such a source itself
	// ("__unnamed0000"...), no later run could find it again, and every
	// run would pile up another browser source in the scene: nameless
	// overlays are skipped.
	const QJsonArray odd = {42, "Chat", QJsonValue::Null, QJsonArray{},
				QJsonObject{{"url", "http://x/"}}};
	EXPECT_EQ(json(installOverlays(odd)), R"({"added":0,"updated":0})");
	EXPECT_EQ(json(installOverlays(odd)), R"({"added":0,"updated":0})");
	EXPECT_EQ(sourcesNamed("Chat"), 0);
	EXPECT_EQ(itemNames(main), std::vector<std::string>{"Cam"});
}
TEST_F(OverlayTest, ANameGivenTwiceIsAddedOnce)
{
	EXPECT_EQ(json(installOverlays({overlay("Chat", "http://a/"),
					overlay("Chat", "http://b/"),
					overlay("Cam", "http://c/")})),
		  R"({"added":1,"updated":2})");
	EXPECT_EQ(itemNames(main), (std::vector<std::string>{"Cam", "Chat"}));
	EXPECT_EQ(settingsOf(found("Chat")),
		  browserSettings("http://b/", false, 1920, 1080));
}

// What OBS's Sources dock does on every item added to the scene it shows:
// called from libobs's "item_add" signal, on the same thread.
void noteListShown(void *param, calldata_t *)
{
	auto *seen =
		static_cast<std::pair<QPointer<QListView>, std::vector<bool>> *>(
			param);
	seen->second.push_back(seen->first && seen->first->isVisible());
}

// Counts the times a widget is hidden.
class HideCount : public QObject {
public:
	explicit HideCount(QWidget *widget)
	{
		widget->installEventFilter(this);
	}
	int count = 0;

protected:
	bool eventFilter(QObject *, QEvent *event) override
	{
		if (event->type() == QEvent::Hide)
			count++;
		return false;
	}
};

TEST_F(OverlayTest, SourcesListIsHiddenOnlyWhileItemsAreAdded)
{
	QMainWindow *window = frontend::mainWindow();
	// The list, and something else that could take the focus from it.
	auto *dock = new QWidget(window);
	auto *list = new QListView(dock);
	list->setObjectName(QStringLiteral("sources"));
	auto *layout = new QVBoxLayout(dock);
	layout->addWidget(list);
	layout->addWidget(new QLineEdit(dock));
	window->setCentralWidget(dock);
	window->show();
	QApplication::setActiveWindow(window);
	list->setFocus();
	ASSERT_EQ(window->focusWidget(), list);
	std::pair<QPointer<QListView>, std::vector<bool>> seen{list, {}};
	signal_handler_t *signals = obs_source_get_signal_handler(main);
	signal_handler_connect(signals, "item_add", noteListShown, &seen);
	HideCount hides(list);

	EXPECT_EQ(json(installOverlays({overlay("Chat", "http://a/"),
					overlay("Cam", "http://b/"),
					overlay("Alerts", "http://c/")})),
		  R"({"added":2,"updated":1})");
	EXPECT_EQ(seen.second, (std::vector<bool>{false, false}));
	EXPECT_EQ(hides.count, 1);
	EXPECT_TRUE(list->isVisible());
	EXPECT_EQ(window->focusWidget(), list);

	// Nothing to add: the list is left alone.
	EXPECT_EQ(json(installOverlays({overlay("Chat", "http://a/")})),
		  R"({"added":0,"updated":1})");
	EXPECT_EQ(hides.count, 1);

	// A list the user does not show stays hidden.
	list->hide();
	seen.second.clear();
	EXPECT_EQ(json(installOverlays({overlay("Poll", "http://d/")})),
		  R"({"added":1,"updated":0})");
	EXPECT_EQ(seen.second, std::vector<bool>{false});
	EXPECT_FALSE(list->isVisible());

	signal_handler_disconnect(signals, "item_add", noteListShown, &seen);
	delete dock;
}
} // namespace
