# Installs the Windows build into a fresh prefix and uses it as a Windows host
# would: the prefix holds the DLLs with the compiler's runtime and nothing
# that needs more than Windows itself, NtfsLib exports its calls under their
# plain names, and host/ builds against the package with find_package. Its
# programs then run under wine on drive letters that wine maps to a FAT
# image, an NTFS image and a folder, read through the real Windows calls,
# and must list what the Linux program lists.
#   cmake -DBUILD_DIR= -DWORK= -DSOURCE_DIR= -DTOOLCHAIN= -DGENERATOR= -DOBJDUMP= -DPOINTER_SIZE=
#         -DWINE= -DCASES=api:volume,... [-DLINUX_TOOL=] -P package.cmake
# (CASES: vfat:fat12, vfat:fat16, vfat:fat32, ntfs:ntfs, find:folder.)
cmake_policy(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/Common.cmake)
set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# bin/: the program, our DLLs and the compiler's runtime, nothing else.
file(GLOB bin RELATIVE ${prefix}/bin ${prefix}/bin/*)
list(SORT bin)
list(JOIN bin " " bin)
if(NOT bin MATCHES "^MoxVolPlatform.dll MoxVolScan.dll NtfsLib.dll libgcc_s_(dw2|seh)-1.dll libstdc\\+\\+-6.dll libwinpthread-1.dll moxvolscan.exe$")
  message(FATAL_ERROR "installed bin/: ${bin}")
endif()
foreach(lib MoxVolPlatform MoxVolScan NtfsLib)
  if(NOT EXISTS ${prefix}/lib/lib${lib}.dll.a)
    message(FATAL_ERROR "no import library lib/lib${lib}.dll.a")
  endif()
endforeach()

# Each file imports only from the package and from Windows itself.
if(POINTER_SIZE EQUAL 4)
  set(format "PE32 executable (DLL)")
else()
  set(format "PE32+ executable (DLL)")
endif()
set(windows_dlls kernel32 user32 advapi32 shell32 msvcrt gdi32 ole32 ntdll)
foreach(file MoxVolPlatform.dll MoxVolScan.dll NtfsLib.dll moxvolscan.exe)
  run(${OBJDUMP} -p ${prefix}/bin/${file})
  set(dump_${file} "${out}")
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${out}")
  foreach(import ${imports})
    string(REPLACE "DLL Name: " "" import "${import}")
    string(TOLOWER "${import}" lower)
    string(REGEX REPLACE "\\.dll$" "" lower "${lower}")
    if(NOT EXISTS ${prefix}/bin/${import} AND NOT lower IN_LIST windows_dlls)
      message(FATAL_ERROR "${file} needs ${import}, which is neither Windows's nor in the package")
    endif()
  endforeach()
  if(file MATCHES "dll$")
    execute_process(COMMAND file -b ${prefix}/bin/${file} OUTPUT_VARIABLE kind)
    string(FIND "${kind}" "${format}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${file} is ${kind}, not ${format}")
    endif()
  endif()
endforeach()

# NtfsLib.dll exports exactly the calls its header declares, by their plain
# names (no @12 of the standard call convention).
file(READ ${prefix}/include/moxvolscan/NtfsLib.h header)
string(REGEX MATCHALL "NTFSLIB_API[^(;]*NTFSLIB_CALL[ *]*([A-Za-z0-9_]+)\\(" declared "${header}")
list(TRANSFORM declared REPLACE ".*NTFSLIB_CALL[ *]*([A-Za-z0-9_]+)\\($" "\\1")
list(SORT declared)
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" table "${dump_NtfsLib.dll}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" exported "${table}")
list(TRANSFORM exported REPLACE "^\\[ *[0-9]+\\] " "")
list(SORT exported)
list(LENGTH declared count)
if(count LESS 9 OR NOT exported STREQUAL declared)
  message(FATAL_ERROR "NtfsLib.dll exports\n  ${exported}\nits header declares\n  ${declared}")
endif()
# The module exports its entry points under their plain names as well, and
# the disk library.
foreach(name MoxCreateVolumeScanner MoxCreateVolumeScannerCallbacks MoxCreateVolumeScannerList
        Initialize Finalize GetPackageInfoTable)
  if(NOT dump_MoxVolScan.dll MATCHES "\\] ${name}\n")
    message(FATAL_ERROR "MoxVolScan.dll does not export ${name} by that name")
  endif()
endforeach()
foreach(name MoxBindDriveLetter TFATdrive TNTFSdrive TDeviceList ReadLogicalSectors optCacheEnabled dbg)
  if(NOT dump_MoxVolScan.dll MATCHES "\\] [^\n]*${name}")
    message(FATAL_ERROR "MoxVolScan.dll does not export ${name}")
  endif()
endforeach()

# A Windows host built against the package; its DLLs lie beside it, as a
# Windows program ships them.
run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/host -B ${WORK}/host -G ${GENERATOR}
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_PREFIX_PATH=${prefix}
    -DMOX_EXAMPLES=${prefix}/share/moxvolscan/examples)
run(${CMAKE_COMMAND} --build ${WORK}/host)
file(GLOB dlls ${prefix}/bin/*.dll)
file(COPY ${dlls} DESTINATION ${WORK}/host)

# The volumes: FAT images made by the fixture script, an NTFS fixture and a
# folder with nested, non-ASCII, read-only and empty entries.
run(${SOURCE_DIR}/tests/fixtures/make_fat_fixtures.sh ${WORK}/fat)
execute_process(COMMAND xz -dc ${SOURCE_DIR}/tests/fixtures/ntfs/ntfs512.img.xz OUTPUT_FILE ${WORK}/ntfs.img
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot unpack the NTFS fixture")
endif()
set(folder ${WORK}/folder)
file(WRITE ${folder}/a.txt "alpha")
file(WRITE ${folder}/sub/b.txt "beta beta")
file(WRITE ${folder}/sub/deeper/c.bin "gamma")
file(WRITE "${folder}/Ünïcödé ñame/日本語.txt" "nihongo")
file(WRITE ${folder}/readonly.txt "fixed")
file(MAKE_DIRECTORY ${folder}/empty)
run(touch -d "2021-03-04 05:06:07.1234567" ${folder}/a.txt "${folder}/Ünïcödé ñame/日本語.txt")
run(touch -d "1999-12-31 23:59:59" ${folder}/sub/b.txt)
run(chmod a-w ${folder}/readonly.txt)

# NtfsLib from C through its import library, on an image it binds itself.
run(${WINE} ${WORK}/host/ntfs_list.exe ${WORK}/ntfs.img)
string(FIND "${out}" "README.txt\t300\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "ntfs_list did not list README.txt:\n${out}")
endif()

# Drive letters wine maps: M: and N: devices on the images (read through the
# real CreateFileA/ReadFile on \\.\M:), O: a folder (walked through the real
# FindFirstFileW).
set(fat_images fat12 fat16 fat32)
string(REPLACE "," ";" CASES "${CASES}")
foreach(case ${CASES})
  string(REPLACE ":" ";" case ${case})
  list(GET case 0 api)
  list(GET case 1 volume)
  if(volume IN_LIST fat_images)
    set(path ${WORK}/fat/${volume}.img)
    map_letter(M device ${path})
    set(letter M)
  elseif(volume STREQUAL "ntfs")
    set(path ${WORK}/ntfs.img)
    map_letter(N device ${path})
    set(letter N)
  else()
    set(path ${folder})
    map_letter(O folder ${path})
    set(letter O)
  endif()
  run(${WINE} ${WORK}/host/letters.exe ${api} ${letter})
  sorted_lines("${out}" windows)
  if(windows STREQUAL "\n")
    message(FATAL_ERROR "letters ${api} ${letter} (${volume}) found nothing")
  endif()
  if(LINUX_TOOL)
    run(${LINUX_TOOL} scan --api ${api} --json ${path})
    sorted_lines("${out}" linux)
    expect_same("scan --api ${api} of ${volume}" "${linux}" "${windows}")
  endif()
  unmap_letter(${letter})
endforeach()
