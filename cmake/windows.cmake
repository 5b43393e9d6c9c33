# Windows: a DLL with the six exports under their plain names (stdcall on
# i686), a static runtime, and an import library made with dlltool so that a
# stdcall caller links against the plain names.
set(VESK_DEF ${CMAKE_SOURCE_DIR}/api/vesk.def)
add_library(vesk SHARED ${VESK_LIBRARY_SOURCES} ${VESK_DEF})
target_include_directories(vesk PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(vesk PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_link_options(vesk PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--kill-at)
target_link_libraries(vesk PRIVATE advapi32 oleaut32 user32 kernel32)
set_target_properties(vesk PROPERTIES PREFIX "" OUTPUT_NAME vesk)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VESK_DLLTOOL_ARCH i386)
  set(VESK_IMPORT_DEF ${CMAKE_SOURCE_DIR}/api/vesk-i686.def)
else()
  set(VESK_DLLTOOL_ARCH i386:x86-64)
  set(VESK_IMPORT_DEF ${VESK_DEF})
endif()
find_program(VESK_DLLTOOL NAMES ${CMAKE_CXX_COMPILER_TARGET}-dlltool dlltool
  HINTS ${VESK_TOOLCHAIN_PREFIX_DIR})
if(NOT VESK_DLLTOOL)
  set(VESK_DLLTOOL ${VESK_TOOLCHAIN_PREFIX}-dlltool)
endif()
add_custom_command(TARGET vesk POST_BUILD
  COMMAND ${VESK_DLLTOOL} -m ${VESK_DLLTOOL_ARCH} -k -D vesk.dll -d ${VESK_IMPORT_DEF}
          -l ${CMAKE_CURRENT_BINARY_DIR}/libvesk.dll.a
  COMMENT "Import library for vesk.dll")
