# Fails when a C or C++ file of the project is not formatted as .clang-format
# says (OBS's style), naming the files.
file(GLOB_RECURSE files
	"${SOURCE_DIR}/src/*.cpp" "${SOURCE_DIR}/src/*.h" "${SOURCE_DIR}/src/*.c"
	"${SOURCE_DIR}/tests/*.cpp" "${SOURCE_DIR}/tests/*.h" "${SOURCE_DIR}/tests/*.c"
	"${SOURCE_DIR}/tools/*.cpp" "${SOURCE_DIR}/tools/*.h"
	"${SOURCE_DIR}/fuzz/*.cpp" "${SOURCE_DIR}/bench/*.cpp")
set(unformatted "")
foreach(path IN LISTS files)
	execute_process(COMMAND "${CLANG_FORMAT}" --dry-run --Werror "${path}"
		RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
	if(NOT result EQUAL 0)
		file(RELATIVE_PATH name "${SOURCE_DIR}" "${path}")
		list(APPEND unformatted "${name}")
	endif()
endforeach()
if(unformatted)
	string(REPLACE ";" "\n  " list "${unformatted}")
	message(FATAL_ERROR "not formatted (run ${CLANG_FORMAT} -i on them):\n  ${list}")
endif()
