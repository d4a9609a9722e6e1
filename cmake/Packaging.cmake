# The Debian package of the desktop client: install() rules for everything
# the package holds and CPack's DEB generator over them.
#
#   cmake --build <build> --target deb
#
# writes <build>/packages/varnelvpn_<version>_<arch>.deb (and nothing else
# there). What it holds:
#   /opt/VarnelVPN Client/   the client's installation folder, laid out as
#                            the client expects to find it (bundle.h): the
#                            client with its information file, the helper
#                            it installs, the installer pkexec runs, the
#                            SSTP client's options file, the licence texts
#   /usr/share/polkit-1/actions/com.varnelvpn.policy
#   /usr/share/applications/varnelvpn-client.desktop
#   /usr/share/icons/hicolor/*/apps/varnelvpn-client.{png,svg}
#   /usr/share/doc/varnelvpn/  copyright and changelog
# The helper itself is not installed by the package: the client installs it
# at the first login of each user through polkit (see the README), and the
# package's prerm removes it again.
#
# VARNEL_PACKAGE_VERSION names the package's version (default: the
# project's); VARNEL_HELPER_BUNDLE_VERSION (src/helper) the helper's.

set(VARNEL_PACKAGE_VERSION "${PROJECT_VERSION}" CACHE STRING "Version of the Debian package")
set(VARNEL_PACKAGE_NAME varnelvpn)
set(VARNEL_INSTALL_FOLDER "opt/VarnelVPN Client")
set(VARNEL_DOC_FOLDER usr/share/doc/${VARNEL_PACKAGE_NAME})

# "make install" (and CPack, which runs it) builds only what the package
# holds (the deb target depends on it), not the whole tree and its tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

install(TARGETS varnel_client VarnelHelper varnel-install-helper
        RUNTIME DESTINATION "${VARNEL_INSTALL_FOLDER}")
install(FILES "${PROJECT_BINARY_DIR}/src/apps/VarnelVPN Client.plist"
              ${VARNEL_CLIENT_UI_RESOURCES}
              ${PROJECT_SOURCE_DIR}/packaging/sstp/sstp-options
        DESTINATION "${VARNEL_INSTALL_FOLDER}")
install(FILES ${PROJECT_SOURCE_DIR}/packaging/polkit/com.varnelvpn.policy
        DESTINATION usr/share/polkit-1/actions)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/desktop/varnelvpn-client.desktop
        DESTINATION usr/share/applications)
install(DIRECTORY ${PROJECT_BINARY_DIR}/packaging/icons/hicolor/ DESTINATION usr/share/icons/hicolor)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${VARNEL_DOC_FOLDER})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/varnelvpn.lintian-overrides
        DESTINATION usr/share/lintian/overrides RENAME ${VARNEL_PACKAGE_NAME})
# Debian's changelog, compressed reproducibly (no name, no time stamp).
set(VARNEL_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/debian/changelog.gz)
add_custom_command(OUTPUT ${VARNEL_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging/debian
  COMMAND sh -c "sed 's/@VERSION@/${VARNEL_PACKAGE_VERSION}/' \"$1\" | gzip -9n >\"$2\""
          changelog ${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${VARNEL_CHANGELOG}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
  COMMENT "Compressing the package's changelog"
  VERBATIM)
add_custom_target(varnel_changelog DEPENDS ${VARNEL_CHANGELOG})
install(FILES ${VARNEL_CHANGELOG} DESTINATION ${VARNEL_DOC_FOLDER})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VARNEL_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${VARNEL_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR VarnelVPN)
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop client of the VarnelVPN service")
# The synopsis is the summary above; CPack indents these lines and marks
# the empty one as a paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "VarnelVPN Client logs in to the VarnelVPN account service, lists the VPN
accounts, locations and servers of the account, tests servers and connects
over OpenVPN, SSTP, PPTP, L2TP or IPSec.

Connections are made by VarnelHelper, a privileged service that the client
installs at the first login of each user after an administrator has
authorized it; systemd starts it on demand.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "VarnelVPN maintainers <maintainers@varnelvpn.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.varnelvpn.com/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries the programs link, from dpkg-shlibdeps; then the programs
# they run: OpenVPN and the SSTP client (started by the helper), pkexec and
# polkitd (the installation's authorization), systemd (starts the helper).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "openvpn, sstp-client, pkexec, polkitd, systemd")
# PPTP, L2TP and IPSec connections go through NetworkManager's plugins.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "network-manager, network-manager-pptp, network-manager-l2tp, network-manager-vpnc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_OUTPUT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackConfig.cmake)
include(CPack)

add_custom_target(deb
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR} -DCPACK=${CMAKE_CPACK_COMMAND}
          -DPACKAGE=${VARNEL_PACKAGE_NAME} -P ${PROJECT_SOURCE_DIR}/cmake/BuildDeb.cmake
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  COMMENT "Building the Debian package in ${PROJECT_BINARY_DIR}/packages"
  VERBATIM)
add_dependencies(deb varnel_client VarnelHelper varnel-install-helper varnel_client_icons
                 varnel_changelog)
