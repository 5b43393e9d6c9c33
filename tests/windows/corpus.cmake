# The FormatMessageW corpus on the emulated platform.  Its message table is
# written by the corpus program itself and compiled into two DLLs (Unicode
# and ANSI entries) that the emulated platform and a Windows run (under
# Wine, scripts/check-wine) both load.
include(${PROJECT_SOURCE_DIR}/cmake/message_dll.cmake)

add_executable(fmtcorpus ${CMAKE_CURRENT_LIST_DIR}/fmtcorpus.cpp
                         ${CMAKE_CURRENT_LIST_DIR}/fmtcorpus_main.cpp)
target_link_libraries(fmtcorpus PRIVATE vesk_static)

set(VESK_CORPUS_DIR ${CMAKE_CURRENT_BINARY_DIR}/corpus)
file(MAKE_DIRECTORY ${VESK_CORPUS_DIR})
add_custom_command(OUTPUT ${VESK_CORPUS_DIR}/corpus.mc
  COMMAND fmtcorpus mc ${VESK_CORPUS_DIR}/corpus.mc
  DEPENDS fmtcorpus
  COMMENT "FormatMessageW corpus: message table source"
  VERBATIM)
vesk_message_dll(fmtcorpus_table MC ${VESK_CORPUS_DIR}/corpus.mc ARCH x86_64
                 OUTPUT_NAME corpus OUTPUT_DIR ${VESK_CORPUS_DIR})
vesk_message_dll(fmtcorpus_ansi_table MC ${VESK_CORPUS_DIR}/corpus.mc ARCH x86_64 ANSI
                 OUTPUT_NAME corpus_ansi OUTPUT_DIR ${VESK_CORPUS_DIR})

# The whole corpus through the emulated FormatMessageW (under the sanitizers
# in the asan build); the comparison with Windows' results is check-wine's.
add_test(NAME fmtcorpus_emulated
  COMMAND fmtcorpus run ${VESK_CORPUS_DIR}/corpus.dll ${VESK_CORPUS_DIR}/corpus_ansi.dll
          ${VESK_CORPUS_DIR}/emulated.txt)
