// A build for the other Qt major finds no application object in OBS: the
// plug-in says so and stays off instead of listening on a port that no event
// loop would serve.
#include <gtest/gtest.h>

#include <obs-module.h>

#include <QCoreApplication>

#include "frontend_double.h"
#include "log_capture.h"
#include "obs_fixture.h"

using WithoutQtApplication = ObsTest;

TEST_F(WithoutQtApplication, LoadLogsTheReasonAndFails)
{
	ASSERT_EQ(QCoreApplication::instance(), nullptr);
	EXPECT_FALSE(obs_module_load());
	EXPECT_TRUE(
		logContains("[tessil-link] no Qt application in this process"));
	EXPECT_TRUE(frontend::toolsMenuItems().empty());
	EXPECT_FALSE(QFile::exists(configJsonPath()));
}
