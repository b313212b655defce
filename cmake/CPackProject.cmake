# Read by cpack for each package it makes (CPACK_PROJECT_CONFIG_FILE): picks
# the install component of the package and refuses a package that the
# build's Qt or libobs cannot serve (see cmake/Packaging.cmake).

if(CPACK_TESSIL_SANITIZE)
	message(FATAL_ERROR "tessil-link: no packages from a sanitizer build")
endif()

if(CPACK_GENERATOR STREQUAL "DEB")
	if(NOT CPACK_TESSIL_QT_MAJOR EQUAL 5 OR CPACK_TESSIL_LIBOBS_VERSION VERSION_GREATER_EQUAL 30)
		message(FATAL_ERROR "tessil-link: the .deb is for Debian's and Ubuntu's OBS 29: "
			"build it with -DQT_VERSION=5 against libobs 29 (this build: Qt "
			"${CPACK_TESSIL_QT_MAJOR}, libobs ${CPACK_TESSIL_LIBOBS_VERSION})")
	endif()
	if(CPACK_TESSIL_CHANGELOG_PROBLEM)
		message(FATAL_ERROR "tessil-link: ${CPACK_TESSIL_CHANGELOG_PROBLEM}")
	endif()
	set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_TESSIL_BINARY_DIR};tessil-link;system;/")
	set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
elseif(CPACK_GENERATOR STREQUAL "TXZ")
	# OBS 32 no longer has functions that a build against older headers needs.
	if(NOT CPACK_TESSIL_QT_MAJOR EQUAL 6 OR CPACK_TESSIL_LIBOBS_VERSION VERSION_LESS 30.1)
		message(FATAL_ERROR "tessil-link: the .tar.xz is for OBS 30 and newer: build it "
			"with -DQT_VERSION=6 against the headers of OBS 30.1 or newer (this build: "
			"Qt ${CPACK_TESSIL_QT_MAJOR}, libobs ${CPACK_TESSIL_LIBOBS_VERSION})")
	endif()
	set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_TESSIL_BINARY_DIR};tessil-link;user;/")
	set(CPACK_PACKAGE_FILE_NAME
		"${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-linux-${CPACK_TESSIL_SYSTEM_PROCESSOR}")
	set(CPACK_PACKAGING_INSTALL_PREFIX "")
else()
	message(FATAL_ERROR "tessil-link: packages are DEB and TXZ (got ${CPACK_GENERATOR})")
endif()
