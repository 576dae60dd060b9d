# libplist is the only library beyond the system's. Homebrew and newer Debian
# name its pkg-config module libplist-2.0; older releases call it libplist.
find_package(PkgConfig REQUIRED)
pkg_search_module(PLIST REQUIRED IMPORTED_TARGET libplist-2.0 libplist)

if(APPLE)
  # The installed tool must need nothing but the system: link the archive,
  # and only the one beside the module found above, so that it matches the
  # headers (another copy, say Homebrew's, may lack an architecture).
  find_library(PLIST_STATIC_LIBRARY NAMES libplist-2.0.a libplist.a
               PATHS ${PLIST_LIBRARY_DIRS} ${PLIST_LIBDIR} NO_DEFAULT_PATH REQUIRED)
  # A universal tool needs an archive that holds every one of its
  # architectures; say so here rather than with a linker error.
  if(CMAKE_OSX_ARCHITECTURES)
    find_program(KESTRUN_LIPO lipo REQUIRED)
    execute_process(
      COMMAND ${KESTRUN_LIPO} ${PLIST_STATIC_LIBRARY} -verify_arch ${CMAKE_OSX_ARCHITECTURES}
      RESULT_VARIABLE plist_has_architectures OUTPUT_QUIET ERROR_QUIET)
    if(NOT plist_has_architectures EQUAL 0)
      message(FATAL_ERROR "${PLIST_STATIC_LIBRARY} lacks one of the architectures "
                          "${CMAKE_OSX_ARCHITECTURES}: build libplist for all of them "
                          "(README, \"The macOS build\")")
    endif()
  endif()
  add_library(kestrun_plist INTERFACE)
  target_include_directories(kestrun_plist INTERFACE ${PLIST_INCLUDE_DIRS})
  target_link_libraries(kestrun_plist INTERFACE ${PLIST_STATIC_LIBRARY})
else()
  add_library(kestrun_plist INTERFACE)
  target_link_libraries(kestrun_plist INTERFACE PkgConfig::PLIST)
endif()
