#include "obs/status.h"

#include <obs-frontend-api.h>
#include <obs.hpp>

#include <QJsonArray>

#include "config/link_config.h"
#include "obs/scene_lookup.h"
#include "pov/pov_flags.h"

QJsonObject statusData()
{
	const CanvasSize canvas = canvasSize();
	const bool streaming = obs_frontend_streaming_active();
	const bool recording = obs_frontend_recording_active();
	const bool replayBuffer = obs_frontend_replay_buffer_active();

	QJsonObject status{
		{"streaming", streaming},
		{"recording", recording},
		{"replayBuffer", replayBuffer},
		{"canvas", QJsonObject{{"w", qint64(canvas.width)},
				       {"h", qint64(canvas.height)}}},
		{"povShown", povFlags().povShown},
		{"dualShown", povFlags().dualShown},
	};

	OBSSourceAutoRelease scene = obs_frontend_get_current_scene();
	if (scene)
		status.insert(QStringLiteral("scene"),
			      QString::fromStdString(sourceName(scene)));

	QJsonArray povSources;
	for (const std::string &name : linkConfig().povSources)
		povSources.append(QString::fromStdString(name));
	status.insert(QStringLiteral("povSources"), povSources);
	return status;
}

QString saveReplay()
{
	if (!obs_frontend_replay_buffer_active())
		return QStringLiteral(
			"OBS's replay buffer is off (Settings > Output > Replay Buffer)");
	obs_frontend_replay_buffer_save();
	return QString();
}
