# The tests' runtime folders, one per test below ROOT and private to the user as a runtime folder
# must be, so that neither Qt nor the program under test falls back to /tmp/runtime-USER.
#   cmake -DROOT=folder -DNAMES=name,name,... -P TestRuntime.cmake   makes them afresh
#   cmake -DROOT=folder -P TestRuntime.cmake                         removes them
file(REMOVE_RECURSE ${ROOT})
if(NOT DEFINED NAMES)
    return()
endif()
string(REPLACE "," ";" NAMES "${NAMES}")
foreach(name IN LISTS NAMES)
    file(MAKE_DIRECTORY ${ROOT}/${name})
    file(CHMOD ${ROOT} ${ROOT}/${name} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endforeach()
