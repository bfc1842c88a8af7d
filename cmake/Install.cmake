# What `cmake --install BUILD --prefix P` puts under P: the three shared
# libraries, the headers a host program needs, moxvolscan, a CMake package
# (find_package(MoxVolScan)) and pkg-config files. Tests, benches and fuzzers
# stay in the build tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MOX_LIBRARIES MoxVolPlatform NtfsLib MoxVolScan)

# The version macros every header can see (NtfsLib.h includes them from C).
configure_file(${CMAKE_CURRENT_LIST_DIR}/MoxVolScanVersion.h.in ${CMAKE_BINARY_DIR}/generated/MoxVolScanVersion.h @ONLY)
foreach(target MoxVolPlatform NtfsLib)
  target_include_directories(${target} PUBLIC ${CMAKE_BINARY_DIR}/generated)
endforeach()
# What a host's compiler must offer for the headers: C++17 for the scanner
# API and the platform's, C++20 for the disk library's on-disk layouts
# (std::endian). NtfsLib.h asks a C compiler only for C11's <uchar.h>.
target_compile_features(MoxVolPlatform INTERFACE cxx_std_17)
target_compile_features(MoxVolScan INTERFACE cxx_std_20)
set(MOX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/MoxVolScan)
set_target_properties(MoxVolPlatform PROPERTIES EXPORT_NAME Platform)

# The installed libraries find each other from where they lie, so P can be
# moved and nobody needs LD_LIBRARY_PATH.
# The same run paths serve the build tree, where the program lies beside the
# libraries: CMake's build-tree paths carry an empty entry (room it keeps for
# rewriting them), and an empty entry makes the loader search the current
# folder for every library at every start.
set_target_properties(${MOX_LIBRARIES} PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR} INSTALL_RPATH "$ORIGIN"
  BUILD_WITH_INSTALL_RPATH ON)
# The program carries the libraries in itself (on Windows it finds the DLLs
# beside it); a run path would only send the loader looking for the C++
# runtime in our folders.
set_target_properties(moxvolscan PROPERTIES SKIP_BUILD_RPATH ON)

# The targets name their include folders in the source tree; an installed
# host sees the one installed header folder instead (INCLUDES below) and
# writes <moxvolscan/Header.h>. Rewritten here rather than where the folders
# are declared, so that folders added there later are covered too.
foreach(target ${MOX_LIBRARIES})
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  list(TRANSFORM dirs REPLACE "^(.+)$" "$<BUILD_INTERFACE:\\1>")
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${dirs}")
endforeach()

install(TARGETS ${MOX_LIBRARIES} EXPORT MoxVolScanTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}  # Windows: the DLLs beside the program
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}  # and their import libraries
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS moxvolscan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The program's manual page, made from its --help texts at build time, and
# its bash completion (not for Windows, which has neither).
if(NOT WIN32)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/moxvolscan.1
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:moxvolscan> -DOUT=${CMAKE_BINARY_DIR}/moxvolscan.1
            -DVERSION=${PROJECT_VERSION} -P ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
    DEPENDS moxvolscan ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake VERBATIM)
  add_custom_target(moxvolscan-man ALL DEPENDS ${CMAKE_BINARY_DIR}/moxvolscan.1)
  install(FILES ${CMAKE_BINARY_DIR}/moxvolscan.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/moxvolscan.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    RENAME moxvolscan)
endif()

# What a host calls: the scanner interfaces, factory, back-ends and list, the
# module's start-up and letter binding, the disk library (sector I/O,
# devices and drives, the FAT and NTFS readers), NtfsLib's C interface, the
# platform calls and types they are declared with, and the assertion handler.
# One folder, so a host writes <moxvolscan/Header.h> and the headers find
# each other. (Headers internal to a unit stay behind.)
install(FILES
  ${CMAKE_BINARY_DIR}/generated/MoxVolScanVersion.h
  ${CMAKE_SOURCE_DIR}/Components/MoxVolumeScanner/InterfacePtr.h
  ${CMAKE_SOURCE_DIR}/Components/MoxVolumeScanner/MoxVolScan.h
  ${CMAKE_SOURCE_DIR}/Components/MoxVolumeScanner/MoxVolumeScanner.h
  ${CMAKE_SOURCE_DIR}/Components/MoxVolumeScanner/MoxVolumeScannerBase.h
  ${CMAKE_SOURCE_DIR}/Components/MoxVolumeScanner/MoxVolumeScannerFind.h
  ${CMAKE_SOURCE_DIR}/Components/MoxVolumeScanner/MoxVolumeScannerIntf.h
  ${CMAKE_SOURCE_DIR}/Components/MoxVolumeScanner/MoxVolumeScannerList.h
  ${CMAKE_SOURCE_DIR}/Components/MoxVolumeScanner/MoxVolumeScannerNTFS.h
  ${CMAKE_SOURCE_DIR}/Components/MoxVolumeScanner/MoxVolumeScannerThreaded.h
  ${CMAKE_SOURCE_DIR}/Components/MoxVolumeScanner/MoxVolumeScannerVFAT.h
  ${CMAKE_SOURCE_DIR}/diskio/DeviceList.h
  ${CMAKE_SOURCE_DIR}/diskio/Devices.h
  ${CMAKE_SOURCE_DIR}/diskio/Helpers.h
  ${CMAKE_SOURCE_DIR}/diskio/Ldiskio.h
  ${CMAKE_SOURCE_DIR}/diskio/Pdiskio.h
  ${CMAKE_SOURCE_DIR}/diskio/SaveSteps.h
  ${CMAKE_SOURCE_DIR}/fat/Diskfs.h
  ${CMAKE_SOURCE_DIR}/fat/FatLayout.h
  ${CMAKE_SOURCE_DIR}/ntfs/Ntfs.h
  ${CMAKE_SOURCE_DIR}/ntfs/NtfsLayout.h
  ${CMAKE_SOURCE_DIR}/platform/Assert.h
  ${CMAKE_SOURCE_DIR}/platform/ListView.h
  ${CMAKE_SOURCE_DIR}/platform/Partitions.h
  ${CMAKE_SOURCE_DIR}/platform/RWSync.h
  ${CMAKE_SOURCE_DIR}/platform/Stream.h
  ${CMAKE_SOURCE_DIR}/platform/Volumes.h
  ${CMAKE_SOURCE_DIR}/platform/WinApi.h
  ${CMAKE_SOURCE_DIR}/platform/WinTypes.h
  ${CMAKE_SOURCE_DIR}/ntfslib/NtfsLib.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/moxvolscan)

# Example hosts, as sources to read and copy: a C program listing an NTFS
# image through NtfsLib, and a C++ one finding and saving deleted items
# through the disk library.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/moxvolscan/examples)

install(EXPORT MoxVolScanTargets NAMESPACE MoxVolScan:: DESTINATION ${MOX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/MoxVolScanConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/MoxVolScanConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/MoxVolScanConfigVersion.cmake DESTINATION ${MOX_CMAKE_DIR})

# pkg-config files locate the prefix from their own place, so they stay right
# whatever --prefix the install is given.
file(RELATIVE_PATH MOX_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" MOX_PC_TO_PREFIX ${MOX_PC_TO_PREFIX})
file(RELATIVE_PATH MOX_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH MOX_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
foreach(pc moxvolscan ntfslib)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
