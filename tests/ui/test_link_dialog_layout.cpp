// The Link dialog's geometry with a long POV list, on the screen the test
// binary runs on: ctest runs these tests on the offscreen platform's screen
// (800x600 in Qt 5), on a 1280x720 screen, and at a scale factor of 1.5 on
// a 1920x1080 screen (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <obs-module.h>
#include <obs.hpp>

#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QScreen>
#include <QScrollBar>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "config/link_config.h"
#include "obs_fixture.h"
#include "test_kinds.h"
#include "ui/link_dialog.h"

// Readable geometry in failure messages.
void PrintTo(const QRect &rect, std::ostream *out)
{
	*out << rect.width() << "x" << rect.height() << "+" << rect.x() << "+"
	     << rect.y();
}

void PrintTo(const QSize &size, std::ostream *out)
{
	*out << size.width() << "x" << size.height();
}

namespace {
// A widget placed by a layout, with its rectangle in dialog coordinates.
struct Placed {
	QWidget *widget;
	QRect rect;
};

std::string describe(const QWidget *widget)
{
	std::string name = widget->metaObject()->className();
	if (!widget->objectName().isEmpty())
		name += " " + widget->objectName().toStdString();
	if (auto *label = qobject_cast<const QLabel *>(widget))
		name += " \"" + label->text().left(24).toStdString() + "\"";
	return name;
}

// The visible widgets that `layout` and the layouts nested in it place.
void collectPlaced(QLayout *layout, QWidget *dialog, std::vector<Placed> &out)
{
	for (int i = 0; i < layout->count(); i++) {
		QLayoutItem *item = layout->itemAt(i);
		if (QLayout *inner = item->layout()) {
			collectPlaced(inner, dialog, out);
		} else if (QWidget *widget = item->widget()) {
			if (widget->isVisible())
				out.push_back(
					{widget,
					 QRect(widget->mapTo(dialog,
							     QPoint(0, 0)),
					       widget->size())});
		}
	}
}

// Every layout in the dialog: its own, and those of the widgets it places
// (the button box lays out its buttons).
std::vector<QLayout *> layoutsOf(QWidget *dialog)
{
	std::vector<QLayout *> layouts;
	if (dialog->layout())
		layouts.push_back(dialog->layout());
	for (QWidget *widget : dialog->findChildren<QWidget *>())
		if (widget->layout() && widget->isVisible())
			layouts.push_back(widget->layout());
	return layouts;
}

// Whatever a layout placed: inside the dialog, clear of the other widgets
// of the same layout, at least its minimum size hint, and a word-wrapped
// label as high as its text needs at its width.
void expectLaidOutFully(QWidget *dialog)
{
	for (QLayout *layout : layoutsOf(dialog)) {
		std::vector<Placed> placed;
		collectPlaced(layout, dialog, placed);
		ASSERT_FALSE(placed.empty());
		for (size_t i = 0; i < placed.size(); i++) {
			const Placed &p = placed[i];
			SCOPED_TRACE(describe(p.widget));
			EXPECT_TRUE(dialog->rect().contains(p.rect))
				<< ::testing::PrintToString(p.rect)
				<< " leaves the dialog's "
				<< ::testing::PrintToString(dialog->rect());
			const QSize hint = p.widget->minimumSizeHint();
			EXPECT_GE(p.rect.width(), hint.width());
			EXPECT_GE(p.rect.height(), hint.height());
			auto *label = qobject_cast<QLabel *>(p.widget);
			if (label && label->wordWrap()) {
				EXPECT_GE(
					p.rect.height(),
					label->heightForWidth(p.rect.width()));
			}
			for (size_t j = i + 1; j < placed.size(); j++) {
				EXPECT_FALSE(p.rect.intersects(placed[j].rect))
					<< "overlaps "
					<< describe(placed[j].widget) << ": "
					<< ::testing::PrintToString(p.rect)
					<< " and "
					<< ::testing::PrintToString(
						   placed[j].rect);
			}
		}
	}
}

class LinkDialogLayout : public ObsTest {
protected:
	void SetUp() override
	{
		ObsTest::SetUp();
		obs_module_set_locale("en-US");
		linkConfig().token = "Xk7QmP2vRt9sLw4zNb8cHj3dFy6a";
		linkConfig().port = 47841;
		// Forty team-mates' browser sources with long names, more
		// than any screen shows at once.
		for (int i = 0; i < 40; i++) {
			const std::string name =
				"Team-mate " + std::to_string(i + 1) +
				" \xE2\x80\x94 squad POV browser source with a long name";
			sources.emplace_back(obs_source_create(
				TEST_BROWSER_KIND, name.c_str(), nullptr,
				nullptr));
			if (i % 3 == 0)
				linkConfig().povSources.push_back(name);
		}
	}

	void TearDown() override
	{
		dialog.reset();
		sources.clear();
		ObsTest::TearDown();
	}

	// Opens the dialog as OBS does, laid out by Qt but kept off the
	// window system, so that its geometry is exactly what Qt gave it.
	LinkDialog &open()
	{
		dialog = std::make_unique<LinkDialog>(
			nullptr, [] { return 0; }, [] {});
		dialog->setAttribute(Qt::WA_DontShowOnScreen);
		dialog->show();
		return *dialog;
	}

	std::unique_ptr<LinkDialog> dialog;
	std::vector<OBSSourceAutoRelease> sources;
};
}

TEST_F(LinkDialogLayout, FitsItsScreenAndLaysOutFullyAtEverySize)
{
	LinkDialog &d = open();
	QScreen *screen = d.screen();
	ASSERT_NE(screen, nullptr);
	const QRect area = screen->availableGeometry();
	SCOPED_TRACE("screen area " + ::testing::PrintToString(area) +
		     ", scale " + qgetenv("QT_SCALE_FACTOR").toStdString());
	// Where a scale factor is given, Qt lays out in pixels that large.
	if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) {
		ASSERT_DOUBLE_EQ(d.devicePixelRatioF(),
				 qgetenv("QT_SCALE_FACTOR").toDouble());
	}
	auto *list = d.findChild<QListWidget *>("povSources");
	ASSERT_NE(list, nullptr);
	ASSERT_EQ(list->count(), 40);

	// The dialog never asks for more than the screen has.
	EXPECT_LE(d.maximumWidth(), area.width());
	EXPECT_LE(d.maximumHeight(), area.height());
	EXPECT_LE(d.minimumWidth(), d.maximumWidth());
	EXPECT_LE(d.minimumHeight(), d.maximumHeight());
	EXPECT_GE(d.minimumWidth(), 460);
	EXPECT_TRUE(area.contains(d.frameGeometry()))
		<< ::testing::PrintToString(d.frameGeometry());

	const struct {
		const char *what;
		QSize size;
	} sizes[] = {
		{"as opened", d.size()},
		{"minimum", d.minimumSize()},
		{"narrowest and tallest",
		 QSize(d.minimumWidth(), d.maximumHeight())},
		{"widest and lowest",
		 QSize(d.maximumWidth(), d.minimumHeight())},
	};
	for (const auto &s : sizes) {
		SCOPED_TRACE(std::string(s.what) + " " +
			     ::testing::PrintToString(s.size));
		d.resize(s.size);
		ASSERT_EQ(d.size(), s.size);
		expectLaidOutFully(&d);

		// The list is what gives way: it scrolls, and at the
		// dialog's minimum size it is at its own.
		EXPECT_GT(list->verticalScrollBar()->maximum(), 0);
		if (s.size == d.minimumSize()) {
			EXPECT_EQ(list->height(), list->minimumHeight());
		}
	}
}
