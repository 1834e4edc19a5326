# Read by cpack while it packs. Without SOURCE_DATE_EPOCH the package would carry the build's
# file dates, so two builds of one commit would differ; the release date stands in for them.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_DOV_RELEASE_EPOCH}")
endif()

# Without dpkg-shlibdeps CPack still makes a package, one whose Depends leave out Qt, so it
# installs and then cannot start; without file it stops late with a message naming neither.
# Both are refused here, before anything is packed.
if(CPACK_GENERATOR STREQUAL "DEB")
    cmake_policy(PUSH)
    cmake_policy(SET CMP0109 NEW) # a tool must be executable to count as there
    set(dov_missing_tools)
    foreach(tool dpkg-shlibdeps file)
        find_program(dov_tool_path ${tool} NO_CACHE)
        if(NOT dov_tool_path)
            list(APPEND dov_missing_tools ${tool})
        endif()
        unset(dov_tool_path)
    endforeach()
    cmake_policy(POP)
    if(dov_missing_tools)
        list(JOIN dov_missing_tools " and " dov_missing_tools)
        # The leading blank keeps CMake from wrapping the line.
        message(FATAL_ERROR " Cannot make the Debian package: dpkg-shlibdeps and file name the "
            "libraries it depends on, and this machine lacks ${dov_missing_tools}. Install them: "
            "apt-get install dpkg-dev file")
    endif()
endif()
