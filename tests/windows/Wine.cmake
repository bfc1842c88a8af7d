# The Windows build's own tests under wine, beside the suites: the installed
# package used by a Windows host, and moxvolscan.exe compared with the Linux
# program (MOX_LINUX_TOOL, e.g. build/moxvolscan; without it the comparisons
# are left out). All of them run in the build's own wine prefix.
set(MOX_LINUX_TOOL "" CACHE FILEPATH "The Linux moxvolscan whose results the Windows build must give")
set(mox_wine_env "WINEPREFIX=${CMAKE_BINARY_DIR}/wine")
foreach(suite ${MOX_SUITES})
  if(TEST ${suite})
    set_tests_properties(${suite} PROPERTIES ENVIRONMENT "${mox_wine_env}")
  endif()
endforeach()
if(MOX_LINUX_TOOL AND NOT EXISTS ${MOX_LINUX_TOOL})
  set(MOX_LINUX_TOOL "")
endif()

# The raw FAT reader asks the letter's device for its geometry and the
# volume for its file-system name, which wine answers for real disks only:
# the FAT letters are a test of their own, so that this shows apart.
foreach(test package:ntfs:ntfs,find:folder letters.fat:vfat:fat12,vfat:fat16,vfat:fat32)
  string(REGEX MATCH "^([^:]*):(.*)$" test ${test})
  set(name ${CMAKE_MATCH_1})
  set(cases ${CMAKE_MATCH_2})
  add_test(NAME ${name}.windows COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${CMAKE_BINARY_DIR} -DWORK=${CMAKE_CURRENT_BINARY_DIR}/${name} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
    -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE} -DGENERATOR=${CMAKE_GENERATOR} -DOBJDUMP=${CMAKE_OBJDUMP}
    -DPOINTER_SIZE=${CMAKE_SIZEOF_VOID_P} -DWINE=${CMAKE_CROSSCOMPILING_EMULATOR} -DLINUX_TOOL=${MOX_LINUX_TOOL}
    "-DCASES=${cases}" -P ${CMAKE_CURRENT_SOURCE_DIR}/windows/package.cmake)
  set_tests_properties(${name}.windows PROPERTIES LABELS "package;windows" TIMEOUT 900
    ENVIRONMENT "${mox_wine_env}")
endforeach()

if(MOX_LINUX_TOOL)
  add_test(NAME cli.windows COMMAND ${CMAKE_COMMAND}
    -DWORK=${CMAKE_CURRENT_BINARY_DIR}/cli -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DWINE=${CMAKE_CROSSCOMPILING_EMULATOR}
    -DWINDOWS_TOOL=$<TARGET_FILE:moxvolscan> -DLINUX_TOOL=${MOX_LINUX_TOOL}
    -P ${CMAKE_CURRENT_SOURCE_DIR}/windows/cli.cmake)
  set_tests_properties(cli.windows PROPERTIES LABELS "cli;windows" TIMEOUT 1800 ENVIRONMENT "${mox_wine_env}")
endif()
