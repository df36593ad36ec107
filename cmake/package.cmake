# The installed layout and the release packages, made by CPack (scripts/package
# runs it):
#   Windows: nictate-<version>-win32.zip    nictate.exe, thinkgear.dll, README, LICENSE
#   Linux:   nictate-<version>-Linux.tar.gz  and, where dpkg-shlibdeps is
#            installed (dpkg-dev), nictate_<version>_<arch>.deb, both with
#              bin/nictate, bin/nictate-click, bin/nictate-sim (when built)
#              lib/<multiarch>/nictate/libthinkgear.so.1 (and .so.1.0.0)
#              lib/<multiarch>/nictate/nictate-click-*.so (the ways of clicking)
#              share/applications/nictate.desktop (for kwin's fake input)
#              share/doc/nictate/ README.md, docs/, tools/README.md
#              share/man/man1/nictate.1.gz, nictate-sim.1.gz, nictate-click.1.gz
#            in the archive share/doc/nictate/LICENSE, and in the Debian
#            package (under /usr) instead
#              share/doc/nictate/copyright, share/doc/nictate/changelog.gz
#              lib/udev/rules.d/70-nictate.rules
if(WIN32)
  # Everything beside nictate.exe, where Windows looks for thinkgear.dll first.
  # The import library is for building against the DLL, not for users.
  install(TARGETS nictate thinkgear RUNTIME DESTINATION .
    ARCHIVE DESTINATION lib EXCLUDE_FROM_ALL)
  install(FILES README.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  # The device library is the program's own, for no other program: it goes to
  # a directory of its own in the multiarch library directory
  # (/usr/lib/x86_64-linux-gnu/nictate on Debian), whatever the prefix, so the
  # package and the archive have one layout, and the program finds it there
  # through a RUNPATH relative to itself. -DCMAKE_INSTALL_LIBDIR=... moves it.
  if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CMAKE_INSTALL_LIBDIR)
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
      "Object code libraries (LIBDIR)")
  endif()
  include(GNUInstallDirs)
  set(NICTATE_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/nictate)
  file(RELATIVE_PATH libdir_from_bindir /${CMAKE_INSTALL_BINDIR} /${NICTATE_PRIVATE_LIBDIR})
  set_target_properties(nictate PROPERTIES INSTALL_RPATH "$ORIGIN/${libdir_from_bindir}")
  # libthinkgear.so.1 -> libthinkgear.so.1.0.0: the major version changes with
  # any change of the nine operations that breaks a caller.
  set_target_properties(thinkgear PROPERTIES VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})

  # No unversioned libthinkgear.so: nothing is built against the library
  # outside this tree. The simulator links the library's inside statically.
  install(TARGETS nictate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT nictate)
  install(TARGETS thinkgear LIBRARY DESTINATION ${NICTATE_PRIVATE_LIBDIR} NAMELINK_SKIP
    COMPONENT nictate)
  # The ways of clicking that need a library (cmake/click.cmake), beside the
  # device library where the program's RUNPATH finds them; nictate-click finds
  # them the same way.
  install(TARGETS ${NICTATE_CLICK_MODULES} LIBRARY DESTINATION ${NICTATE_PRIVATE_LIBDIR}
    COMPONENT nictate)
  install(TARGETS nictate-click RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT nictate)
  set_target_properties(nictate-click PROPERTIES INSTALL_RPATH "$ORIGIN/${libdir_from_bindir}")
  # kwin offers its fake input only to a program whose .desktop file asks for
  # it; hidden from menus, as nictate runs in a terminal.
  install(FILES packaging/nictate.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
    COMPONENT nictate)
  if(TARGET nictate-sim)
    install(TARGETS nictate-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT nictate)
  endif()
  # The documents, laid out as in the sources so that their links hold.
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT nictate)
  install(FILES packaging/70-nictate-uinput.rules DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
    COMPONENT nictate)
  install(FILES docs/logs.md docs/ports.md docs/blinks.md docs/security.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
    COMPONENT nictate)
  install(FILES tools/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/tools COMPONENT nictate)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT archive)

  # Compressed as Debian wants them (gzip -9n: no name, no time), when
  # configured; the build directory gets the name of the file plus .gz.
  function(nictate_gzip source result)
    get_filename_component(name ${source} NAME)
    set(${result} ${PROJECT_BINARY_DIR}/${name}.gz PARENT_SCOPE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    execute_process(COMMAND gzip -9n INPUT_FILE ${source}
      OUTPUT_FILE ${PROJECT_BINARY_DIR}/${name}.gz RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "gzip -9n ${source} failed: ${status}")
    endif()
  endfunction()

  # The manual pages: what the programs are, and where the documents are.
  foreach(page nictate.1 nictate-sim.1 nictate-click.1)
    configure_file(packaging/${page}.in ${PROJECT_BINARY_DIR}/${page} @ONLY)
    nictate_gzip(${PROJECT_BINARY_DIR}/${page} page_gz)
    install(FILES ${page_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT nictate)
  endforeach()

  # What a Debian package holds instead, or only a system package can use:
  # the licence and the changelog where Debian looks for them, and the udev
  # rule that keeps ModemManager off Bluetooth serial ports (README.md,
  # "Keeping ModemManager off the port"). The changelog's newest entry is
  # this version's.
  set(changelog ${PROJECT_SOURCE_DIR}/packaging/changelog)
  file(STRINGS ${changelog} changelog_top LIMIT_COUNT 1)
  if(NOT changelog_top MATCHES "^nictate \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog starts with '${changelog_top}': "
      "give version ${PROJECT_VERSION} an entry at its top")
  endif()
  nictate_gzip(${changelog} changelog_gz)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright COMPONENT debian)
  install(FILES ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian)
  install(FILES packaging/70-nictate.rules DESTINATION lib/udev/rules.d COMPONENT debian)

  # The Debian package where its tools are (dpkg-dev: dpkg-shlibdeps, which
  # computes the dependencies from the binaries, and file).
  set(CPACK_GENERATOR TGZ)
  find_program(NICTATE_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(NICTATE_FILE_PROGRAM file)
  if(NICTATE_DPKG_SHLIBDEPS AND NICTATE_FILE_PROGRAM)
    list(APPEND CPACK_GENERATOR DEB)
  else()
    message(STATUS "dpkg-shlibdeps or file not found: no Debian package (dpkg-dev, file)")
  endif()
  # Each generator takes its components from cmake/cpack_options.cmake.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_options.cmake)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION x11)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(NICTATE_DEBIAN_MAINTAINER "The nictate authors <nictate@example.org>" CACHE STRING
    "The Maintainer field of the Debian package: a name and an address")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NICTATE_DEBIAN_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_PACKAGE_DESCRIPTION
    "nictate reads a brainwave headset on a serial port (Bluetooth or USB),
prints every new attention and eye-blink value, and turns each new eye-blink
value into one left click where the mouse pointer is. The clicks go through
the X server, so under Wayland they reach X and XWayland windows only.
.
nictate-sim, a simulated headset, lets you try it before the headset arrives.")
endif()

set(CPACK_PACKAGE_NAME nictate)
set(CPACK_PACKAGE_VENDOR "nictate")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Click the mouse by blinking")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
