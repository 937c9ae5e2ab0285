# The portable (wheel) build. ICU is linked statically, so the wheel does not
# depend on the system's ICU: the code from Debian's libicuuc.a, and in place
# of the 30 MB libicudata a data package holding only the items listed in
# cmake/icu-data-items.txt. The library's
# symbols are kept out of the module's dynamic symbol table, so another ICU in
# the same process never binds to ours.
enable_language(ASM)
pkg_get_variable(ICU_LIBDIR icu-uc libdir)
string(REGEX MATCH "^[0-9]+" ICU_MAJOR "${ICU_VERSION}")
find_library(ICU_UC_STATIC NAMES libicuuc.a HINTS ${ICU_LIBDIR} REQUIRED)
find_file(ICU_DATA_STATIC NAMES libicudata.a HINTS ${ICU_LIBDIR} REQUIRED)

set(ZEMO_ICU_DATA_ASM ${CMAKE_BINARY_DIR}/icudt${ICU_MAJOR}l_subset.S)
add_custom_command(
  OUTPUT ${ZEMO_ICU_DATA_ASM}
  COMMAND ${CMAKE_SOURCE_DIR}/tools/icu-data-subset.sh ${ICU_DATA_STATIC} ${ICU_MAJOR}
          ${CMAKE_SOURCE_DIR}/cmake/icu-data-items.txt ${ZEMO_ICU_DATA_ASM}
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/icu-data-items.txt ${CMAKE_SOURCE_DIR}/tools/icu-data-subset.sh
  COMMENT "ICU data subset")
add_library(zemo_icu_data STATIC ${ZEMO_ICU_DATA_ASM} ${CMAKE_CURRENT_LIST_DIR}/portable_shims.cpp)
target_compile_definitions(zemo_icu_data PRIVATE U_HIDE_DATA_SYMBOL)

add_library(zemo_portable INTERFACE)
target_include_directories(zemo_portable INTERFACE ${ICU_INCLUDE_DIRS})
target_compile_definitions(zemo_portable INTERFACE U_STATIC_IMPLEMENTATION)
# libicuuc references the data entry point, so the data comes after it.
target_link_libraries(zemo_portable INTERFACE ${ICU_UC_STATIC} zemo_icu_data ${CMAKE_DL_LIBS} Threads::Threads)
target_link_options(zemo_portable INTERFACE "LINKER:--exclude-libs,ALL")
# The C++ runtime stays the system's: a static libstdc++ and libgcc would bring
# in newer glibc symbols (arc4random, _dl_find_object) than they save. See
# portable_shims.cpp for the one newer libstdc++ symbol the module avoids.
