# The test suites in a Windows build: GoogleTest built from source with the
# same compiler, and the test sources that cannot run there left out.

set(MOX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian's googletest package)")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${MOX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(lib gtest gtest_main)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()

add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-include${CMAKE_CURRENT_LIST_DIR}/PosixShim.h>)

# Left out, each for the reason given.
set(MOX_WINDOWS_SKIPPED)
function(mox_skip_on_windows reason)
  foreach(file ${ARGN})
    list(APPEND MOX_WINDOWS_SKIPPED ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  endforeach()
  set(MOX_WINDOWS_SKIPPED ${MOX_WINDOWS_SKIPPED} PARENT_SCOPE)
endfunction()

mox_skip_on_windows("start programs (formatters, mounts, moxvolscan itself) through POSIX processes; under wine a Unix program's exit status is lost"
  support/ToolProcess.cpp
  diskio_io/DamagedSourceTest.cpp diskio_io/InfoCommandTest.cpp diskio_io/NoInitializeTest.cpp
  fat/SaveTest.cpp
  ntfs/NtfsDeletedTest.cpp ntfs/NtfsRecordsTest.cpp ntfs/ProgramSaveTest.cpp
  ntfslib/NtfsImage.cpp ntfslib/NtfsLibTest.cpp ntfslib/ScannerTest.cpp
  partitions/DetectionTest.cpp partitions/LostVolumesTest.cpp
  scanner/CliScanTest.cpp scanner/ContractTest.cpp scanner/FactoryTest.cpp scanner/FindTest.cpp)
# The *_oracle suites compare with Linux-only oracles (The Sleuth Kit, mtools,
# mkfs.fat, ntfs-3g): tests/CMakeLists.txt leaves them out whole.
mox_skip_on_windows("reads times from stat's nanosecond fields, which the Windows C runtime lacks"
  diskio_io/SaveTimeTest.cpp)
mox_skip_on_windows("checks the DOS attributes kept in a Linux extended attribute"
  platform_io/FilesTest.cpp)

# Single tests left out, for the same reason: what they check is the Linux
# stand-in's, which the real Windows call (or wine's) does otherwise.
function(mox_skip_tests_on_windows suite reason)
  list(JOIN ARGN ":" tests)
  if(MOX_WINDOWS_FILTER_${suite})
    set(tests "${MOX_WINDOWS_FILTER_${suite}}:${tests}")
  endif()
  set(MOX_WINDOWS_FILTER_${suite} "${tests}" PARENT_SCOPE)
endfunction()
mox_skip_tests_on_windows(platform "sets the zone through TZ inside the process; Windows keeps the system's"
  LocalTime.FollowsTheZoneIncludingDaylightSaving LocalTime.WallClockTimesAroundTheChanges)
mox_skip_tests_on_windows(platform_io "reads the Linux mount table"
  MountPoints.PlainDirectoryHasNoDeviceAndAMountedOneIsNamed)
mox_skip_tests_on_windows(platform "wine's UTF-8 decoder replaces an ill-formed sequence byte by byte"
  CodePage.EveryIllFormedSubpartBecomesOneReplacement)
mox_skip_tests_on_windows(platform "makes symbolic links, which wine cannot"
  Find.RecordsCarryAttributesFromLstat)
