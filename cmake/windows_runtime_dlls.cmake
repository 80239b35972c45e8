# Run at install time (install(CODE) in packaging.cmake): copies next to the
# installed program every DLL that it and its plugins import, found in the
# directories given, following imports of imports. What none of them holds
# is Windows' own (kernel32, user32, ...). Names are matched ignoring case,
# as Windows does; CMake's own dependency walk matches them by case on a
# Linux host and finds none of Qt's.
#
# In: TWINFOLD_DEPLOY_ROOT (the installed tree), TWINFOLD_DLL_DIRS, TWINFOLD_OBJDUMP,
# TWINFOLD_STRIP (Debian's MinGW runtime DLLs carry their debug sections).
cmake_policy(SET CMP0057 NEW) # if(... IN_LIST ...)

file(GLOB_RECURSE pending "${TWINFOLD_DEPLOY_ROOT}/*.exe" "${TWINFOLD_DEPLOY_ROOT}/*.dll")
set(known "")
foreach(dir IN LISTS TWINFOLD_DLL_DIRS)
    file(GLOB dlls "${dir}/*.dll")
    list(APPEND known ${dlls})
endforeach()

set(seen "")
while(pending)
    list(POP_FRONT pending binary)
    execute_process(COMMAND "${TWINFOLD_OBJDUMP}" -p "${binary}"
        OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "cannot read the imports of ${binary}")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
    foreach(import IN LISTS imports)
        string(REPLACE "DLL Name: " "" name "${import}")
        string(TOLOWER "${name}" name)
        if(name IN_LIST seen)
            continue()
        endif()
        list(APPEND seen "${name}")
        foreach(candidate IN LISTS known)
            get_filename_component(file "${candidate}" NAME)
            string(TOLOWER "${file}" file)
            if(file STREQUAL name)
                file(COPY "${candidate}" DESTINATION "${TWINFOLD_DEPLOY_ROOT}")
                get_filename_component(copied "${candidate}" NAME)
                execute_process(COMMAND "${TWINFOLD_STRIP}" --strip-debug
                    "${TWINFOLD_DEPLOY_ROOT}/${copied}")
                list(APPEND pending "${candidate}")
                break()
            endif()
        endforeach()
    endforeach()
endwhile()
