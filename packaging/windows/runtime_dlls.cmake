# install_runtime_dlls(OBJDUMP <objdump> STRIP <strip> DESTINATION <folder>
#                      FILES <exe and plugins>... DIRECTORIES <folders>...)
#
# Installs every DLL the given files load, directly or through another DLL, by following
# their import tables the way Windows' loader does. CMake's file(GET_RUNTIME_DEPENDENCIES)
# looks each name up in lower case, which on a Linux host misses Qt6Core.dll and every other
# DLL whose name has capitals, so the names are matched here without regard to case, as
# Windows matches them. A name found in none of the folders is Windows' own (kernel32.dll,
# ws2_32.dll, ...) and is listed, not installed.
cmake_policy(VERSION 3.25)

function(install_runtime_dlls)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "OBJDUMP;STRIP;DESTINATION" "FILES;DIRECTORIES")
    # The first folder that has a name wins, as in a search path.
    set(names)
    set(paths)
    foreach(dir IN LISTS arg_DIRECTORIES)
        file(GLOB dlls LIST_DIRECTORIES false "${dir}/*.dll")
        foreach(dll IN LISTS dlls)
            get_filename_component(name "${dll}" NAME)
            string(TOLOWER "${name}" name)
            if(NOT name IN_LIST names)
                list(APPEND names "${name}")
                list(APPEND paths "${dll}")
            endif()
        endforeach()
    endforeach()

    set(pending ${arg_FILES})
    set(found)
    set(windows_own)
    while(pending)
        list(POP_FRONT pending file)
        execute_process(COMMAND "${arg_OBJDUMP}" -p "${file}"
                        OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "${arg_OBJDUMP} could not read ${file}")
        endif()
        string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
        foreach(import IN LISTS imports)
            string(REGEX REPLACE "^DLL Name: *" "" name "${import}")
            string(STRIP "${name}" name)
            string(TOLOWER "${name}" name)
            list(FIND names "${name}" index)
            if(index LESS 0)
                list(APPEND windows_own "${name}")
                continue()
            endif()
            list(GET paths ${index} path)
            if(NOT path IN_LIST found)
                list(APPEND found "${path}")
                list(APPEND pending "${path}")
            endif()
        endforeach()
    endwhile()

    list(REMOVE_DUPLICATES windows_own)
    list(SORT windows_own)
    list(JOIN windows_own " " windows_own)
    message(STATUS "Left to Windows: ${windows_own}")
    file(INSTALL DESTINATION "${arg_DESTINATION}" TYPE SHARED_LIBRARY FILES ${found})
    # Debian's mingw runtime keeps its debugging symbols: libstdc++-6.dll is 24 MB with them
    # and 2 MB without. Stripped as CPack strips the program, when it asks for it.
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(dll IN LISTS found)
            get_filename_component(name "${dll}" NAME)
            execute_process(COMMAND "${arg_STRIP}" --strip-unneeded
                                    "$ENV{DESTDIR}${arg_DESTINATION}/${name}"
                            RESULT_VARIABLE failed)
            if(failed)
                message(FATAL_ERROR "${arg_STRIP} could not strip ${name}")
            endif()
        endforeach()
    endif()
endfunction()
