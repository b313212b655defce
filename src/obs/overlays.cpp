#include "obs/overlays.h"

#include <obs-frontend-api.h>

#include <string>
#include <unordered_set>

#include "common/link_log.h"
#include "obs/scene_lookup.h"
#include "obs/sources_list_pause.h"

namespace {
const char browserKind[] = "browser_source";

OBSDataAutoRelease browserSettings(const QJsonObject &overlay,
				   CanvasSize canvas)
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "url",
			    overlay.value(QStringLiteral("url"))
				    .toString()
				    .toUtf8()
				    .constData());
	obs_data_set_int(settings, "width", canvas.width);
	obs_data_set_int(settings, "height", canvas.height);
	obs_data_set_bool(settings, "reroute_audio",
			  overlay.value(QStringLiteral("audio")).toBool());
	obs_data_set_bool(settings, "shutdown", false);
	obs_data_set_bool(settings, "restart_when_active", false);
	return settings;
}

// Fits an added overlay into the canvas, keeping its proportions.
void placeOnCanvas(obs_sceneitem_t *item, CanvasSize canvas)
{
	const vec2 position = {0.0f, 0.0f};
	const vec2 bounds = {float(canvas.width), float(canvas.height)};
	obs_sceneitem_set_pos(item, &position);
	obs_sceneitem_set_bounds_type(item, OBS_BOUNDS_SCALE_INNER);
	obs_sceneitem_set_bounds(item, &bounds);
}
}

QJsonObject installOverlays(const QJsonArray &sources)
{
	const CanvasSize canvas = canvasSize();
	OBSSourceAutoRelease current = obs_frontend_get_current_scene();
	if (!current)
		return QJsonObject{{"added", 0}};
	obs_scene_t *scene = obs_scene_from_source(current);
	// The names `obs_scene_find_source` would find (the scene's top-level
	// items), gathered once: one walk of the scene per request, not one
	// per overlay.
	std::unordered_set<std::string> inScene;
	for (const SceneItemRef &item : sceneItems(scene))
		inScene.insert(itemSourceName(item));
	SourcesListPause listPause;

	int added = 0;
	int updated = 0;
	for (const QJsonValue &element : sources) {
		const QJsonObject overlay = element.toObject();
		const QByteArray name = overlay.value(QStringLiteral("name"))
						.toString()
						.toUtf8();
		// A nameless overlay could never be found again: libobs would
		// name it itself, and each run would add one more.
		if (name.isEmpty())
			continue;
		OBSDataAutoRelease settings = browserSettings(overlay, canvas);

		OBSSourceAutoRelease source =
			obs_get_source_by_name(name.constData());
		if (source) {
			obs_source_update(source, settings);
			updated++;
		} else {
			source = obs_source_create(browserKind,
						   name.constData(), settings,
						   nullptr);
			if (!source)
				continue;
		}

		if (!inScene.count(name.toStdString())) {
			listPause.hold();
			obs_sceneitem_t *item = obs_scene_add(scene, source);
			if (item) {
				inScene.insert(name.toStdString());
				placeOnCanvas(item, canvas);
				added++;
			}
		}
	}

	linkLog(LOG_INFO, "overlays: %d added, %d updated", added, updated);
	return QJsonObject{{"added", added}, {"updated", updated}};
}
