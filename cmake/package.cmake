# Release packages, made by CPack (scripts/package runs it):
#   Windows: nictate-<version>-win32.zip   nictate.exe, thinkgear.dll, README, LICENSE
#   Linux:   nictate-<version>-Linux.tar.gz bin/nictate, lib/libthinkgear.so,
#            bin/nictate-sim (when built), share/doc/nictate/README.md, LICENSE
if(WIN32)
  # Everything beside nictate.exe, where Windows looks for thinkgear.dll first.
  # The import library is for building against the DLL, not for users.
  install(TARGETS nictate thinkgear RUNTIME DESTINATION .
    ARCHIVE DESTINATION lib EXCLUDE_FROM_ALL)
  install(FILES README.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  # bin/ and lib/ side by side: nictate finds the library through $ORIGIN/../lib.
  install(TARGETS nictate thinkgear RUNTIME DESTINATION bin LIBRARY DESTINATION lib)
  if(TARGET nictate-sim)
    install(TARGETS nictate-sim RUNTIME DESTINATION bin)
  endif()
  install(FILES README.md LICENSE DESTINATION share/doc/nictate)
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
