# korvalis_add_raw_resource(<object-library> <NAME> <file>)
# Compiles <file> into <object-library> as the raw-data resource <NAME>. Use an
# OBJECT library so the registering initialiser is never dropped by the linker.
function(korvalis_add_raw_resource target name file)
    get_filename_component(abs "${file}" ABSOLUTE)
    string(MAKE_C_IDENTIFIER "${name}" id)
    set(out "${CMAKE_CURRENT_BINARY_DIR}/raw_resource_${id}.cpp")
    add_custom_command(
        OUTPUT "${out}"
        COMMAND ${CMAKE_COMMAND} -DNAME=${name} -DINPUT=${abs} -DOUTPUT=${out}
                -P "${KORVALIS_CMAKE_DIR}/EmbedFile.cmake"
        DEPENDS "${abs}" "${KORVALIS_CMAKE_DIR}/EmbedFile.cmake"
        COMMENT "Embedding resource ${name}"
        VERBATIM)
    target_sources(${target} PRIVATE "${out}")
endfunction()
