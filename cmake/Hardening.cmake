# The distribution's hardening for every binary: position-independent executables, a stack
# protector, _FORTIFY_SOURCE and full RELRO with immediate binding. The flags come from
# dpkg-buildflags where it exists, so the program is built as Debian builds its packages, and
# only its hardening flags are taken (no -O2, no -g, no path of this machine).

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()

set(hardening_compile -fstack-protector-strong -Wformat -Werror=format-security)
set(hardening_fortify -D_FORTIFY_SOURCE=2)
set(hardening_link -Wl,-z,relro -Wl,-z,now)
find_program(DOV_DPKG_BUILDFLAGS dpkg-buildflags)
mark_as_advanced(DOV_DPKG_BUILDFLAGS)
if(DOV_DPKG_BUILDFLAGS)
    set(hardening_compile)
    set(hardening_fortify)
    set(hardening_link)
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
        # The user's own DEB_* settings would otherwise change what a build of this tree gives.
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env --unset=DEB_BUILD_OPTIONS --unset=DEB_${kind}_SET
                --unset=DEB_${kind}_APPEND --unset=DEB_${kind}_PREPEND --unset=DEB_${kind}_STRIP
                --unset=DEB_${kind}_MAINT_SET --unset=DEB_${kind}_MAINT_APPEND
                --unset=DEB_${kind}_MAINT_PREPEND --unset=DEB_${kind}_MAINT_STRIP
                DEB_BUILD_MAINT_OPTIONS=hardening=+all ${DOV_DPKG_BUILDFLAGS} --get ${kind}
            OUTPUT_VARIABLE flags
            OUTPUT_STRIP_TRAILING_WHITESPACE
            COMMAND_ERROR_IS_FATAL ANY)
        separate_arguments(flags UNIX_COMMAND "${flags}")
        foreach(flag IN LISTS flags)
            if(flag MATCHES "^-D_FORTIFY_SOURCE=")
                list(APPEND hardening_fortify ${flag})
            elseif(flag MATCHES "^-Wl,-z,")
                list(APPEND hardening_link ${flag})
            elseif(flag MATCHES "^-(fstack-protector|fstack-clash-protection|fcf-protection|Wformat|Werror=format-security)")
                list(APPEND hardening_compile ${flag})
            endif()
        endforeach()
    endforeach()
endif()

add_compile_options(${hardening_compile})
add_link_options(${hardening_link})
# _FORTIFY_SOURCE needs the optimizer (without it GCC warns, and the build fails with
# -Werror), and AddressSanitizer does its checks itself.
if(NOT DOV_SANITIZE)
    add_compile_options("$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:${hardening_fortify}>")
endif()
message(STATUS "Hardening: ${hardening_compile} ${hardening_link}; in optimized builds ${hardening_fortify}")
