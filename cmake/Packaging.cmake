# The publisher's .deb, vorn-publisher_<version>_<arch>.deb, installable with
# `apt-get install ./<file>.deb`, is packed from the publisher's component:
#   cmake --build <build> --target vorn-publisher
#   cpack --config <build>/CPackConfig.cmake
# The first builds only the programs it ships; cpack builds nothing (see
# CMAKE_SKIP_INSTALL_ALL_DEPENDENCY below) and packs what is built. The updater's component is
# installed into a messenger bundle with
# `cmake --install <build> --component updater --prefix <bundle>`.
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "The project's version \"${PROJECT_VERSION}\" is not MAJOR.MINOR.PATCH")
endif()

# What the package ships, and nothing else: the tests and benchmarks are not built for it.
add_custom_target(vorn-publisher)
add_dependencies(vorn-publisher vorn-update-server vorn-package-builder vorn_messenger_standin)
# cpack installs through the `preinstall` target, which would otherwise build every target first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_PACKAGE_NAME vorn)
set(CPACK_PACKAGE_VENDOR "Vorn")
set(CPACK_PACKAGE_CONTACT "Vorn publishers <publishers@vorn.example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(CPACK_PACKAGE_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(CPACK_PACKAGE_VERSION_PATCH ${PROJECT_VERSION_PATCH})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL publisher)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PUBLISHER_PACKAGE_NAME vorn-publisher)
set(CPACK_DEBIAN_PUBLISHER_PACKAGE_SECTION net)
# The Qt, OpenSSL, zstd and minizip libraries the programs link, found by dpkg-shlibdeps, and
# adduser for the service's user.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PUBLISHER_PACKAGE_DEPENDS "adduser")
# The maintainer scripts make the service's user and reply key, and take them away on purge;
# the defaults file is the administrator's once installed.
set(vorn_debian ${PROJECT_SOURCE_DIR}/tools/updateserver/debian)
set(CPACK_DEBIAN_PUBLISHER_PACKAGE_CONTROL_EXTRA
    ${vorn_debian}/conffiles ${vorn_debian}/postinst ${vorn_debian}/prerm ${vorn_debian}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The summary, then the long description in lines of at most 80 characters (CPack indents them).
set(CPACK_COMPONENT_PUBLISHER_DESCRIPTION "Vorn update server and package builder
The reference update server (with systemd units), the package builder that
signs releases and patch packages, and a stand-in messenger for trying them.")
include(CPack)
