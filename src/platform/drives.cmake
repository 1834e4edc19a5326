# Drive and mount queries of the platform layer.
target_sources(dov_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/drives.h
    ${CMAKE_CURRENT_LIST_DIR}/linuxdrives.h
    ${CMAKE_CURRENT_LIST_DIR}/linuxdrives.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mountinfo.h
    ${CMAKE_CURRENT_LIST_DIR}/mountinfo.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mountnotifier.h
    ${CMAKE_CURRENT_LIST_DIR}/mountnotifier.cpp
    ${CMAKE_CURRENT_LIST_DIR}/systemfiles.h
    ${CMAKE_CURRENT_LIST_DIR}/systemfiles.cpp)
