# torvex_add_layer(NAME DIR <folder> [DEPS <libraries>...])
#
# One static library torvex_<NAME> of the .cpp files in <folder>. Its headers are reachable only as
# "<NAME>/Header.h", through an include folder of the build tree that holds nothing but a link named
# <NAME> to <folder>. A library sees the headers of the libraries it links and no others, so an
# include that points up the layers fails to compile instead of quietly building a cycle.
function(torvex_add_layer name)
  cmake_parse_arguments(L "" "DIR" "DEPS" ${ARGN})
  set(include_root ${CMAKE_BINARY_DIR}/layer_include/${name})
  file(MAKE_DIRECTORY ${include_root})
  if(NOT IS_SYMLINK ${include_root}/${name})
    file(CREATE_LINK ${L_DIR} ${include_root}/${name} SYMBOLIC)
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${L_DIR}/*.cpp)
  if(sources)
    add_library(torvex_${name} STATIC ${sources})
    target_include_directories(torvex_${name} PUBLIC ${include_root})
    target_link_libraries(torvex_${name} PUBLIC ${L_DEPS})
  else()
    add_library(torvex_${name} INTERFACE)
    target_include_directories(torvex_${name} INTERFACE ${include_root})
    target_link_libraries(torvex_${name} INTERFACE ${L_DEPS})
  endif()
endfunction()
