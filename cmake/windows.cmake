# The Windows side of the build: thinkgear.dll's export list, nictate.exe's
# manifest and its two Windows DLLs, and the test observer that runs beside
# nictate.exe under Wine. Included by the top CMakeLists.txt when WIN32.

# The PE headers name the oldest Windows that may load the file: 5.1, XP.
set(NICTATE_XP_LINK_OPTIONS
  -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,1
  -Wl,--major-os-version,5 -Wl,--minor-os-version,1)

# The nine operations exported under their plain C names (thinkgear.def),
# and an import library that nictate.exe links, so Windows binds the DLL
# when it loads the program.
target_sources(thinkgear PRIVATE thinkgear/thinkgear.def)
target_link_options(thinkgear PRIVATE ${NICTATE_XP_LINK_OPTIONS})
set_target_properties(thinkgear PROPERTIES OUTPUT_NAME thinkgear IMPORT_PREFIX "lib"
  IMPORT_SUFFIX ".dll.a")

# A console program (the subsystem MinGW gives a main()); user32 for the
# click, kernel32 for Sleep. The manifest goes in as a resource.
target_sources(nictate PRIVATE app/nictate.rc)
set_source_files_properties(app/nictate.rc PROPERTIES
  OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/app/nictate.manifest)
target_include_directories(nictate PRIVATE ${PROJECT_SOURCE_DIR}/app)
target_link_libraries(nictate PRIVATE user32 kernel32)
target_link_options(nictate PRIVATE ${NICTATE_XP_LINK_OPTIONS} -mconsole)

if(BUILD_TESTING)
  add_subdirectory(tests/wine)
endif()
