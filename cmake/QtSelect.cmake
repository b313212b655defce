# Picks the Qt major version the plug-in is built against.
#
# A plug-in must use the Qt of the OBS that loads it: Debian's OBS 29 links
# Qt 5, official OBS builds since 28 link Qt 6. QT_VERSION=AUTO reads the Qt
# libraries the installed OBS links; without an installed OBS it takes Qt 6.
# The OBS looked at is the one under CMAKE_PREFIX_PATH (whose headers the
# build then uses) before one on the PATH. A QT_VERSION that differs from
# that OBS's Qt is built as asked, with a warning: such a plug-in cannot
# serve the link in that OBS.

set(QT_VERSION "AUTO" CACHE STRING "Qt major version to build with: AUTO, 5 or 6")
set_property(CACHE QT_VERSION PROPERTY STRINGS AUTO 5 6)

function(tessil_detect_obs_qt out_var)
	set(${out_var} "" PARENT_SCOPE)
	find_program(TESSIL_OBS_EXECUTABLE obs
		HINTS ${CMAKE_PREFIX_PATH} PATH_SUFFIXES bin)
	find_program(TESSIL_READELF readelf)
	if(NOT TESSIL_OBS_EXECUTABLE OR NOT TESSIL_READELF)
		return()
	endif()
	execute_process(COMMAND "${TESSIL_READELF}" -d "${TESSIL_OBS_EXECUTABLE}"
		OUTPUT_VARIABLE dynamic ERROR_QUIET)
	if(dynamic MATCHES "libQt([56])Core")
		set(${out_var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
	endif()
endfunction()

tessil_detect_obs_qt(obs_qt)
if(QT_VERSION STREQUAL "AUTO")
	if(obs_qt)
		set(TESSIL_QT_MAJOR ${obs_qt})
		message(STATUS "tessil-link: ${TESSIL_OBS_EXECUTABLE} links Qt ${obs_qt}")
	else()
		set(TESSIL_QT_MAJOR 6)
		message(STATUS "tessil-link: no installed OBS found, defaulting to Qt 6")
	endif()
elseif(QT_VERSION STREQUAL "5" OR QT_VERSION STREQUAL "6")
	set(TESSIL_QT_MAJOR ${QT_VERSION})
	if(obs_qt AND NOT obs_qt STREQUAL QT_VERSION)
		message(WARNING "tessil-link: building with Qt ${QT_VERSION}, but "
			"${TESSIL_OBS_EXECUTABLE} links Qt ${obs_qt}: that OBS "
			"cannot run this build (OBS 30 and later refuse a Qt 5 "
			"plug-in with a \"Plugin Load Error\"; OBS 29 loads a Qt 6 "
			"plug-in, which then stays off). Use -DQT_VERSION=${obs_qt} "
			"or AUTO for that OBS.")
	endif()
else()
	message(FATAL_ERROR "QT_VERSION must be AUTO, 5 or 6 (got '${QT_VERSION}')")
endif()

find_package(Qt${TESSIL_QT_MAJOR} REQUIRED COMPONENTS Core Gui Widgets Network)
message(STATUS "tessil-link: building with Qt ${TESSIL_QT_MAJOR}")
