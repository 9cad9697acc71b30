# Installation and the Debian package.
#
# Layout under the prefix (/usr for the package, /usr/local by default):
#   lib/korvex/            Korvex, libKorvexAPI.so.0, EnumSer, korvex-cli, korvex-dongle-sim
#   lib/korvex/client/     the web application; the host serves "http://res/client/..." from
#                          the folder of the running program
#   bin/                   korvex, korvex-cli, korvex-dongle-sim, EnumSer: relative symlinks
#                          into lib/korvex. /proc/self/exe resolves them, so every program
#                          still sees lib/korvex as its own folder and finds EnumSer, the
#                          simulator and client/ beside itself.
#   lib/udev/rules.d/      the rule that gives the user at the seat access to the dongle
#   share/applications/, share/icons/hicolor/scalable/apps/, share/man/man1/
#
# The program folder is lib/korvex on purpose, not the multiarch library folder: it holds
# programs and a private library, and the launchers point at it by a fixed relative path.
# Every rule is guarded by if(TARGET ...) so that a tree with a missing part still installs
# the rest.

set(KORVEX_INSTALL_BINDIR bin)
set(KORVEX_INSTALL_PKGDIR lib/korvex)
set(KORVEX_INSTALL_UDEVDIR lib/udev/rules.d)
set(KORVEX_INSTALL_DATADIR share)
set(korvex_packaging_dir ${CMAKE_SOURCE_DIR}/packaging)

# Installed programs find the private library beside themselves.
foreach(target Korvex korvex-cli)
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
endforeach()

if(TARGET KorvexAPI)
  # Only the run-time library: nothing outside this folder links against it, so there is
  # no development symlink and no header.
  install(TARGETS KorvexAPI LIBRARY DESTINATION ${KORVEX_INSTALL_PKGDIR} NAMELINK_SKIP)
endif()

# launcher name on PATH -> program in the program folder
set(korvex_programs
  Korvex:korvex
  korvex-cli:korvex-cli
  korvex-dongle-sim:korvex-dongle-sim
  EnumSer:EnumSer)

file(RELATIVE_PATH korvex_bin_to_pkg
  ${CMAKE_BINARY_DIR}/install-layout/${KORVEX_INSTALL_BINDIR}
  ${CMAKE_BINARY_DIR}/install-layout/${KORVEX_INSTALL_PKGDIR})
set(korvex_launcher_dir ${CMAKE_BINARY_DIR}/packaging/launchers)
file(MAKE_DIRECTORY ${korvex_launcher_dir})

foreach(pair ${korvex_programs})
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 target)
  list(GET pair 1 launcher)
  if(NOT TARGET ${target})
    message(STATUS "Korvex install: ${target} is not part of this build; ${launcher} is not installed")
    continue()
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${KORVEX_INSTALL_PKGDIR})
  # A relative symlink keeps the installed tree movable (DESTDIR, package building).
  file(CREATE_LINK ${korvex_bin_to_pkg}/${target} ${korvex_launcher_dir}/${launcher} SYMBOLIC)
  install(FILES ${korvex_launcher_dir}/${launcher} DESTINATION ${KORVEX_INSTALL_BINDIR})
endforeach()

if(TARGET korvex_webapp)
  # The copy the web application target made beside the programs, with its bundled
  # libraries; the trailing slash installs the folder's contents as client/.
  install(DIRECTORY ${CMAKE_BINARY_DIR}/bin/client/ DESTINATION ${KORVEX_INSTALL_PKGDIR}/client)
endif()

if(TARGET Korvex)
  install(FILES ${korvex_packaging_dir}/korvex.desktop
          DESTINATION ${KORVEX_INSTALL_DATADIR}/applications)
  install(FILES ${korvex_packaging_dir}/korvex.svg
          DESTINATION ${KORVEX_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
install(FILES ${korvex_packaging_dir}/70-korvex.rules DESTINATION ${KORVEX_INSTALL_UDEVDIR})

# Manual pages, compressed as Debian ships them when gzip is there.
set(korvex_man_pages korvex.1 korvex-cli.1 korvex-dongle-sim.1 EnumSer.1)
find_program(KORVEX_GZIP gzip)
set(korvex_man_outputs "")
foreach(page ${korvex_man_pages})
  set(source ${korvex_packaging_dir}/man/${page})
  if(KORVEX_GZIP)
    set(output ${CMAKE_BINARY_DIR}/packaging/man/${page}.gz)
    # -n leaves out the name and time so that the package is reproducible.
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
      COMMAND ${KORVEX_GZIP} -9nc ${source} > ${output}
      DEPENDS ${source}
      COMMENT "Compressing the manual page ${page}")
    list(APPEND korvex_man_outputs ${output})
  else()
    list(APPEND korvex_man_outputs ${source})
  endif()
endforeach()
add_custom_target(korvex_man_pages ALL DEPENDS ${korvex_man_outputs})
install(FILES ${korvex_man_outputs} DESTINATION ${KORVEX_INSTALL_DATADIR}/man/man1)

install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${KORVEX_INSTALL_DATADIR}/doc/korvex)

# ---------------------------------------------------------------- Debian package (cpack -G DEB)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korvex developers")
set(CPACK_PACKAGE_CONTACT "Korvex developers <korvex-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "wireless laboratory data-acquisition kit: desktop program and tools")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Korvex pairs the sensor remotes of a wireless laboratory data-acquisition kit with its "
  "USB radio dongle, streams and decodes their data, records every run and shows it in a "
  "local web application in a Chromium app window. The package also holds korvex-cli for "
  "recording on the command line, the simulated kit korvex-dongle-sim and the serial port "
  "lister EnumSer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the programs load (libbson, the C++ runtime) come from
# dpkg-shlibdeps, which names the exact Debian packages with their minimum versions; the
# browser the host drives is not a library, so it is named by hand.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "chromium")
find_program(KORVEX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KORVEX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # libKorvexAPI.so.0 is the package's own private library.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
else()
  # Without dpkg-dev: what the programs load on Debian 12 (checked with ldd).
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "chromium, libbson-1.0-0 (>= 1.23), libstdc++6 (>= 12), libgcc-s1, libc6 (>= 2.36)")
endif()
# udev reads the new rule at once; a dongle already plugged in gets it when replugged.
configure_file(${korvex_packaging_dir}/debian/postinst ${CMAKE_BINARY_DIR}/packaging/debian/postinst
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
