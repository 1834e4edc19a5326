# The Debian package: `cpack -G DEB` in the build folder packs what the install rules install,
# under /usr.

set(DOV_PACKAGE_NAME dov-uruvivuz)
set(DOV_PACKAGE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${DOV_PACKAGE_NAME})
# Debian wants a name and an address here.
set(DOV_MAINTAINER "Zelvik <zelvik@users.noreply.github.com>")
# The date of this release, in the changelog and as the date of every file in the package.
set(DOV_RELEASE_DATE "Mon, 07 Dec 2026 12:00:00 +0000")
set(CPACK_DOV_RELEASE_EPOCH 1796644800)

# The package's own documents: the licence in the machine-readable copyright format and the
# changelog, compressed without name or date so every build gives the same bytes (at configure
# time, as the manual page).
configure_file(${PROJECT_SOURCE_DIR}/data/changelog.in package/changelog @ONLY)
execute_process(COMMAND gzip -9nkf changelog
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/package
    COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright ${CMAKE_CURRENT_BINARY_DIR}/package/changelog.gz
    DESTINATION ${DOV_PACKAGE_DOC_DIR})
# lintian's note on the one check it cannot make for this program; for the package (and an
# install into /usr) only, not into a home folder.
install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        file(INSTALL ${PROJECT_SOURCE_DIR}/data/lintian-overrides
            DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/lintian/overrides\"
            RENAME ${DOV_PACKAGE_NAME})
    endif()")
# Where the package's files are stripped, the programs also lose the compiler's name and version
# in .comment, as Debian's own packages do (lintian: binary-has-unneeded-section).
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(program ${CMAKE_INSTALL_BINDIR}/dov-uruvivuz
                ${CMAKE_INSTALL_LIBEXECDIR}/dov-uruvivuz/dov-uruvivuz-drop-cache)
            execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${program}\" COMMAND_ERROR_IS_FATAL ANY)
            unset(dov_package_tool)
endforeach()
    endif()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${DOV_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR Zelvik)
set(CPACK_PACKAGE_VERSION ${DOV_VERSION_FULL})
set(CPACK_PACKAGE_CONTACT Zelvik)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "time how fast a drive writes and reads a file")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackProjectConfig.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DOV_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://github.com/zelvik/dov-uruvivuz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beside the libraries dpkg-shlibdeps finds: the window's Japanese Gothic captions and its Arial
# boxes need these fonts (the first of each choice is IPA's, or the metric-compatible Liberation
# Sans). pkexec and polkitd run the cache helper for a FUSE drive's true read time; without them
# a run still completes and says so.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "fonts-ipafont-gothic | fonts-noto-cjk | fonts-vlgothic, fonts-liberation2 | fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec, polkitd")
# The long description; CPack indents it and puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "DOV Uruvivuz measures how fast a USB stick, or any other mounted drive,
accepts and returns a file. Pick the drive and a data size in megabytes and
press START. It shows three times in seconds: creating the test file locally,
copying it to the root of the drive until the data is on the device, and
copying it back from the device. The times are also put on the clipboard as
one tab-separated line.

It also runs without a window (dov-uruvivuz --drive DIR --size MB) and prints
the three times on standard output.")

include(CPack)

# The package step refuses to pack without these (see CPackProjectConfig.cmake); said here too,
# so that nobody waits for a build to learn it.
foreach(tool dpkg-shlibdeps file)
    find_program(dov_package_tool ${tool} NO_CACHE)
    if(NOT dov_package_tool)
        message(STATUS "${tool} not found: cpack will refuse to make the Debian package until "
            "you run: apt-get install dpkg-dev file")
    endif()
    unset(dov_package_tool)
endforeach()
