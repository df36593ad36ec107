# The installed layout, which the Debian package (debian/, built by
# dpkg-buildpackage) takes as it is, and the release archives made by CPack
# (scripts/package runs both):
#   Windows: nictate-<version>-win32.zip    nictate.exe, thinkgear.dll, README, LICENSE
#   Linux:   nictate-<version>-Linux.tar.gz, and under /usr in the Debian package:
#              bin/nictate, bin/nictate-click, bin/nictate-sim (when built)
#              lib/<multiarch>/nictate/libthinkgear.so.1 (and .so.1.0.0)
#              lib/<multiarch>/nictate/nictate-click-*.so (the ways of clicking)
#              share/applications/nictate.desktop (for kwin's fake input)
#              share/doc/nictate/ README.md, docs/, tools/README.md, LICENSE,
#                examples/70-nictate-uinput.rules
#              share/man/man1/nictate.1.gz, nictate-sim.1.gz, nictate-click.1.gz
#            The Debian package has the licence as copyright instead, its
#            changelog, and the udev rule (debian/).
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
  install(TARGETS nictate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS thinkgear LIBRARY DESTINATION ${NICTATE_PRIVATE_LIBDIR} NAMELINK_SKIP)
  # The ways of clicking that need a library (cmake/click.cmake), beside the
  # device library where the program's RUNPATH finds them; nictate-click finds
  # them the same way.
  install(TARGETS ${NICTATE_CLICK_MODULES} LIBRARY DESTINATION ${NICTATE_PRIVATE_LIBDIR})
  install(TARGETS nictate-click RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set_target_properties(nictate-click PROPERTIES INSTALL_RPATH "$ORIGIN/${libdir_from_bindir}")
  # kwin offers its fake input only to a program whose .desktop file asks for
  # it; hidden from menus, as nictate runs in a terminal.
  install(FILES packaging/nictate.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  if(TARGET nictate-sim)
    install(TARGETS nictate-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  # The documents, laid out as in the sources so that their links hold.
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES packaging/70-nictate-uinput.rules DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(FILES docs/architecture.md docs/logs.md docs/ports.md docs/blinks.md docs/blinks.svg
    docs/security.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
  install(FILES tools/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/tools)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

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
    install(FILES ${page_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()

  # The version is the Debian package's too: its changelog's newest entry is
  # this version's.
  file(STRINGS ${PROJECT_SOURCE_DIR}/debian/changelog changelog_top LIMIT_COUNT 1)
  if(NOT changelog_top MATCHES "^nictate \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "debian/changelog starts with '${changelog_top}': "
      "give version ${PROJECT_VERSION} an entry at its top")
  endif()

  set(CPACK_GENERATOR TGZ)
endif()

set(CPACK_PACKAGE_NAME nictate)
set(CPACK_PACKAGE_VENDOR "nictate")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Click the mouse by blinking")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
