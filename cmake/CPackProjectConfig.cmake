# Read by cpack while it packs. Without SOURCE_DATE_EPOCH the package would carry the build's
# file dates, so two builds of one commit would differ; the release date stands in for them.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_DOV_RELEASE_EPOCH}")
endif()
