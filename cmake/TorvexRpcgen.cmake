# torvex_rpcgen(X_FILE OUT_DIR OUT_VAR): the rule that turns an ONC RPC description X_FILE (NAME.x)
# into NAME.h, NAME_clnt.c and NAME_xdr.c in OUT_DIR (multi-thread safe client stubs, rpcgen -M).
# OUT_VAR receives the three generated files. The rule runs again whenever X_FILE changes: rpcgen
# refuses to write over a file that exists, so the files of the previous run are removed first.
function(torvex_rpcgen x_file out_dir out_var)
  find_program(RPCGEN rpcgen REQUIRED)
  get_filename_component(name ${x_file} NAME_WE)
  file(MAKE_DIRECTORY ${out_dir})
  set(outputs ${out_dir}/${name}.h ${out_dir}/${name}_clnt.c ${out_dir}/${name}_xdr.c)
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${outputs}
    COMMAND ${CMAKE_COMMAND} -E copy ${x_file} ${out_dir}/${name}.x
    COMMAND ${RPCGEN} -M -h ${name}.x -o ${name}.h
    COMMAND ${RPCGEN} -M -l ${name}.x -o ${name}_clnt.c
    COMMAND ${RPCGEN} -M -c ${name}.x -o ${name}_xdr.c
    WORKING_DIRECTORY ${out_dir}
    DEPENDS ${x_file}
    COMMENT "rpcgen ${name}.x")
  set(${out_var} ${outputs} PARENT_SCOPE)
endfunction()
