# The resource bundle "updater": forms, window icon and the catalogue of VORN_LANGUAGE, compiled
# into vorn_bundle. Code registers it with Q_INIT_RESOURCE(updater).
#
# updater.qrc lists the catalogue as languages/vorn_<language>.qm beside res/, but the .qm only
# exists in the build tree, so the collection is assembled there and rcc runs on that copy.
set(VORN_BUNDLE_DIR ${CMAKE_CURRENT_BINARY_DIR}/bundle)

# The catalogue names the messenger's web page, a cache setting, so the .ts is configured first.
# Runs in a function so that the XML-escaped value does not shadow the cache variable.
function(vorn_configure_catalogue source destination)
    set(VORN_WEB_PAGE "${VORN_WEB_PAGE}")
    string(REPLACE "&" "&amp;" VORN_WEB_PAGE "${VORN_WEB_PAGE}")
    string(REPLACE "<" "&lt;" VORN_WEB_PAGE "${VORN_WEB_PAGE}")
    string(REPLACE ">" "&gt;" VORN_WEB_PAGE "${VORN_WEB_PAGE}")
    configure_file(${source} ${destination} @ONLY)
endfunction()

set(vorn_catalogue ${VORN_BUNDLE_DIR}/languages/vorn_${VORN_LANGUAGE}.ts)
vorn_configure_catalogue(${CMAKE_CURRENT_SOURCE_DIR}/languages/vorn_${VORN_LANGUAGE}.ts
    ${vorn_catalogue})

# configure_file re-runs CMake whenever one of these changes, which refreshes the copies. The
# collection names the catalogue by the language.
configure_file(updater.qrc ${VORN_BUNDLE_DIR}/updater.qrc @ONLY)
foreach(file IN ITEMS res/Changelog.ui res/Download.ui res/Install.ui res/Summary.ui res/icon.png)
    configure_file(${file} ${VORN_BUNDLE_DIR}/${file} COPYONLY)
endforeach()

# zlib rather than rcc's default zstd, so the bundle reads on any Qt build. rcc only keeps the
# compressed form of a file that shrinks by the threshold (in percent); its default of 70 would
# store the catalogue plain. The PNG, deflated already, does not shrink and stays plain.
qt_add_resources(vorn_bundle_sources ${VORN_BUNDLE_DIR}/updater.qrc
    OPTIONS --compress-algo zlib --threshold 20)

add_library(vorn_bundle STATIC ${vorn_bundle_sources})
set_target_properties(vorn_bundle PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
target_link_libraries(vorn_bundle PUBLIC Qt6::Core)

set_source_files_properties(${vorn_catalogue}
    PROPERTIES OUTPUT_LOCATION ${VORN_BUNDLE_DIR}/languages)
qt_add_lrelease(vorn_bundle
    TS_FILES ${vorn_catalogue}
    OPTIONS -silent
    NO_GLOBAL_TARGET)
