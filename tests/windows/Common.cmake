# What the Windows test scripts share: running a command, running a Windows
# program under wine, and giving a wine drive letter an image or a folder.
# Expects WINE (the emulator script) and WINEPREFIX in the environment.

# Like run, but the status is kept (rc) rather than checked. The output goes
# through files, not pipes: the first wine program may start wine's services,
# which live on holding whatever pipes it had.
function(run_status)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_FILE ${WORK}/.out ERROR_FILE ${WORK}/.err)
  file(READ ${WORK}/.out out)
  file(READ ${WORK}/.err err)
  set(rc "${rc}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

function(run)
  run_status(${ARGN})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

# Under wine a letter is a link in the prefix's dosdevices folder: "x:" to a
# folder is the letter's root, "x::" to a file is its device (\\.\X:). A
# device gets an empty root, as a volume has one (without, the letter has
# "no root directory").
function(map_letter letter kind target)
  set(dos $ENV{WINEPREFIX}/dosdevices)
  string(TOLOWER ${letter} letter)
  file(REMOVE ${dos}/${letter}: ${dos}/${letter}::)
  if(kind STREQUAL "folder")
    file(CREATE_LINK ${target} ${dos}/${letter}: SYMBOLIC)
  else()
    file(MAKE_DIRECTORY ${WORK}/root-${letter})
    file(CREATE_LINK ${WORK}/root-${letter} ${dos}/${letter}: SYMBOLIC)
    file(CREATE_LINK ${target} ${dos}/${letter}:: SYMBOLIC)
  endif()
endfunction()

function(unmap_letter letter)
  string(TOLOWER ${letter} letter)
  file(REMOVE $ENV{WINEPREFIX}/dosdevices/${letter}: $ENV{WINEPREFIX}/dosdevices/${letter}::)
endfunction()

# Lines sorted, for listings whose order the two systems need not share.
function(sorted_lines text out)
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE ";" "\\;" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  list(SORT lines)
  list(JOIN lines "\n" text)
  set(${out} "${text}\n" PARENT_SCOPE)
endfunction()

function(expect_same what expected actual)
  if(NOT expected STREQUAL actual)
    file(WRITE ${WORK}/expected.txt "${expected}")
    file(WRITE ${WORK}/actual.txt "${actual}")
    execute_process(COMMAND diff -u ${WORK}/expected.txt ${WORK}/actual.txt OUTPUT_VARIABLE diff)
    message(FATAL_ERROR "${what}: Windows differs from Linux:\n${diff}")
  endif()
endfunction()
