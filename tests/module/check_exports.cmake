# Fails unless the plug-in's dynamic symbol table defines exactly the seven
# module entry points.
execute_process(COMMAND nm -D --defined-only "${PLUGIN}"
	OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
	message(FATAL_ERROR "nm failed on ${PLUGIN}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" lines "${symbols}")
set(names "")
foreach(line IN LISTS lines)
	string(STRIP "${line}" name)
	list(APPEND names "${name}")
endforeach()
list(SORT names)
set(expected obs_module_free_locale obs_module_get_string obs_module_load
	obs_module_set_locale obs_module_set_pointer obs_module_unload
	obs_module_ver)
if(NOT names STREQUAL expected)
	message(FATAL_ERROR "exported: ${names}\nexpected: ${expected}")
endif()
message(STATUS "exports: ${names}")
