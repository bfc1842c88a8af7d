# The Windows build: the DLLs under the names hosts load them by, NtfsLib's
# calls under their plain names, and the compiler's runtime beside them.

# MoxVolScan.dll, NtfsLib.dll, MoxVolPlatform.dll; the import libraries keep
# mingw's names (libNtfsLib.dll.a), so a host links with -lNtfsLib.
set_target_properties(MoxVolPlatform NtfsLib MoxVolScan PROPERTIES PREFIX "")

# NtfsLib exports only the calls its header marks; on i686 they use the
# standard call convention, whose decorated names (NtfsLibOpen@12) a host
# looking them up with GetProcAddress would not find, so the DLL exports them
# plain. The import library the linker writes beside such a DLL lists the
# plain names too, while a host compiled with the header asks for the
# decorated ones: it is written again from the decorated names (dlltool -k
# maps each to the plain export).
target_compile_definitions(NtfsLib PRIVATE NTFSLIB_BUILDING)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  find_program(MOX_DLLTOOL NAMES ${CMAKE_DLLTOOL} ${MOX_MINGW_TRIPLE}-dlltool dlltool REQUIRED)
  set(def ${CMAKE_CURRENT_BINARY_DIR}/NtfsLib.def)
  target_link_options(NtfsLib PRIVATE LINKER:--kill-at LINKER:--output-def,${def})
  add_custom_command(TARGET NtfsLib POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DDEF=${def} -DDLLTOOL=${MOX_DLLTOOL} -DDLL=$<TARGET_FILE:NtfsLib>
            -DIMPLIB=$<TARGET_LINKER_FILE:NtfsLib> -P ${CMAKE_CURRENT_LIST_DIR}/StdcallImports.cmake
    VERBATIM)
endif()

target_sources(MoxVolScan PRIVATE ${CMAKE_CURRENT_LIST_DIR}/windows/MoxVolScan.def)
target_link_options(MoxVolScan PRIVATE LINKER:--export-all-symbols)

# The compiler's runtime is shipped as DLLs beside ours, not linked in
# statically: the platform DLL throws (assertions, stream errors) and the
# module and hosts catch, and with i686's DWARF unwinding an exception only
# crosses DLLs when they all share one libgcc (each static copy keeps its own
# list of the frames it can unwind). One libstdc++ likewise gives one
# exception and type-information runtime to every module.
set(MOX_RUNTIME_DLLS)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(mox_gcc_dll libgcc_s_dw2-1.dll)
else()
  set(mox_gcc_dll libgcc_s_seh-1.dll)
endif()
foreach(dll libstdc++-6.dll ${mox_gcc_dll} libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} has no ${dll} to ship")
  endif()
  get_filename_component(found "${found}" REALPATH)
  list(APPEND MOX_RUNTIME_DLLS "${found}")
endforeach()
# Every program and DLL of the build lands in one folder, with the runtime
# copied there, so the tests and the program run from the build as they do
# installed.
file(COPY ${MOX_RUNTIME_DLLS} DESTINATION ${CMAKE_BINARY_DIR})
install(FILES ${MOX_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})

# Each file names itself in its version resource (Explorer's properties,
# installers). The program's own resources (its UTF-8 code page) serve the
# test programs too.
enable_language(RC)
set(MOX_UTF8_RC ${CMAKE_SOURCE_DIR}/tools/moxvolscan/moxvolscan.rc)
foreach(entry "MoxVolScan|Mox Volume Scanner|VFT_DLL" "NtfsLib|NtfsLib NTFS volume lister|VFT_DLL"
        "MoxVolPlatform|MoxVolScan platform layer|VFT_DLL" "moxvolscan|MoxVolScan command-line program|VFT_APP")
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 MOX_NAME)
  list(GET entry 1 MOX_DESCRIPTION)
  list(GET entry 2 MOX_FILE_TYPE)
  get_target_property(type ${MOX_NAME} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(MOX_FILE ${MOX_NAME}.exe)
  else()
    set(MOX_FILE ${MOX_NAME}.dll)
  endif()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/version.rc.in ${CMAKE_BINARY_DIR}/generated/${MOX_NAME}.rc @ONLY)
  target_sources(${MOX_NAME} PRIVATE ${CMAKE_BINARY_DIR}/generated/${MOX_NAME}.rc)
endforeach()
