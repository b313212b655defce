#include "obs_fixture.h"

#include <obs-module.h>
#include <util/bmem.h>

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>
#include <QTcpServer>
#include <QThread>

#include <cstdlib>

#include "config/link_config.h"
#include "frontend_double.h"
#include "libobs_host.h"
#include "log_capture.h"
#include "module/module_state.h"
#include "pov/dual_pov.h"
#include "pov/pov_flags.h"
#include "pov/squad_pov.h"
#include "server/link_server.h"
#include "test_kinds.h"

// Defined by the module file's OBS_DECLARE_MODULE, linked into the tests.
extern "C" void obs_module_set_pointer(obs_module_t *module);

namespace {
// Runs UI tasks on the Qt thread: at once when already there.
void runUiTask(obs_task_t task, void *param, bool wait)
{
	QCoreApplication *app = QCoreApplication::instance();
	if (!app || QThread::currentThread() == app->thread()) {
		task(param);
		return;
	}
	QMetaObject::invokeMethod(
		app, [task, param]() { task(param); },
		wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

bool countSource(void *param, obs_source_t *)
{
	(*static_cast<size_t *>(param))++;
	return true;
}

size_t sourceCount()
{
	size_t count = 0;
	obs_enum_all_sources(countSource, &count);
	return count;
}

void noTask(void *) {}

void flushDeferredDeletes()
{
	QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
	QCoreApplication::processEvents();
	QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
}

void ObsTest::SetUp()
{
	ASSERT_TRUE(tempDir.isValid());
	QDir(tempDir.path()).mkpath("module-config");
	QDir(tempDir.path()).mkpath("xdg");
	setenv("XDG_CONFIG_HOME", userConfigDir().toUtf8().constData(), 1);

	allocsBefore = bnum_allocs();
	startLogCapture();
	ASSERT_TRUE(obs_startup(
		"en-US", moduleConfigRoot().toUtf8().constData(), nullptr))
		<< "libobs needs an X display (DISPLAY=" << getenv("DISPLAY")
		<< ")";
	started = true;
	obs_set_ui_task_handler(runUiTask);
	registerTestKinds(registerColorFilterStandIn);

	obs_module_t *stub = nullptr;
	ASSERT_EQ(obs_open_module(&stub, TESSIL_STUB_MODULE_PATH,
				  TESSIL_DATA_DIR),
		  MODULE_SUCCESS);
	obs_module_set_pointer(stub);
}

void ObsTest::TearDown()
{
	// Whatever a test left behind goes before libobs does.
	ModuleState &module = moduleState();
	publishLinkServer(nullptr);
	module.linkServer.reset();
	for (obs_hotkey_id &id : module.hotkeyIds)
		id = OBS_INVALID_HOTKEY_ID;
	module.browserFactory = nullptr;
	module.sceneCollectionChanging = false;
	module.exitHandled = false;
	stopPov();
	shutdownDualPov();
	squadPovState() = SquadPovState();
	dualPovState() = DualPovState();
	linkConfig() = LinkConfig();
	povFlags() = PovFlags();
	for (const OBSSceneAutoRelease &scene : unlistedScenes)
		obs_source_remove(obs_scene_get_source(scene));
	unlistedScenes.clear();
	frontend::reset();
	flushDeferredDeletes();
	obs_module_free_locale();
	obs_module_set_pointer(nullptr);

	if (started) {
		drainDestroyQueue();
		obs_shutdown();
		started = false;
	}
	stopLogCapture();
	EXPECT_EQ(bnum_allocs(), allocsBefore)
		<< "libobs allocations leaked by this test";
}

void ObsTest::drainDestroyQueue()
{
	// Sources go on libobs's destroy thread; shutting down while it still
	// releases one destroys it twice. Wait until the count stops falling.
	size_t previous = sourceCount() + 1;
	for (int round = 0; round < 100; round++) {
		obs_queue_task(OBS_TASK_DESTROY, noTask, nullptr, true);
		obs_wait_for_destroy_queue();
		const size_t count = sourceCount();
		if (count >= previous)
			break;
		previous = count;
	}
}

bool ObsTest::startVideo(uint32_t width, uint32_t height)
{
	obs_video_info info = {};
	info.graphics_module = "libobs-opengl";
	info.fps_num = 30;
	info.fps_den = 1;
	info.base_width = width;
	info.base_height = height;
	info.output_width = width;
	info.output_height = height;
	info.output_format = VIDEO_FORMAT_NV12;
	info.adapter = 0;
	info.gpu_conversion = true;
	info.colorspace = VIDEO_CS_709;
	info.range = VIDEO_RANGE_PARTIAL;
	info.scale_type = OBS_SCALE_BICUBIC;
	return obs_reset_video(&info) == OBS_VIDEO_SUCCESS;
}

bool ObsTest::startVideoForSceneItems()
{
	return !libobsHost::itemPositionsRelative() || startVideo(1920, 1080);
}

obs_scene_t *ObsTest::unlistedScene(const char *name)
{
	unlistedScenes.emplace_back(obs_scene_create(name));
	return unlistedScenes.back();
}

QString ObsTest::moduleConfigRoot() const
{
	return tempDir.path() + "/module-config";
}

QString ObsTest::pluginConfigDir() const
{
	return moduleConfigRoot() + "/tessil-link";
}

QString ObsTest::configJsonPath() const
{
	return pluginConfigDir() + "/config.json";
}

QString ObsTest::userConfigDir() const
{
	return tempDir.path() + "/xdg";
}

QString ObsTest::tokenFilePath() const
{
	return userConfigDir() + "/tessil/link-token.txt";
}

int freeTcpPort()
{
	QTcpServer probe;
	probe.listen(QHostAddress::LocalHost, 0);
	return probe.serverPort();
}
