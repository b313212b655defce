# Installing and packaging the plug-in.
#
# One build lays the same files out in two ways, as two install components:
#
#   user    OBS's per-user plug-in folder, the folder a streamer unpacks
#           into ~/.config/obs-studio/plugins:
#             tessil-link/bin/64bit/tessil-link.so
#             tessil-link/data/locale/*.ini, tessil-link/data/manifest.json
#   system  where a distribution's OBS looks, under a prefix such as /usr:
#             lib/<multiarch>/obs-plugins/tessil-link.so
#             share/obs/obs-plugins/tessil-link/locale/*.ini, .../manifest.json
#             bin/tessil-linkctl and its manual page
#             share/doc/tessil-link/copyright and changelog.gz
#
# `cmake --install` installs the component TESSIL_SYSTEM_INSTALL picks; the
# other stays out of it (EXCLUDE_FROM_ALL) but is there for cpack, so any
# build makes either package:
#
#   cpack -G DEB   tessil-link_<version>_<arch>.deb, the system component,
#                  for Debian's and Ubuntu's OBS 29: Qt 5, libobs 29
#   cpack -G TXZ   tessil-link-<version>-linux-<cpu>.tar.xz, the user
#                  component, for OBS 30 and newer: Qt 6, libobs 30.1 or newer
#
# cmake/CPackProject.cmake refuses a package from a build of the wrong Qt or
# libobs. scripts/package.sh makes both.

include(GNUInstallDirs)

