#include "obs/scene_commands.h"

#include <obs-frontend-api.h>

#include <QJsonArray>
#include <QSet>
#include <QThread>

#include <vector>

#include "common/link_log.h"
#include "obs/frontend_scenes.h"
#include "obs/scene_lookup.h"

namespace {
// Names under which "item.visible" finds the scene's items: top-most first,
// each group followed by "group/child" for its children, each name once.
QJsonArray listedItemNames(obs_scene_t *scene)
{
	QJsonArray names;
	QSet<QString> listed;
	auto list = [&](const std::string &name) {
		const QString text = QString::fromStdString(name);
		if (!listed.contains(text)) {
			listed.insert(text);
			names.append(text);
		}
	};

	const SceneItemList items = sceneItems(scene);
	for (auto item = items.rbegin(); item != items.rend(); ++item) {
		if (isDualPovWindow(*item))
			continue;
		const std::string name = itemSourceName(*item);
		if (!name.empty())
			list(name);
		if (!obs_sceneitem_is_group(*item))
			continue;
		const SceneItemList children = groupItems(*item);
		for (auto child = children.rbegin(); child != children.rend();
		     ++child) {
			const std::string childName = itemSourceName(*child);
			if (!childName.empty())
				list(name + "/" + childName);
		}
	}
	return names;
}

// Runs `made` the first time, while the watch lives, that this thread starts
// the transition OBS uses now (the one on output channel 0) or one it may
// swap in for the new scene (a scene's own transition is one of the
// front-end's). libobs signals "transition_start" from inside
// obs_transition_start, on the thread that starts it: for a switch asked for
// here, OBS's user-interface thread, inside obs_frontend_set_current_scene.
class TransitionStartWatch {
public:
	explicit TransitionStartWatch(const std::function<void()> &made)
		: made(made),
		  thread(QThread::currentThread())
	{
		if (!made)
			return;
		OBSSourceAutoRelease channel = obs_get_output_source(0);
		if (channel &&
		    obs_source_get_type(channel) == OBS_SOURCE_TYPE_TRANSITION)
			watch(channel);
		obs_frontend_source_list transitions = {};
		obs_frontend_get_transitions(&transitions);
		for (size_t i = 0; i < transitions.sources.num; i++)
			watch(transitions.sources.array[i]);
		obs_frontend_source_list_free(&transitions);
	}
	~TransitionStartWatch()
	{
		for (const OBSSource &transition : watched)
			signal_handler_disconnect(
				obs_source_get_signal_handler(transition),
				"transition_start", onStart, this);
	}
	TransitionStartWatch(const TransitionStartWatch &) = delete;
	TransitionStartWatch &operator=(const TransitionStartWatch &) = delete;

private:
	void watch(obs_source_t *transition)
	{
		for (const OBSSource &known : watched)
			if (known.Get() == transition)
				return;
		watched.emplace_back(transition);
		signal_handler_connect(
			obs_source_get_signal_handler(transition),
			"transition_start", onStart, this);
	}

	static void onStart(void *param, calldata_t *)
	{
		auto *watch = static_cast<TransitionStartWatch *>(param);
		// A transition another thread starts meanwhile is not ours.
		if (QThread::currentThread() != watch->thread || watch->fired)
			return;
		watch->fired = true;
		watch->made();
	}

	const std::function<void()> &made;
	QThread *const thread;
	std::vector<OBSSource> watched;
	bool fired = false;
};

bool transitionInProgress()
{
	OBSSourceAutoRelease channel = obs_get_output_source(0);
	if (!channel ||
	    obs_source_get_type(channel) != OBS_SOURCE_TYPE_TRANSITION)
		return false;
	const float time = obs_transition_get_time(channel);
	return time > 0.0f && time < 1.0f;
}
}

QJsonObject listScenes()
{
	QJsonArray scenes;
	{
		FrontendScenes list;
		for (size_t i = 0; i < list.size(); i++)
			scenes.append(QJsonObject{
				{"name",
				 QString::fromStdString(sourceName(list[i]))},
				{"items", listedItemNames(obs_scene_from_source(
						  list[i]))},
			});
	}
	OBSSourceAutoRelease current = obs_frontend_get_current_scene();
	return QJsonObject{
		{"current", QString::fromStdString(sourceName(current))},
		{"scenes", scenes},
	};
}

QString setScene(const QString &name, QJsonObject &data,
		 const std::function<void()> &switchMade)
{
	OBSSourceAutoRelease current = obs_frontend_get_current_scene();
	const std::string previous = sourceName(current);
	data.insert(QStringLiteral("previous"),
		    QString::fromStdString(previous));

	OBSSourceAutoRelease target = findSceneByName(name);
	if (!target)
		return name.isEmpty()
			       ? QStringLiteral("no scene name given")
			       : QStringLiteral("no scene named ") + name;
	if (target.Get() == current.Get())
		return QString();
	if (obs_frontend_preview_program_mode_active() &&
	    transitionInProgress())
		return QStringLiteral(
			"OBS is in the middle of a transition; try again");

	{
		// OBS starts the transition first and then, still inside the
		// call, rebuilds its docks for the new scene (tens of
		// milliseconds with many items): the reply can go at the start.
		const TransitionStartWatch watch(switchMade);
		obs_frontend_set_current_scene(target);
	}
	linkLog(LOG_INFO, "scene: %s -> %s", previous.c_str(),
		sourceName(target).c_str());
	return QString();
}
