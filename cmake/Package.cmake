# The Debian package velnaro-ds_<version>_<arch>.deb: the program, its desktop entry and
# icons, the autostart entry and the machine-wide configuration file. scripts/package
# builds it; `cpack` in a build folder does the same with that folder's build.

# The package carries the version the agent itself reports, read from its one definition.
file(STRINGS ${CMAKE_SOURCE_DIR}/src/provisioning/clConfig.h version_line
     REGEX "kSoftwareVersion = \"[^\"]+\"")
if(NOT version_line MATCHES "\"([^\"]+)\"")
  message(FATAL_ERROR "kSoftwareVersion not found in src/provisioning/clConfig.h")
endif()
set(VELNARO_VERSION ${CMAKE_MATCH_1})

set(VELNARO_PACKAGE_MAINTAINER "Velnaro DS maintainers <velnaro-ds@velnaro.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

find_program(RSVG_CONVERT rsvg-convert REQUIRED)
find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)
find_program(DPKG dpkg REQUIRED)
execute_process(COMMAND ${DPKG} --print-architecture
                OUTPUT_VARIABLE VELNARO_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE)

set(pkg_src ${CMAKE_SOURCE_DIR}/packaging)
set(pkg_out ${CMAKE_BINARY_DIR}/packaging)

# PNG icons drawn from the SVG, and the changelog and manual page compressed as Debian
# wants them (gzip -9n: no name or time stamp inside).
set(icon_sizes 16 22 24 32 48 64 128 256)
set(generated)
foreach(size ${icon_sizes})
  set(png ${pkg_out}/icons/${size}x${size}/velnaro-ds.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${pkg_out}/icons/${size}x${size}
    COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${pkg_src}/velnaro-ds.svg
    DEPENDS ${pkg_src}/velnaro-ds.svg VERBATIM)
  list(APPEND generated ${png})
  install(FILES ${png} DESTINATION share/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_command(OUTPUT ${pkg_out}/changelog.gz
  COMMAND sh -c "${GZIP} -9n < '${pkg_src}/changelog' > '${pkg_out}/changelog.gz'"
  DEPENDS ${pkg_src}/changelog VERBATIM)
list(APPEND generated ${pkg_out}/changelog.gz)
# The manual page is the program's own --help, so the two never disagree.
add_custom_command(OUTPUT ${pkg_out}/velnaro-ds.1.gz
  COMMAND ${HELP2MAN} --no-info --section=1 --output=${pkg_out}/velnaro-ds.1
          "--name=telephony agent for call-centre operators" $<TARGET_FILE:velnaro-ds>
  COMMAND ${GZIP} -9nf ${pkg_out}/velnaro-ds.1
  DEPENDS velnaro-ds VERBATIM)
list(APPEND generated ${pkg_out}/velnaro-ds.1.gz)
add_custom_target(velnaro_package_files ALL DEPENDS ${generated})

install(TARGETS velnaro-ds RUNTIME DESTINATION bin)
install(FILES ${pkg_src}/velnaro-ds.desktop DESTINATION share/applications)
install(FILES ${pkg_src}/velnaro-ds.svg DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${pkg_src}/copyright ${pkg_out}/changelog.gz DESTINATION share/doc/velnaro-ds)
install(FILES ${pkg_out}/velnaro-ds.1.gz DESTINATION share/man/man1)
# Both files under /etc are conffiles: an administrator's edits survive upgrades.
install(FILES ${pkg_src}/velnaro-ds.conf DESTINATION /etc/velnaro-ds)
install(FILES ${pkg_src}/velnaro-ds-autostart.desktop DESTINATION /etc/xdg/autostart
        RENAME velnaro-ds.desktop)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velnaro-ds)
set(CPACK_PACKAGE_VERSION ${VELNARO_VERSION})
set(CPACK_PACKAGE_VENDOR Velnaro)
set(CPACK_PACKAGE_CONTACT ${VELNARO_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "telephony agent for call-centre operators")
set(CPACK_PACKAGE_DESCRIPTION "Velnaro DS gives the operator's web application a telephone: the page
drives it with HTTP requests on 127.0.0.1:9090 and reads the phone's state
back as JSON. The agent provisions itself from the service named in
/etc/velnaro-ds/velnaro-ds.conf, registers a SIP line, records and uploads
calls, and waits in the notification area. It starts at every login.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME velnaro-ds_${VELNARO_VERSION}_${VELNARO_DEB_ARCH}.deb)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VELNARO_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VELNARO_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies are computed from the program by dpkg-shlibdeps; the opener and the
# native Wayland platform are used at run time without being linked.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "xdg-utils, qt6-wayland")
# GNOME shows tray icons only with this extension.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell-extension-appindicator")
# The maintainer scripts write the browser policies on configure and take them away on
# remove (and on purge whatever is left).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${pkg_src}/conffiles ${pkg_src}/postinst ${pkg_src}/prerm ${pkg_src}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