# Debian's OBS looks in lib/<multiarch>/obs-plugins of its prefix whatever
# the prefix given at install time (GNUInstallDirs gives plain "lib" unless
# the prefix was /usr when configuring).
if(CMAKE_LIBRARY_ARCHITECTURE)
	set(TESSIL_SYSTEM_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
else()
	set(TESSIL_SYSTEM_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
endif()
set(TESSIL_SYSTEM_DATADIR "${CMAKE_INSTALL_DATADIR}/obs/obs-plugins/tessil-link")
set(TESSIL_DOCDIR "${CMAKE_INSTALL_DATADIR}/doc/tessil-link")

if(TESSIL_SYSTEM_INSTALL)
	set(user_only EXCLUDE_FROM_ALL)
	set(system_only "")
else()
	set(user_only "")
	set(system_only EXCLUDE_FROM_ALL)
	if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
		if(DEFINED ENV{XDG_CONFIG_HOME} AND NOT "$ENV{XDG_CONFIG_HOME}" STREQUAL "")
			set(user_config "$ENV{XDG_CONFIG_HOME}")
		else()
			set(user_config "$ENV{HOME}/.config")
		endif()
		set(CMAKE_INSTALL_PREFIX "${user_config}/obs-studio/plugins" CACHE PATH "" FORCE)
	endif()
endif()

# Whatever the builder's umask: folders 0755, the module 0644 as the other
# modules of OBS.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
	OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(module_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(manifest "${CMAKE_BINARY_DIR}/generated/manifest.json")

install(TARGETS tessil-link LIBRARY DESTINATION tessil-link/bin/64bit
	PERMISSIONS ${module_permissions} COMPONENT user ${user_only})
install(DIRECTORY data/ DESTINATION tessil-link/data COMPONENT user ${user_only})
install(FILES "${manifest}" DESTINATION tessil-link/data COMPONENT user ${user_only})

install(TARGETS tessil-link LIBRARY DESTINATION "${TESSIL_SYSTEM_LIBDIR}/obs-plugins"
	PERMISSIONS ${module_permissions} COMPONENT system ${system_only})
install(DIRECTORY data/ DESTINATION "${TESSIL_SYSTEM_DATADIR}" COMPONENT system ${system_only})
install(FILES "${manifest}" DESTINATION "${TESSIL_SYSTEM_DATADIR}" COMPONENT system ${system_only})

# The per-user folder is OBS's plug-in folder, no place for programs: the
# command-line client comes only with the system component.
if(TARGET tessil-linkctl)
	install(TARGETS tessil-linkctl RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
		COMPONENT system ${system_only})
	# Its manual page, made from its --help and --version by help2man where
	# that is installed.
	find_program(TESSIL_HELP2MAN help2man)
	find_program(TESSIL_GZIP gzip)
	if(TESSIL_HELP2MAN AND TESSIL_GZIP)
		set(man "${CMAKE_BINARY_DIR}/generated/tessil-linkctl.1")
		install(CODE "
			execute_process(COMMAND \"${TESSIL_HELP2MAN}\" --no-info --no-discard-stderr
				--name \"command-line client of the Tessil Link plug-in for OBS Studio\"
				--section 1 --output \"${man}\" \"$<TARGET_FILE:tessil-linkctl>\"
				RESULT_VARIABLE result)
			if(NOT result EQUAL 0)
				message(FATAL_ERROR \"help2man failed on tessil-linkctl\")
			endif()
			execute_process(COMMAND \"${TESSIL_GZIP}\" -9nf \"${man}\" RESULT_VARIABLE result)
			if(NOT result EQUAL 0)
				message(FATAL_ERROR \"gzip failed on ${man}\")
			endif()
			file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man1\"
				TYPE FILE FILES \"${man}.gz\"
				PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
			"
			COMPONENT system ${system_only})
	else()
		message(STATUS "tessil-link: no help2man or gzip, so no manual page for tessil-linkctl")
	endif()
endif()

# --- Release notes and licence for the .deb --------------------------------

set(TESSIL_PACKAGE_MAINTAINER
	"tessil-link maintainers <maintainers@users.noreply.c-seed-7838f3a6.example>"
	CACHE STRING "Maintainer of the packages: Name <address>")
set(TESSIL_LICENSE_NAME "" CACHE STRING
	"Short name of the licence in LICENSE (SPDX, e.g. GPL-2.0-or-later)")

# CHANGELOG.md: "## <version> (<YYYY-MM-DD>)" headings, newest first, each
# followed by paragraphs and "- " items. Its first entry must be this
# version; the .deb's Debian changelog is made from it.
function(tessil_debian_changelog out_file problem_var)
	set(${problem_var} "" PARENT_SCOPE)
	if(NOT EXISTS "${CMAKE_SOURCE_DIR}/CHANGELOG.md")
		set(${problem_var} "no CHANGELOG.md" PARENT_SCOPE)
		return()
	endif()
	file(READ "${CMAKE_SOURCE_DIR}/CHANGELOG.md" text)
	string(REPLACE ";" "@semicolon@" text "${text}")
	string(REPLACE "\n" ";" lines "${text}")
	set(version "")
	set(entries "")
	set(current "")
	foreach(line IN LISTS lines)
		if(line MATCHES "^## ")
			if(version)
				break()
			endif()
			if(NOT line MATCHES "^## ([^ ]+) \\(([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])\\)$")
				set(${problem_var} "CHANGELOG.md: heading '${line}' is not '## <version> (<YYYY-MM-DD>)'" PARENT_SCOPE)
				return()
			endif()
			set(version "${CMAKE_MATCH_1}")
			set(date "${CMAKE_MATCH_2}")
		elseif(version)
			string(STRIP "${line}" stripped)
			if(stripped STREQUAL "" OR line MATCHES "^- ")
				if(NOT current STREQUAL "")
					list(APPEND entries "${current}")
				endif()
				set(current "")
			endif()
			string(REGEX REPLACE "^- " "" stripped "${stripped}")
			string(REPLACE "**" "" stripped "${stripped}")
			if(NOT stripped STREQUAL "")
				if(current STREQUAL "")
					set(current "${stripped}")
				else()
					string(APPEND current " ${stripped}")
				endif()
			endif()
		endif()
	endforeach()
	if(NOT current STREQUAL "")
		list(APPEND entries "${current}")
	endif()
	if(NOT version STREQUAL PROJECT_VERSION)
		set(${problem_var} "CHANGELOG.md's first entry is '${version}', not this version ${PROJECT_VERSION}" PARENT_SCOPE)
		return()
	endif()

	# "  * " entries wrapped at 78 columns.
	set(body "")
	foreach(entry IN LISTS entries)
		string(REPLACE " " ";" words "${entry}")
		set(out "  *")
		set(column 3)
		foreach(word IN LISTS words)
			string(REPLACE "@semicolon@" ";" shown "${word}")
			string(LENGTH "${shown}" length)
			math(EXPR next "${column} + 1 + ${length}")
			if(next GREATER 78 AND column GREATER 4)
				string(APPEND out "\n    ${word}")
				math(EXPR column "4 + ${length}")
			else()
				string(APPEND out " ${word}")
				set(column ${next})
			endif()
		endforeach()
		string(APPEND body "${out}\n")
	endforeach()
	string(REPLACE "@semicolon@" ";" body "${body}")

	execute_process(COMMAND "${CMAKE_COMMAND}" -E env LC_ALL=C date -u -R -d "${date}"
		OUTPUT_VARIABLE stamp OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
	if(NOT result EQUAL 0)
		set(${problem_var} "cannot format the date ${date} (GNU date)" PARENT_SCOPE)
		return()
	endif()
	file(WRITE "${out_file}"
		"tessil-link (${version}) unstable; urgency=medium\n\n${body}\n"
		" -- ${TESSIL_PACKAGE_MAINTAINER}  ${stamp}\n")
	string(SUBSTRING "${date}" 0 4 year)
	set(TESSIL_RELEASE_YEAR "${year}" PARENT_SCOPE)
endfunction()

set(debian_dir "${CMAKE_BINARY_DIR}/debian")
file(MAKE_DIRECTORY "${debian_dir}")
set(TESSIL_RELEASE_YEAR "")
tessil_debian_changelog("${debian_dir}/changelog" changelog_problem)
foreach(source IN ITEMS CHANGELOG.md LICENSE)
	if(EXISTS "${CMAKE_SOURCE_DIR}/${source}")
		set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/${source}")
	endif()
endforeach()
if(changelog_problem)
	message(WARNING "tessil-link: ${changelog_problem}; cpack -G DEB refuses to run")
else()
	find_program(TESSIL_GZIP gzip)
	execute_process(COMMAND "${TESSIL_GZIP}" -9nc "${debian_dir}/changelog"
		OUTPUT_FILE "${debian_dir}/changelog.gz" RESULT_VARIABLE result)
	if(NOT result EQUAL 0)
		set(changelog_problem "gzip failed on the Debian changelog")
	else()
		install(FILES "${debian_dir}/changelog.gz" DESTINATION "${TESSIL_DOCDIR}"
			COMPONENT system ${system_only})
	endif()
endif()

# The machine-readable copyright file, with the text of LICENSE.
if(EXISTS "${CMAKE_SOURCE_DIR}/LICENSE" AND NOT TESSIL_LICENSE_NAME STREQUAL "")
	file(READ "${CMAKE_SOURCE_DIR}/LICENSE" license_text)
	string(REGEX REPLACE "\n+$" "" license_text "${license_text}")
	string(REGEX REPLACE "\n[ \t]*\n" "\n.\n" license_text "${license_text}")
	string(REPLACE "\n" "\n " license_text "${license_text}")
	set(license_block "${TESSIL_LICENSE_NAME}\n ${license_text}")
else()
	message(WARNING "tessil-link: the repository has no LICENSE (or TESSIL_LICENSE_NAME "
		"is empty): the .deb's copyright file says that no licence is granted")
	set(license_block "none\n No licence has been granted for tessil-link yet.")
endif()
string(REGEX REPLACE " *<.*" "" maintainer_name "${TESSIL_PACKAGE_MAINTAINER}")
set(TESSIL_COPYRIGHT_HOLDER "${maintainer_name}" CACHE STRING
	"Holder of the copyright, as the .deb's copyright file names it")
file(WRITE "${debian_dir}/copyright"
	"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
	"Upstream-Name: tessil-link\n"
	"Upstream-Contact: ${TESSIL_PACKAGE_MAINTAINER}\n"
	"\n"
	"Files: *\n"
	"Copyright: ${TESSIL_RELEASE_YEAR} ${TESSIL_COPYRIGHT_HOLDER}\n"
	"License: ${license_block}\n")
install(FILES "${debian_dir}/copyright" DESTINATION "${TESSIL_DOCDIR}"
	COMPONENT system ${system_only})

# --- CPack -----------------------------------------------------------------

set(CPACK_PACKAGE_NAME tessil-link)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${TESSIL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
	"OBS Studio plug-in linking OBS to the Tessil companion app")
set(CPACK_PACKAGE_DESCRIPTION
	"Tessil Link runs inside OBS Studio and lets Tessil, the streamer's companion
application, read and control OBS over a local WebSocket link protected by a
token: OBS's status and the replay buffer, Tessil's web overlays, scenes and
their layers, and a team-mate's feed on stream, full-screen (squad POV) or as
a small window over the own view (dual POV). OBS tells Tessil about streaming,
recording, replays, scene changes and the plug-in's hotkeys in return.

This package is built for the OBS 29 of Debian and Ubuntu (Qt 5). It holds
the plug-in, found by OBS at its next start, and tessil-linkctl, a command-line
client of the link.")
if(EXISTS "${CMAKE_SOURCE_DIR}/LICENSE")
	set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_SOURCE_DIR}/cmake/CPackProject.cmake")
# Read by CPackProject.cmake: which package this build can make.
set(CPACK_TESSIL_BINARY_DIR "${CMAKE_BINARY_DIR}")
set(CPACK_TESSIL_QT_MAJOR "${TESSIL_QT_MAJOR}")
set(CPACK_TESSIL_LIBOBS_VERSION "${libobs_VERSION}")
set(CPACK_TESSIL_SYSTEM_PROCESSOR "${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_TESSIL_CHANGELOG_PROBLEM "${changelog_problem}")
set(CPACK_TESSIL_SANITIZE "${TESSIL_SANITIZE}")
if(TESSIL_QT_MAJOR EQUAL 5)
	set(CPACK_GENERATOR DEB)
else()
	set(CPACK_GENERATOR TXZ)
endif()

# The .deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# OBS 30 and newer are built with Qt 6 and refuse this Qt 5 plug-in.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "obs-studio (>= 29), obs-studio (<< 30)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# The .tar.xz: the plug-in folder at its top.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

include(CPack)
