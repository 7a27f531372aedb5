# Runs the rpcgen rule (MODULE) in a small project under WORK with GENERATOR: a first build, a build
# after the description was touched, a build after it changed (the new definition must reach the
# header) and a build with nothing to do. Every build must succeed.
# cmake -DMODULE=... -DWORK=... -DGENERATOR=... -P rpcgen_rule_test.cmake
foreach(var MODULE WORK GENERATOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "rpcgen_rule_test: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/src)
file(WRITE ${WORK}/src/CMakeLists.txt "cmake_minimum_required(VERSION 3.25)
project(rpcgen_rule NONE)
include(${MODULE})
torvex_rpcgen(\${CMAKE_CURRENT_SOURCE_DIR}/rule.x \${CMAKE_CURRENT_BINARY_DIR}/gen generated)
add_custom_target(generate ALL DEPENDS \${generated})
")
set(description "program RULE_PROG { version RULE_VERS { int RULE_PING(int) = 1; } = 1; } = 0x20000077;\n")
file(WRITE ${WORK}/src/rule.x "${description}")

execute_process(COMMAND ${CMAKE_COMMAND} -S ${WORK}/src -B ${WORK}/build -G ${GENERATOR}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configure failed:\n${out}")
endif()

function(build step)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/build RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "build ${step} failed:\n${out}")
  endif()
  message(STATUS "build ${step}: ok")
endfunction()

build("from scratch")
foreach(generated rule.h rule_clnt.c rule_xdr.c)
  if(NOT EXISTS ${WORK}/build/gen/${generated})
    message(FATAL_ERROR "${generated} was not generated")
  endif()
endforeach()

# Touched: the outputs are older than the description now (the build tool compares times to the
# nanosecond).
file(TOUCH ${WORK}/src/rule.x)
build("after a touch")

# Changed: a new constant must reach the header.
file(WRITE ${WORK}/src/rule.x "const RULE_CHANGED = 7;\n${description}")
build("after a change")
file(READ ${WORK}/build/gen/rule.h header)
if(NOT header MATCHES "RULE_CHANGED")
  message(FATAL_ERROR "the header was not generated again after the description changed")
endif()
build("with nothing to do")

file(REMOVE_RECURSE ${WORK})
