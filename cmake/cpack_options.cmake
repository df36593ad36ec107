# Read by cpack once for each generator (cmake/package.cmake has the
# components). The archive holds what works from wherever it is unpacked,
# under one top directory; the Debian package holds the same files, the
# licence and changelog as Debian has them, and the udev rule.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL nictate debian)
else()
  set(CPACK_COMPONENTS_ALL nictate archive)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
