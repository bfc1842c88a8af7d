# Installs the build into a fresh prefix and uses it as a host would: the
# installed moxvolscan runs on its own, and host/ builds against the package
# through find_package and through pkg-config, then scans a folder; the
# installed examples are built out of the tree: the C one, as C with
# pkg-config only, lists an NTFS image; the C++ one, with find_package, lists
# the image's deleted items and saves them.
#   cmake -DBUILD_DIR= -DWORK= -DCXX= -DGENERATOR= -DSANITIZE= -DBINDIR= -DLIBDIR= -P check.cmake
set(prefix ${WORK}/prefix)
if(NOT DATADIR)
  set(DATADIR share)  # GNUInstallDirs' default
endif()
set(host_dir ${CMAKE_CURRENT_LIST_DIR}/host)
file(REMOVE_RECURSE ${WORK})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()
function(expect_contains what)
  string(FIND "${out}" "${what}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "expected '${what}' in:\n${out}")
  endif()
endfunction()
function(expect_output what)
  if(NOT out STREQUAL "${what}\n")
    message(FATAL_ERROR "expected '${what}', got '${out}'")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
file(GLOB programs RELATIVE ${prefix}/${BINDIR} ${prefix}/${BINDIR}/*)
if(NOT programs STREQUAL "moxvolscan")
  message(FATAL_ERROR "installed programs: ${programs} (tests or benches leaked in?)")
endif()

# Three files in nested folders, and an empty folder that must not count.
file(WRITE ${WORK}/volume/a.txt "alpha")
file(WRITE ${WORK}/volume/sub/b.txt "beta")
file(WRITE ${WORK}/volume/sub/deeper/c.bin "gamma")
file(MAKE_DIRECTORY ${WORK}/volume/empty)

# The installed program finds its libraries by itself.
run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${prefix}/${BINDIR}/moxvolscan scan --count ${WORK}/volume)
expect_output("3 files, 14 bytes")

if(SANITIZE)
  set(flags -fsanitize=${SANITIZE})  # the libraries carry the sanitizer runtimes' hooks
endif()
run(${CMAKE_COMMAND} -S ${host_dir} -B ${WORK}/host -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX}
    "-DCMAKE_CXX_FLAGS=${flags}" -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK}/host)
run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${WORK}/host/host ${WORK}/volume)
expect_output("3 files")

find_program(PKG_CONFIG pkg-config)
if(NOT PKG_CONFIG)
  message("skipped: pkg-config not found; the find_package build passed")
  return()
endif()
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig ${PKG_CONFIG} --cflags --libs moxvolscan)
separate_arguments(pc_flags UNIX_COMMAND "${out}")
run(${CXX} ${flags} ${host_dir}/host.cpp ${pc_flags} -o ${WORK}/host-pc)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${WORK}/host-pc ${WORK}/volume)
expect_output("3 files")

# The examples, on an NTFS image with live and deleted files.
set(examples ${prefix}/${DATADIR}/moxvolscan/examples)
set(image ${WORK}/ntfs.img)
execute_process(COMMAND xz -dc ${CMAKE_CURRENT_LIST_DIR}/../fixtures/ntfs/ntfs512.img.xz OUTPUT_FILE ${image}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot unpack the NTFS fixture")
endif()
run(${prefix}/${BINDIR}/moxvolscan scan --api ntfs --count ${image})
string(REGEX MATCH "^[0-9]+" live_files "${out}")

find_program(CC NAMES cc gcc clang REQUIRED)
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig ${PKG_CONFIG} --cflags --libs ntfslib)
separate_arguments(pc_flags UNIX_COMMAND "${out}")
run(${CC} -x c -std=c11 -Wall -Wextra -Werror ${flags} ${examples}/ntfs-list/ntfs_list.c ${pc_flags} -pthread
    -o ${WORK}/ntfs_list)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${WORK}/ntfs_list ${image})
expect_contains("README.txt\t300\n")
string(REGEX MATCHALL "\n" lines "\n${out}")
list(LENGTH lines listed)
math(EXPR listed "${listed} - 1")
if(NOT listed EQUAL live_files)
  message(FATAL_ERROR "ntfs_list listed ${listed} files, moxvolscan scan ${live_files}")
endif()

run(${CMAKE_COMMAND} -S ${examples}/deleted -B ${WORK}/deleted -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX}
    "-DCMAKE_CXX_FLAGS=${flags}" -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK}/deleted)
run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${WORK}/deleted/deleted ${image} ${WORK}/saved)
expect_contains("Deleted small.txt")
if(NOT EXISTS "${WORK}/saved/Deleted small.txt")
  message(FATAL_ERROR "the deleted example saved nothing:\n${out}")
endif()

