# Writes the import library of a DLL linked with --kill-at from the linker's
# .def file, whose lines read "Name = Name@12 @1": the library then resolves
# the decorated names callers use to the plain names the DLL exports.
#   cmake -DDEF= -DDLLTOOL= -DDLL= -DIMPLIB= -P StdcallImports.cmake
file(READ ${DEF} text)
string(REGEX REPLACE "([A-Za-z_][A-Za-z0-9_]*) = ([A-Za-z_][A-Za-z0-9_]*@[0-9]+)" "\\2" text "${text}")
file(WRITE ${DEF}.decorated "${text}")
get_filename_component(name ${DLL} NAME)
execute_process(COMMAND ${DLLTOOL} -k -d ${DEF}.decorated -D ${name} -l ${IMPLIB} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} could not write ${IMPLIB}")
endif()
