# Installs the build into a fresh prefix and uses it as a host would: the
# installed moxvolscan runs on its own, and host/ builds against the package
# through find_package and through pkg-config, then scans a folder.
#   cmake -DBUILD_DIR= -DWORK= -DCXX= -DGENERATOR= -DSANITIZE= -DBINDIR= -DLIBDIR= -P check.cmake
set(prefix ${WORK}/prefix)
set(host_dir ${CMAKE_CURRENT_LIST_DIR}/host)
file(REMOVE_RECURSE ${WORK})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
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
