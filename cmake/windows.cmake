# Windows: vesk.dll with the six exports under their plain names (stdcall on
# i686), the C and C++ runtimes linked in statically so that the DLL needs
# nothing beyond the system's own DLLs, and an import library made with
# dlltool from the .def file, so that a caller compiled against vesk.h (which
# refers to the decorated stdcall symbols on i686) links against the plain
# export names.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The objects define name@N; --kill-at exports them as plain names.
  set(VESK_DEF ${PROJECT_SOURCE_DIR}/api/vesk-i686.def)
  set(VESK_DLLTOOL_MACHINE i386)
else()
  set(VESK_DEF ${PROJECT_SOURCE_DIR}/api/vesk.def)
  set(VESK_DLLTOOL_MACHINE i386:x86-64)
endif()

if(NOT VESK_LIBRARY_SOURCES)
  message(FATAL_ERROR "vesk.dll: no library sources in api/, records/, messages/, accounts/")
endif()

# The library's objects, compiled once for the DLL and for the Windows test
# program that links them statically.
add_library(vesk_windows_objects OBJECT ${VESK_LIBRARY_SOURCES})
target_include_directories(vesk_windows_objects PUBLIC ${PROJECT_SOURCE_DIR}
                                                       ${PROJECT_SOURCE_DIR}/include)
target_compile_definitions(vesk_windows_objects PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN
                                                       NOMINMAX VESK_BUILDING_LIBRARY)

add_library(vesk SHARED $<TARGET_OBJECTS:vesk_windows_objects> ${VESK_DEF})
target_include_directories(vesk PRIVATE ${PROJECT_SOURCE_DIR} PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_options(vesk PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at)
target_link_libraries(vesk PRIVATE advapi32 oleaut32 user32 kernel32)
# The linker's own import library would carry the killed (undecorated) names,
# which a stdcall caller on i686 cannot link against: keep it out of the way
# and make the real one with dlltool below.
set_target_properties(vesk PROPERTIES
  PREFIX ""
  OUTPUT_NAME vesk
  ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/linker-implib)

find_program(VESK_DLLTOOL NAMES ${VESK_TOOLCHAIN_PREFIX}-dlltool REQUIRED)
set(VESK_IMPORT_LIBRARY ${PROJECT_BINARY_DIR}/libvesk.dll.a)
add_custom_command(OUTPUT ${VESK_IMPORT_LIBRARY}
  COMMAND ${VESK_DLLTOOL} --machine ${VESK_DLLTOOL_MACHINE} --kill-at
          --dllname vesk.dll --input-def ${VESK_DEF} --output-lib libvesk.dll.a
  DEPENDS ${VESK_DEF}
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  COMMENT "Import library for vesk.dll (dlltool)"
  VERBATIM)
add_custom_target(vesk_import_library ALL DEPENDS ${VESK_IMPORT_LIBRARY})

# What a program built here links against to call vesk.dll.
add_library(vesk_import INTERFACE)
target_include_directories(vesk_import INTERFACE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(vesk_import INTERFACE ${VESK_IMPORT_LIBRARY} oleaut32)
add_dependencies(vesk_import vesk_import_library vesk)

# The command-line tool, over the walk layer, with the library linked in
# statically: the walk reads the raw records through the system's own
# event-log calls beside the six exports.
file(GLOB VESK_WALK_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/walk/*.cpp)
add_executable(vesk-cli ${PROJECT_SOURCE_DIR}/cli/main.cpp ${PROJECT_SOURCE_DIR}/cli/format.cpp
                        ${VESK_WALK_SOURCES} $<TARGET_OBJECTS:vesk_windows_objects>)
target_include_directories(vesk-cli PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
# CLI11 is header-only (Debian's libcli11-dev); the cross compiler does not
# search the host's /usr/include, so its one folder is linked in on its own.
find_path(VESK_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/cli11)
file(CREATE_LINK ${VESK_CLI11_DIR}/CLI ${PROJECT_BINARY_DIR}/cli11/CLI SYMBOLIC)
target_include_directories(vesk-cli SYSTEM PRIVATE ${PROJECT_BINARY_DIR}/cli11)
target_compile_definitions(vesk-cli PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                            VESK_BUILDING_LIBRARY)
target_link_options(vesk-cli PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(vesk-cli PRIVATE advapi32 oleaut32 user32 kernel32)
set_target_properties(vesk-cli PROPERTIES OUTPUT_NAME vesk)

# Windows test programs, run under Wine by scripts/check-wine.
if(VESK_BUILD_TESTS)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${PROJECT_BINARY_DIR}/tests/windows)
endif()
