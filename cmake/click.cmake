# The ways of clicking on Linux (platform/input_linux.cpp chooses one at run
# time). uinput is built into the program. The others need a library that a
# machine may not have, so each is a module beside the program, loaded only
# when tried, through the program's RUNPATH: in the build tree the directory
# of nictate, installed the private library directory (cmake/package.cmake).
# A module whose library or protocol is missing here is not built, and the
# program clicks the other ways.
#
#   nictate-click-xtest.so    libX11, libXtst, libXrandr  (X and XWayland)
#   nictate-click-wlroots.so  libwayland-client           (sway and wlroots)
#   nictate-click-kde.so      libwayland-client           (kwin)
#   nictate-click-mutter.so   libdbus-1                   (GNOME)

# What every module that cannot read the pointer shares.
add_library(nictate_pointer_records STATIC platform/pointer_records.cpp)
target_include_directories(nictate_pointer_records PUBLIC ${PROJECT_SOURCE_DIR})
set_target_properties(nictate_pointer_records PROPERTIES POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

# The chooser, the Windows operations on top of it, and uinput.
add_library(nictate_click STATIC
  platform/input_linux.cpp
  platform/click_uinput.cpp
  platform/sleep_posix.cpp)
target_include_directories(nictate_click PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(nictate_click PUBLIC nictate_pointer_records ${CMAKE_DL_LIBS})

set(NICTATE_CLICK_MODULES "")
function(nictate_click_module name)
  add_library(nictate-click-${name} MODULE ${ARGN})
  set_target_properties(nictate-click-${name} PROPERTIES PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  # Its own operations are its own, whatever the program defines.
  target_link_options(nictate-click-${name} PRIVATE LINKER:-Bsymbolic)
  target_include_directories(nictate-click-${name} PRIVATE ${PROJECT_SOURCE_DIR}
    ${PROJECT_BINARY_DIR}/protocols)
  set(NICTATE_CLICK_MODULES ${NICTATE_CLICK_MODULES} nictate-click-${name} PARENT_SCOPE)
endfunction()

nictate_click_module(xtest platform/click_xtest.cpp)
target_link_libraries(nictate-click-xtest PRIVATE nictate_platform)

find_package(PkgConfig)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(WAYLAND_CLIENT IMPORTED_TARGET wayland-client)
  pkg_check_modules(DBUS IMPORTED_TARGET dbus-1)
endif()
find_program(NICTATE_WAYLAND_SCANNER wayland-scanner)
find_file(NICTATE_FAKE_INPUT_XML fake-input.xml
  PATH_SUFFIXES plasma-wayland-protocols PATHS /usr/share /usr/local/share)
find_file(NICTATE_XDG_SHELL_XML xdg-shell.xml
  PATH_SUFFIXES wayland-protocols/stable/xdg-shell PATHS /usr/share /usr/local/share)

# The client code of a Wayland protocol, made by wayland-scanner into
# protocols/: <base>-client-protocol.h and <base>-protocol.c, whose file
# goes to <result>.
function(nictate_wayland_protocol xml base result)
  set(dir ${PROJECT_BINARY_DIR}/protocols)
  add_custom_command(
    OUTPUT ${dir}/${base}-client-protocol.h ${dir}/${base}-protocol.c
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${NICTATE_WAYLAND_SCANNER} client-header ${xml} ${dir}/${base}-client-protocol.h
    COMMAND ${NICTATE_WAYLAND_SCANNER} private-code ${xml} ${dir}/${base}-protocol.c
    DEPENDS ${xml} VERBATIM)
  set(${result} ${dir}/${base}-protocol.c ${dir}/${base}-client-protocol.h PARENT_SCOPE)
endfunction()

set(NICTATE_WAYLAND OFF)
if(WAYLAND_CLIENT_FOUND AND NICTATE_WAYLAND_SCANNER)
  set(NICTATE_WAYLAND ON)
  enable_language(C)
  add_library(nictate_wayland_client STATIC platform/click_wayland.cpp)
  target_include_directories(nictate_wayland_client PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(nictate_wayland_client PUBLIC PkgConfig::WAYLAND_CLIENT)
  set_target_properties(nictate_wayland_client PROPERTIES POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

  # The protocol's XML is MIT-licensed, its licence inside it; Debian ships
  # it only in the wlroots source package, so a copy is kept here.
  # The tests' stand-in pointer speaks it too.
  nictate_wayland_protocol(${PROJECT_SOURCE_DIR}/platform/protocols/wlr-virtual-pointer-unstable-v1.xml
    wlr-virtual-pointer-unstable-v1 virtual_pointer_sources)
  add_library(nictate_virtual_pointer_protocol STATIC ${virtual_pointer_sources})
  target_include_directories(nictate_virtual_pointer_protocol PUBLIC ${PROJECT_BINARY_DIR}/protocols)
  target_link_libraries(nictate_virtual_pointer_protocol PUBLIC PkgConfig::WAYLAND_CLIENT)
  set_target_properties(nictate_virtual_pointer_protocol PROPERTIES POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden)
  nictate_click_module(wlroots platform/click_wlroots.cpp)
  target_link_libraries(nictate-click-wlroots PRIVATE nictate_wayland_client
    nictate_virtual_pointer_protocol nictate_pointer_records)

  if(NICTATE_FAKE_INPUT_XML)
    nictate_wayland_protocol(${NICTATE_FAKE_INPUT_XML} fake-input NICTATE_FAKE_INPUT_PROTOCOL)
    nictate_click_module(kde platform/click_kde.cpp ${NICTATE_FAKE_INPUT_PROTOCOL})
    target_link_libraries(nictate-click-kde PRIVATE nictate_wayland_client nictate_pointer_records)
  else()
    message(STATUS "fake-input.xml not found: no KDE clicks (plasma-wayland-protocols)")
  endif()
else()
  message(STATUS "libwayland-client or wayland-scanner not found: no Wayland clicks "
    "(libwayland-dev, libwayland-bin)")
endif()

if(DBUS_FOUND)
  nictate_click_module(mutter platform/click_mutter.cpp)
  target_link_libraries(nictate-click-mutter PRIVATE PkgConfig::DBUS nictate_pointer_records)
else()
  message(STATUS "libdbus-1 not found: no clicks through mutter (libdbus-1-dev)")
endif()
