# Installation in the Debian layout and the .deb built by CPack.
#
#   cmake --install build --prefix /usr       # or: cd build && cpack -G DEB
#
# bin/jyx, bin/jyx-sim, share/man/man1/jyx.1 and jyx-sim.1,
# share/bash-completion/completions/jyx and jyx-sim, and the example
# configurations in share/doc/jyx/examples; the labgrid drivers in
# lib/python3/dist-packages/jyx_labgrid, their README and example
# environment in share/doc/jyx/labgrid.
include(GNUInstallDirs)

install(TARGETS jyx RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET jyx-sim)
  install(TARGETS jyx-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES doc/jyx.1 doc/jyx-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES completion/jyx.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME jyx)
install(FILES completion/jyx.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME jyx-sim)
install(DIRECTORY doc/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES README.md jyx/power/power_format.md jyx/device/spi_format.md
  jyx/server/server_protocol.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The labgrid drivers, for Debian's python3 (python3-labgrid), with their
# documentation and an example environment.
install(DIRECTORY contrib/labgrid/jyx_labgrid DESTINATION lib/python3/dist-packages
  FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
install(FILES contrib/labgrid/README.md contrib/labgrid/example-env.yaml
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/labgrid)

# The package version follows the version the program prints (v.YYYY.MM.DD).
file(STRINGS jyx/jyx.h JYX_VERSION_LINE REGEX "version_ = \"v\\.[0-9.]+\"")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" JYX_PACKAGE_VERSION "${JYX_VERSION_LINE}")
if(NOT JYX_PACKAGE_VERSION)
  message(FATAL_ERROR "cannot find the program version in jyx/jyx.h")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME jyx)
set(CPACK_PACKAGE_VERSION ${JYX_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "jyx maintainers <jyx@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bench tool for JYX controller boards, with a simulator")
set(CPACK_PACKAGE_DESCRIPTION
  "jyx drives a JYX controller board over TCP: target power and reset lines,\nGPIOs, UART log forwarding, SPI NOR flash programming and power-rail\nsampling. jyx-sim simulates the controller on loopback.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3-labgrid)
# Dependencies come from the shared libraries the binaries link
# (dpkg-shlibdeps), so they follow the build machine's library versions.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
# Tests and other components are not packaged; only what install() names.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)

if(JYX_BUILD_TESTS AND TARGET jyx-sim)
  # Builds the .deb, installs it into a scratch root and runs the installed
  # jyx -v (needs dpkg-deb, dpkg-shlibdeps and groff).
  add_test(NAME package_install
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/scripts/package_test.sh ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(package_install PROPERTIES TIMEOUT 300 LABELS e2e)
endif()
