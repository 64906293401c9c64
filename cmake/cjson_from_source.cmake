# cJSON built from Debian's source package (what "apt-get source cjson" unpacks, with its
# security patches applied) as a static library, for self-contained builds. The source is
# never kept in this repository: scripts/fetch-cjson-source fetches it into build/.
if(NOT EXISTS "${TUNE_CJSON_SOURCE_DIR}/cJSON.c")
  message(FATAL_ERROR "No cJSON source in ${TUNE_CJSON_SOURCE_DIR}; run scripts/fetch-cjson-source")
endif()
set(_cjson_include "${CMAKE_BINARY_DIR}/cjson-include")
configure_file("${TUNE_CJSON_SOURCE_DIR}/cJSON.h" "${_cjson_include}/cjson/cJSON.h" COPYONLY)
add_library(cjson STATIC "${TUNE_CJSON_SOURCE_DIR}/cJSON.c")
target_include_directories(cjson SYSTEM PUBLIC "${_cjson_include}" PRIVATE "${_cjson_include}/cjson")
set_target_properties(cjson PROPERTIES C_STANDARD 99)
target_compile_options(cjson PRIVATE -w)
