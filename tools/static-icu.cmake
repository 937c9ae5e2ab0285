# ICU's common library compiled into the module (ZEMO_STATIC_ICU names a
# directory prepared by tools/static-icu.sh): only the files that
# tools/icu-sources.txt lists, static, position-independent, hidden, and the
# data the module loads linked in as an array, so that nothing is looked up in
# the system or on disk at run time.
file(STRINGS ${CMAKE_SOURCE_DIR}/tools/icu-sources.txt _icu_names REGEX "^[^#]")
set(_icu_common ${ZEMO_STATIC_ICU}/src/source/common)
list(TRANSFORM _icu_names PREPEND ${_icu_common}/)
list(TRANSFORM _icu_names APPEND .cpp)
add_library(zemo_icu STATIC ${_icu_names} ${ZEMO_STATIC_ICU}/icudata.cpp)
target_include_directories(zemo_icu SYSTEM PUBLIC ${_icu_common})
# The same configuration for ICU and for its callers: the headers' inline code
# and declarations depend on it.
target_compile_definitions(zemo_icu
  PUBLIC ZEMO_ICU_DATA_BUILT_IN U_STATIC_IMPLEMENTATION U_USING_ICU_NAMESPACE=0 U_CHARSET_IS_UTF8=1
         UCONFIG_NO_LEGACY_CONVERSION=1 UCONFIG_NO_SERVICE=1
  PRIVATE U_COMMON_IMPLEMENTATION U_ATTRIBUTE_DEPRECATED= U_HAVE_STRTOD_L=1)
target_compile_options(zemo_icu PRIVATE -w -ffunction-sections -fdata-sections)
set_target_properties(zemo_icu PROPERTIES CXX_STANDARD 17 CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_libraries(zemo_icu PUBLIC ${CMAKE_DL_LIBS} Threads::Threads)
