# torvex_add_layer(NAME DIR <folder> [INCLUDE_AS <path>] [DEPS <libraries>...])
#
# One static library torvex_<NAME> of the .cpp files in <folder>. Its headers are reachable only as
# "<NAME>/Header.h" (or "<path>/Header.h" with INCLUDE_AS), through an include folder of the build tree
# that holds nothing but a link named <NAME> (or <path>) to <folder>. A library sees the headers of the libraries it links and no others, so an
# include that points up the layers fails to compile instead of quietly building a cycle.
function(torvex_add_layer name)
  cmake_parse_arguments(L "" "DIR;INCLUDE_AS" "DEPS" ${ARGN})
  if(NOT L_INCLUDE_AS)
    set(L_INCLUDE_AS ${name})
  endif()
  set(include_root ${CMAKE_BINARY_DIR}/layer_include/${name})
  get_filename_component(link_parent ${include_root}/${L_INCLUDE_AS} DIRECTORY)
  file(MAKE_DIRECTORY ${link_parent})
  if(NOT IS_SYMLINK ${include_root}/${L_INCLUDE_AS})
    file(CREATE_LINK ${L_DIR} ${include_root}/${L_INCLUDE_AS} SYMBOLIC)
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
